#!/usr/bin/env python3
"""Runs dll_check against the loopback mail drop.

    with_maildrop.py --maildrop PATH [--keep DIR] [--windows] -- PROGRAM ARGS...

Starts qel-maildrop on ephemeral ports of 127.0.0.1 with one mailbox (AUTH
required), holds a second port of 127.0.0.1 bound but not listening (every
connection to it is refused), and runs PROGRAM ARGS with the options that
point dll_check at them:

    --smtp-port N --pop3-port N --refused-port N --user NAME --password TEXT
    --files DIR

DIR is where dll_check keeps the messages and attachments it downloads.
With --windows the program runs under Wine, so DIR is handed over as a
Windows path (winepath -w).

The mail drop is stopped afterwards; the exit status is the program's. With
--keep DIR the mail drop's Maildir (DIR/maildir), the downloads
(DIR/files), the directory as dll_check was given it (DIR/files-path) and
the mail drop's log (DIR/maildrop.log) stay for compare_runs.py; otherwise
everything is removed.
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

USER = "qelcheck"
PASSWORD = "Tw0 platforms"
START_WAIT = 10   # seconds for the ports file to appear
STOP_WAIT = 15    # seconds for the mail drop to end after SIGTERM
RUN_LIMIT = 300   # seconds for the program
WINEPATH_LIMIT = 120


def fail(message):
    print("with_maildrop: " + message, file=sys.stderr)
    sys.exit(2)


def refused_port():
    """A port of 127.0.0.1 that is bound but not listening: connects to it
    are refused for as long as the socket is held."""
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    holder.bind(("127.0.0.1", 0))
    return holder, holder.getsockname()[1]


def start_maildrop(program, work):
    ports_file = os.path.join(work, "ports")
    log = open(os.path.join(work, "maildrop.log"), "wb")
    args = [program, "--root", os.path.join(work, "maildir"), "--ports-file", ports_file,
            "--user", USER + ":" + PASSWORD, "--require-auth"]
    process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    deadline = time.monotonic() + START_WAIT
    while not (os.path.exists(ports_file) and os.path.getsize(ports_file) > 0):
        if process.poll() is not None or time.monotonic() > deadline:
            stop_maildrop(process)
            fail("qel-maildrop did not start:\n" + read_text(os.path.join(work, "maildrop.log")))
        time.sleep(0.05)
    with open(ports_file) as f:
        values = dict(line.split("=", 1) for line in f.read().split())
    return process, int(values["SMTP_PORT"]), int(values["POP3_PORT"])


def stop_maildrop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
    try:
        return process.wait(STOP_WAIT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return None


def read_text(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def windows_path(path):
    result = subprocess.run(["winepath", "-w", path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            timeout=WINEPATH_LIMIT, check=False)
    text = result.stdout.decode("utf-8", "replace").strip()
    if result.returncode != 0 or not text:
        fail("winepath could not translate " + path)
    return text


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("--maildrop", required=True)
    parser.add_argument("--keep")
    parser.add_argument("--windows", action="store_true")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        fail("no program to run")
    if not os.access(args.maildrop, os.X_OK):
        fail("no mail drop at " + args.maildrop)

    if args.keep:
        work = os.path.abspath(args.keep)
        if os.path.exists(work):
            shutil.rmtree(work)
        os.makedirs(work)
    else:
        work = tempfile.mkdtemp(prefix="qel-dll-check-")
    files = os.path.join(work, "files")
    os.makedirs(files)
    files_arg = windows_path(files) if args.windows else files
    with open(os.path.join(work, "files-path"), "w") as f:
        f.write(files_arg)

    holder, refused = refused_port()
    process, smtp_port, pop3_port = start_maildrop(args.maildrop, work)
    status = 1
    try:
        full = command + ["--smtp-port", str(smtp_port), "--pop3-port", str(pop3_port),
                          "--refused-port", str(refused), "--user", USER, "--password", PASSWORD,
                          "--files", files_arg]
        try:
            status = subprocess.run(full, timeout=RUN_LIMIT, check=False).returncode
        except subprocess.TimeoutExpired:
            print("with_maildrop: %s did not end within %d s" % (command[0], RUN_LIMIT), file=sys.stderr)
            status = 1
    finally:
        code = stop_maildrop(process)
        holder.close()
    if code != 0:
        print("with_maildrop: qel-maildrop ended with %s:\n%s" % (code, read_text(os.path.join(work, "maildrop.log"))),
              file=sys.stderr)
        status = status or 1
    if status != 0:
        log = read_text(os.path.join(work, "maildrop.log"))
        if log:
            print("qel-maildrop log:\n" + log, file=sys.stderr)
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
