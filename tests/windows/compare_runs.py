#!/usr/bin/env python3
"""Compares two runs of dll_check's server sections, kept by
with_maildrop.py --keep: one of QEL32.dll under Wine, one of libqel32.so.

    compare_runs.py RUN_A RUN_B

Both runs sent the same messages, so everything must match byte for byte
except what legitimately differs between two runs:

- the Date line (the time of sending) and the MIME boundary (made from the
  tick count at attach) of every message (a message whose multipart header
  the caller wrote has its own boundary), and the Message-ID of an HTML
  message (time, process, counter and random digits) up to its "@";
- the mail drop's Received line: the client's port and the time;
- in the downloaded message files, the directory named in each
  "[Attachment saved to ...]" note, which is where each run was told to save
  (with its own separator);
- in the channel logs, only the lines the library sent ("S: ") are
  compared, with the CRAM-MD5 response and the APOP digest taken out (they
  answer the server's challenge of the moment).

What is compared: the messages the mail drop stored (what reached the
server), the downloaded message files and attachment files, and the sent
lines of the channel logs. Exit status 0 when the runs match, 1 otherwise,
with the first difference of each file shown.
"""

import os
import re
import sys

MONTHS = "Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec"
DAYS = "Sun|Mon|Tue|Wed|Thu|Fri|Sat"
# The library's date line: "Date: Mon, 7 Dec 2026 9:05:07 +0100".
DATE_LINE = re.compile(rb"Date: (?:%s), [1-9]\d? (?:%s) \d{4} [1-9]?\d:\d{2}:\d{2} [+-]\d{4}\r\n"
                       % (DAYS.encode(), MONTHS.encode()))
# The Message-ID of an HTML message: "<20261207090507.4242.1.0123456789abcdef@example.org>".
MESSAGE_ID = re.compile(rb"Message-ID: <\d{14}\.\d+\.\d+\.[0-9a-f]{16}@([^>\r\n]*)>\r\n")
BOUNDARY = re.compile(rb"=====_QEL(\d+)_=====")
# The mail drop's trace: the client's address and port, and the time.
RECEIVED_PEER = re.compile(rb"^(Received: from \S+ )\(127\.0\.0\.1:\d+\)\r\n", re.M)
RECEIVED_TIME = re.compile(rb"; (?:%s), \d{2} (?:%s) \d{4} \d{2}:\d{2}:\d{2} \+0000\r\n"
                           % (DAYS.encode(), MONTHS.encode()))
# A message whose MIME structure the caller wrote itself (its own
# Content-Type line among the extra header lines): no boundary of the
# library's in it.
OWN_BOUNDARY = re.compile(rb'^Content-Type: multipart/[^\r\n]*boundary="(?!=====_QEL)', re.M)
NOTE = re.compile(rb'\[Attachment saved to "([^"\r\n]*)"\]\r\n')
APOP = re.compile(rb"^S: APOP (\S+) [0-9a-f]{32}\r\n$")


class Mismatch(Exception):
    pass


def read(path):
    with open(path, "rb") as f:
        return f.read()


def replace_once(pattern, replacement, data, what):
    result, count = pattern.subn(replacement, data)
    if count != 1:
        raise Mismatch("%s: %d found, 1 expected" % (what, count))
    return result


def normalise_boundary(data, what, required):
    ticks = set(BOUNDARY.findall(data))
    if len(ticks) > 1:
        raise Mismatch("%s: more than one boundary: %s" % (what, b", ".join(sorted(ticks)).decode()))
    if required and not ticks:
        raise Mismatch("%s: no boundary" % what)
    return BOUNDARY.sub(b"=====_QEL<tick>_=====", data)


def normalise_message(data, what, boundary_required=True):
    """A message as stored or downloaded: the mail drop's trace lines, the
    Date line and the boundary made comparable."""
    data = replace_once(RECEIVED_PEER, rb"\1(127.0.0.1:<port>)\r\n", data, what + ": Received line")
    data = replace_once(RECEIVED_TIME, b"; <time>\r\n", data, what + ": time of the Received line")
    data = replace_once(DATE_LINE, b"Date: <date>\r\n", data, what + ": Date line")
    data = MESSAGE_ID.sub(rb"Message-ID: <id@\1>\r\n", data)
    own = OWN_BOUNDARY.search(data.split(b"\r\n\r\n", 1)[0])
    return normalise_boundary(data, what, boundary_required and own is None)


def normalise_notes(data, files_path, what):
    """The save notes name the directory the run was given; the rest of the
    path is written with "/" whatever the separator was."""
    prefix = files_path.encode()

    def one(match):
        path = match.group(1)
        if not path.startswith(prefix):
            raise Mismatch("%s: note names %r, outside %r" % (what, path.decode("latin-1"), files_path))
        rest = path[len(prefix):].replace(b"\\", b"/")
        return b'[Attachment saved to "<files>' + rest + b'"]\r\n'

    return NOTE.sub(one, data)


