#!/usr/bin/env python3
"""The example programs against the mail drop: send_blocking with an
attachment, many_channels with several connections at once, and how both
report a failure. QEL_EXAMPLES names the directory of the built examples."""

import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "maildrop", "tests"))

from harness import MailDropTestCase, body_of, main, read_file  # noqa: E402

import email  # noqa: E402
import email.policy  # noqa: E402

RUN_WAIT = 120  # seconds
FROM = "Example <example@localhost>"


def run(name, *args):
    path = os.path.join(os.environ["QEL_EXAMPLES"], name)
    return subprocess.run([path, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=RUN_WAIT)


def parsed(stored):
    return email.message_from_bytes(body_of(stored), policy=email.policy.default)


class ExamplesTest(MailDropTestCase):
    def port(self):
        return str(self.drop.smtp_port)

    def test_send_blocking(self):
        data = os.urandom(70_000)
        attachment = os.path.join(self.drop.dir, "data.bin")
        with open(attachment, "wb") as f:
            f.write(data)
        result = run("send_blocking", "127.0.0.1", self.port(), FROM, "Alice <alice@localhost>", attachment)
        self.assertEqual((result.returncode, result.stdout), (0, b"sent\n"), result.stderr)
        [stored] = self.drop.stored("alice")
        message = parsed(stored)
        self.assertEqual(message["Subject"], "Hello from QEL")
        self.assertIn("blocking mode", message.get_body(("plain",)).get_content())
        [part] = message.iter_attachments()
        self.assertEqual((part.get_filename(), part.get_content()), ("data.bin", data))

    def test_send_blocking_failures(self):
        result = run("send_blocking", "127.0.0.1", self.port(), FROM, "<nobody@localhost>")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"send failed (-49): SMTP returned error. 550", result.stderr)
        self.drop.stop()
        result = run("send_blocking", "127.0.0.1", self.port(), FROM, "<alice@localhost>")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"connect failed (-36)", result.stderr)
        self.assertEqual(run("send_blocking").returncode, 2)

    def test_many_channels(self):
        result = run("many_channels", "127.0.0.1", self.port(), FROM, "Bob <bob@localhost>", "6")
        self.assertEqual((result.returncode, result.stdout), (0, b"6 sent, 0 failed\n"), result.stderr)
        subjects = sorted(parsed(m)["Subject"] for m in self.drop.stored("bob"))
        self.assertEqual(subjects, ["Message %d of 6" % n for n in range(1, 7)])
        # One connection per message: six client ports in the Received lines.
        ports = {re.search(rb"\(127\.0\.0\.1:(\d+)\)", m).group(1) for m in self.drop.stored("bob")}
        self.assertEqual(len(ports), 6)

    def test_many_channels_several_messages_each(self):
        result = run("many_channels", "--fast", "--messages", "3", "127.0.0.1", self.port(), FROM, "<alice@localhost>", "2")
        self.assertEqual((result.returncode, result.stdout), (0, b"6 sent, 0 failed\n"), result.stderr)
        stored = self.drop.stored("alice")
        subjects = sorted(parsed(m)["Subject"] for m in stored)
        self.assertEqual(subjects, ["Message %d of channel %d" % (n, c) for n in (1, 2, 3) for c in (1, 2)])
        ports = {re.search(rb"\(127\.0\.0\.1:(\d+)\)", m).group(1) for m in stored}
        self.assertEqual(len(ports), 2)

    def test_many_channels_fast_with_body_file(self):
        # The bench's run: no pauses, each body read from a file.
        text = "".join("line %03d of the body file\r\n" % n for n in range(300))
        path = os.path.join(self.drop.dir, "body.txt")
        with open(path, "w", newline="") as f:
            f.write(text)
        result = run("many_channels", "--fast", "--body", path, "127.0.0.1", self.port(), FROM, "<carol@localhost>", "20")
        self.assertEqual((result.returncode, result.stdout), (0, b"20 sent, 0 failed\n"), result.stderr)
        stored = self.drop.stored("carol")
        self.assertEqual(len(stored), 20)
        for m in stored:  # the data ends with a blank line before its "."
            self.assertEqual(parsed(m).get_body(("plain",)).get_content(), text + "\r\n")
        self.assertEqual(run("many_channels", "--slow", "127.0.0.1", self.port(), FROM, "<carol@localhost>", "1").returncode, 2)

    def test_many_channels_failures(self):
        result = run("many_channels", "127.0.0.1", self.port(), FROM, "<nobody@localhost>", "3")
        self.assertEqual((result.returncode, result.stdout), (1, b"0 sent, 3 failed\n"))
        self.assertEqual(result.stderr.count(b"send failed (-49): SMTP returned error. 550"), 3, result.stderr)
        self.assertEqual(run("many_channels", "127.0.0.1", self.port(), FROM, "<bob@localhost>", "129").returncode, 2)


if __name__ == "__main__":
    main()
