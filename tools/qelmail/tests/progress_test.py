#!/usr/bin/env python3
"""qelmail's progress display: drawn on stderr when stderr is a terminal
(a pseudo-terminal here), never with --quiet, never into a pipe; standard
output stays plain in every case."""

import os
import pty
import subprocess
import threading

from support import RUN_WAIT, QelmailTestCase, main, program

SIZE = 4_000_000


def run_on_terminal(args):
    """Runs qelmail with stderr on a pseudo-terminal; returns (exit code,
    stdout, what the terminal showed)."""
    master, slave = pty.openpty()
    shown = bytearray()

    def drain():
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the other side closed
                return
            if not chunk:
                return
            shown.extend(chunk)

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    try:
        completed = subprocess.run([program(), *args], stdout=subprocess.PIPE, stderr=slave, timeout=RUN_WAIT)
    finally:
        os.close(slave)
    reader.join(RUN_WAIT)
    os.close(master)
    # The terminal turns each line feed into CR LF.
    return completed.returncode, completed.stdout.decode(), shown.decode("utf-8", "replace").replace("\r\n", "\n")


class ProgressTest(QelmailTestCase):
    def setUp(self):
        super().setUp()
        self.big = self.write("big.bin", os.urandom(SIZE))
        self.send_args = ["send", *self.smtp_args(), "--from", "<s@example.org>", "--to", "<alice@example.org>",
                          "--subject", "big", "--text", "x", "--attach", self.big]
        self.fetch_args = ["fetch", *self.pop3_args(), "--dir", os.path.join(self.drop.dir, "out")]

    def test_bar_on_a_terminal(self):
        code, out, shown = run_on_terminal(self.send_args)
        self.assertEqual(code, 0, shown)
        self.assertRegex(out, r"^sent \d+ bytes of message text and attachments\n$")
        last = shown.split("\r")[-1]
        self.assertRegex(last, r"^sending \[#{24}\] 100% 5\.\d MB / 5\.\d MB  [\d.]+ [kMG]?B/s\s*\n$")
        code, out, shown = run_on_terminal(self.fetch_args)
        self.assertEqual(code, 0, shown)
        self.assertTrue(out.startswith("message\t1\t"), out)
        self.assertRegex(shown.split("\r")[-1], r"^fetching 1 \[#{24}\] 100% .* [kMG]?B/s\s*\n$")

    def test_quiet_and_pipes_stay_plain(self):
        for args in (self.send_args + ["--quiet"], self.fetch_args + ["--quiet"]):
            code, out, shown = run_on_terminal(args)
            self.assertEqual((code, shown), (0, ""), args)
            self.assertNotIn("\r", out)
            self.assertTrue(out.startswith(("sent ", "message\t1\t")), out)
        completed = subprocess.run([program(), *self.send_args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   timeout=RUN_WAIT)
        self.assertEqual((completed.returncode, completed.stderr), (0, b""))
        self.assertEqual(len(self.drop.stored("alice")), 2)


if __name__ == "__main__":
    main()