def sent_lines(data, what):
    """The lines the library sent, from a channel log."""
    lines = []
    after_cram = False
    for line in data.splitlines(keepends=True):
        if not line.startswith(b"S: "):
            continue
        if after_cram:
            line = b"S: <CRAM-MD5 response>\r\n"
        after_cram = line == b"S: AUTH CRAM-MD5\r\n"
        line = APOP.sub(rb"S: APOP \1 <digest>\r\n", line)
        line = DATE_LINE.sub(b"Date: <date>\r\n", line)
        line = MESSAGE_ID.sub(rb"Message-ID: <id@\1>\r\n", line)
        lines.append(line)
    if not lines:
        raise Mismatch("%s: no sent lines" % what)
    return normalise_boundary(b"".join(lines), what, False)


def first_difference(a, b):
    lines_a = a.split(b"\n")
    lines_b = b.split(b"\n")
    for number, (line_a, line_b) in enumerate(zip(lines_a, lines_b), 1):
        if line_a != line_b:
            return "line %d:\n    %r\n    %r" % (number, line_a[:160], line_b[:160])
    return "line %d: one ends, the other goes on (%d and %d lines)" % (
        min(len(lines_a), len(lines_b)) + 1, len(lines_a), len(lines_b))


def stored_messages(run):
    """The mail drop's messages in the order POP3 numbers them: by the
    seconds that begin a Maildir name, then by name."""
    found = []
    root = os.path.join(run, "maildir")
    for user in sorted(os.listdir(root)) if os.path.isdir(root) else []:
        for folder in ("new", "cur"):
            directory = os.path.join(root, user, folder)
            for name in os.listdir(directory) if os.path.isdir(directory) else []:
                seconds = int(re.match(r"\d*", name).group(0) or 0)
                found.append((user, seconds, name, os.path.join(directory, name)))
    found.sort()
    return [(user, path) for user, _, _, path in found]


def downloaded_files(run):
    base = os.path.join(run, "files")
    result = []
    for directory, _, names in os.walk(base):
        for name in names:
            result.append(os.path.relpath(os.path.join(directory, name), base).replace(os.sep, "/"))
    return sorted(result)


def compare(run_a, run_b):
    """Returns the list of differences (empty when the runs match) and the
    number of files compared."""
    problems = []
    compared = 0

    def check(what, a, b):
        nonlocal compared
        compared += 1
        if a != b:
            problems.append("%s differs at %s" % (what, first_difference(a, b)))

    def attempt(what, action):
        try:
            action()
        except Mismatch as error:
            problems.append(str(error))
        except OSError as error:
            problems.append("%s: %s" % (what, error))

    messages_a, messages_b = stored_messages(run_a), stored_messages(run_b)
    if not messages_a:
        problems.append("%s: the mail drop stored no message" % run_a)
    if len(messages_a) != len(messages_b):
        problems.append("the mail drops stored %d and %d messages" % (len(messages_a), len(messages_b)))
    for number, ((user_a, path_a), (user_b, path_b)) in enumerate(zip(messages_a, messages_b), 1):
        what = "stored message %d" % number
        if user_a != user_b:
            problems.append("%s: for %s and for %s" % (what, user_a, user_b))
        attempt(what, lambda: check(what, normalise_message(read(path_a), what + " of " + run_a),
                                    normalise_message(read(path_b), what + " of " + run_b)))

    files_a, files_b = downloaded_files(run_a), downloaded_files(run_b)
    if files_a != files_b:
        problems.append("the runs downloaded different files:\n    %s\n    %s" % (files_a, files_b))
    paths = (read(os.path.join(run_a, "files-path")).decode(), read(os.path.join(run_b, "files-path")).decode())
    for name in sorted(set(files_a) & set(files_b)):
        what = "files/" + name
        file_a, file_b = os.path.join(run_a, "files", name), os.path.join(run_b, "files", name)
        if name.endswith(".log"):
            attempt(what, lambda: check(what + " (sent lines)", sent_lines(read(file_a), what),
                                        sent_lines(read(file_b), what)))
        elif name.startswith("mail"):
            attempt(what, lambda: check(
                what, normalise_notes(normalise_message(read(file_a), what, False), paths[0], what),
                normalise_notes(normalise_message(read(file_b), what, False), paths[1], what)))
        else:
            attempt(what, lambda: check(what, read(file_a), read(file_b)))
    return problems, compared


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    problems, compared = compare(sys.argv[1], sys.argv[2])
    for problem in problems:
        print("compare_runs: " + problem, file=sys.stderr)
    if problems:
        return 1
    print("compare_runs: %d files match between the two runs" % compared)
    return 0


if __name__ == "__main__":
    sys.exit(main())
