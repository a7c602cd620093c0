#!/usr/bin/env python3
"""The tables of scripts/bench.sh from the figures it collected.

bench_report.py WORK MEGABYTES WIRE_BYTES REAL CHANNELS CHANNEL_KB MANY_MESSAGES

WORK holds one file per case (named after it), a line "seconds kilobytes cpu" per run; the
tables show medians.
"""
import os
import statistics
import sys

work, mb, wire, real, channels, channel_kb, many_messages = sys.argv[1:8]
wire = int(wire)
targets = [("drop", "loopback mail drop")] + ([("real", "Postfix and Dovecot")] if real == "1" else [])


def load(name):
    rows = [tuple(float(x) for x in line.split()) for line in open(os.path.join(work, name))]
    return (statistics.median(r[0] for r in rows), statistics.median(r[1] for r in rows) / 1024,
            statistics.median(r[2] for r in rows))


figures = {name: load(name) for name in os.listdir(work)}


def wall(name):
    return figures[name][0]


def have(*names):
    """Whether every named case ran (QEL_BENCH_CASES may leave some out)."""
    return all(name in figures for name in names)


def transfer(big, small):
    return max(wall(big) - wall(small), 1e-3)


print("%s MB attachment, %.1f MB on the wire (base64); medians of the runs; wall time in seconds.\n"
      % (mb, wire / 1e6))
for t, label in targets:
    print("%s:\n" % label)
    print("| case | qelmail | curl | Python | qelmail / curl |")
    print("|---|---:|---:|---:|---:|")
    rows = [
        ("small message sent, default timing", "send_small_default", "send_small_curl", None),
        ("small message sent, fast timing", "send_small_qelmail", "send_small_curl", None),
        ("small message fetched, default timing", "fetch_small_default", "retr_small_curl", None),
        ("small message fetched, fast timing", "fetch_small_qelmail", "retr_small_curl", None),
        ("%s MB sent" % mb, "send_qelmail", "send_curl", "send_python"),
        ("%s MB fetched, decoded (curl: raw RETR)" % mb, "fetch_qelmail", "retr_curl", "fetch_python"),
        ("%s MB fetched raw" % mb, "fetch_raw", "retr_curl", None),
        ("%s channels, %s KB each, one thread" % (channels, channel_kb), "channels_qel", "channels_curl", None),
    ]
    for case, qel, curl, python in rows:
        if not have("%s_%s" % (t, qel), "%s_%s" % (t, curl)):
            continue
        q, c = wall("%s_%s" % (t, qel)), wall("%s_%s" % (t, curl))
        p = "%.3f" % wall("%s_%s" % (t, python)) if python else ""
        print("| %s | %.3f | %.3f | %s | %.2f |" % (case, q, c, p, q / c))
    print()
    if have(t + "_send_small_qelmail", t + "_fetch_small_qelmail", t + "_send_qelmail", t + "_fetch_qelmail"):
        print("transfer alone (less the small session), qelmail / curl: send %.2f, decoded download %.2f, raw %.2f\n"
              % (transfer(t + "_send_qelmail", t + "_send_small_qelmail") / transfer(t + "_send_curl", t + "_send_small_curl"),
                 transfer(t + "_fetch_qelmail", t + "_fetch_small_qelmail")
                 / transfer(t + "_retr_curl", t + "_retr_small_curl"),
                 transfer(t + "_fetch_raw", t + "_fetch_small_raw") / transfer(t + "_retr_curl", t + "_retr_small_curl")))
    if not have(t + "_fetch_qelmail", t + "_fetch_raw"):
        continue
    ratio = wall(t + "_fetch_qelmail") / wall(t + "_fetch_raw")
    print("full MIME download / raw download, wall time: %.2f (at most 1.2: %s)\n" % (ratio, "yes" if ratio <= 1.2 else "NO"))

if real == "1":
    print("TLS from the first byte (smtps, pop3s), Postfix and Dovecot:\n")
    print("| case | qelmail | curl | qelmail / curl |")
    print("|---|---:|---:|---:|")
    for case, qel, curl in (("%s MB sent" % mb, "tls_send_qelmail", "tls_send_curl"),
                            ("%s MB fetched, decoded (curl: raw RETR)" % mb, "tls_fetch_qelmail", "tls_retr_curl"),
                            ("%s MB fetched raw" % mb, "tls_fetch_raw", "tls_retr_curl")):
        if have(qel, curl):
            print("| %s | %.3f | %.3f | %.2f |" % (case, wall(qel), wall(curl), wall(qel) / wall(curl)))
    print()

if have("mem_send_one", "mem_send_forty"):
    print("peak memory of qelmail (MB), loopback mail drop:\n")
    print("| attachment | send | fetch, decoded |")
    print("|---|---:|---:|")
    for label, size in (("1 MB", "one"), ("40 MB", "forty")):
        print("| %s | %.1f | %.1f |" % (label, figures["mem_send_" + size][1], figures["mem_fetch_" + size][1]))
    print()
if have("slow_qelmail", "slow_curl"):
    print("| server answers after 2 s | wall time (s) | processor time (s) | of the wall time |")
    print("|---|---:|---:|---:|")
    for client, name in (("qelmail send", "slow_qelmail"), ("curl smtp://", "slow_curl")):
        print("| %s | %.3f | %.3f | %.1f %% |"
              % (client, wall(name), figures[name][2], figures[name][2] / wall(name) * 100))
    print()
if have("progress_send_on", "progress_fetch_on"):
    print("| on a terminal | progress bar (s) | --quiet (s) | difference |")
    print("|---|---:|---:|---:|")
    for label in ("send", "fetch"):
        on, off = wall("progress_%s_on" % label), wall("progress_%s_off" % label)
        print("| %s | %.3f | %.3f | %+.0f ms (%+.1f %%) |" % (label, on, off, (on - off) * 1000, (on - off) / off * 100))
if have("many_1_qel", "many_1_source"):
    print("%s messages of 2 KB into smtp-sink, many per session (messages per second):\n" % many_messages)
    print("| sessions | QEL, one thread | smtp-source -d | QEL / smtp-source | processor s, QEL / smtp-source |")
    print("|---:|---:|---:|---:|---|")
    for sessions in (1, 20, 100):
        qel, source = "many_%d_qel" % sessions, "many_%d_source" % sessions
        if have(qel, source):
            print("| %d | %.0f | %.0f | %.2f | %.3f / %.3f |"
                  % (sessions, int(many_messages) / wall(qel), int(many_messages) / wall(source),
                     wall(source) / wall(qel), figures[qel][2], figures[source][2]))
    print()
