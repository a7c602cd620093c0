#!/usr/bin/env python3
"""compare_runs.py on made-up runs: what may differ between a Windows run
and a Linux run passes, any other byte fails."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare_runs  # noqa: E402

BASE64 = b"FxzowB2tWSoDKvJ9yIBBvc1PRTwWdFue3sOVefps5NPM9I9RuvYhQ3EMxh925GrDBOilIdjb2Tvr\r\n"


def message(port, time, date, tick, msgid):
    return (b"Return-Path: <check@example.org>\r\n"
            b"Received: from example.org (127.0.0.1:" + port + b")\r\n"
            b"\tby localhost (qel-maildrop) with ESMTPA\r\n"
            b"\tfor <qelcheck@localhost>; " + time + b"\r\n"
            b"Message-ID: <" + msgid + b"@example.org>\r\n"
            b"X-Mailer: Corvane Quelpost Version 3.4\r\n"
            b"Date: " + date + b"\r\n"
            b"Content-Type: multipart/mixed; boundary=\"=====_QEL" + tick + b"_=====\"\r\n\r\n"
            b"--=====_QEL" + tick + b"_=====\r\n"
            b"Content-Type: application/octet-stream; name=\"a.bin\"\r\n\r\n" + BASE64 +
            b"--=====_QEL" + tick + b"_=====--\r\n\r\n\r\n")


def own_mime(port, time, date):
    """A message whose multipart header the caller wrote: no library boundary."""
    return (b"Received: from example.org (127.0.0.1:" + port + b")\r\n"
            b"\tfor <qelcheck@localhost>; " + time + b"\r\n"
            b"Date: " + date + b"\r\n"
            b"Content-Type: multipart/mixed; boundary=\"own\"\r\n\r\n"
            b"--own\r\nContent-Disposition: attachment; filename*=utf-8''M%C3%A4rz.png\r\n\r\n" + BASE64 +
            b"--own--\r\n")


def log(date, tick, cram, digest):
    return (b"<202:100>\r\nS: EHLO example.org\r\nS: AUTH CRAM-MD5\r\nP: 334 abc\r\nS: " + cram + b"\r\n"
            b"S: RCPT TO:<qelcheck@localhost>\r\nS: Date: " + date + b"\r\n"
            b"S: --=====_QEL" + tick + b"_=====\r\nS: APOP qelcheck " + digest + b"\r\n")


class Run:
    """A kept run as with_maildrop.py leaves it."""

    def __init__(self, base, name, separator, port=b"40000", time=b"Mon, 07 Dec 2026 09:24:33 +0000",
                 date=b"Mon, 7 Dec 2026 9:24:33 +0000", tick=b"4849710", cram=b"cWVsY2hlY2sgOGUx",
                 digest=b"8421576d120fddba26b758fa3c50954c", msgid=b"20261207092433.4242.1.0123456789abcdef"):
        self.dir = os.path.join(base, name)
        self.files_path = ("Z:\\tmp\\" + name + "\\files") if separator == "\\" else ("/tmp/" + name + "/files")
        self.separator = separator
        stored = message(port, time, date, tick, msgid)
        self.write("maildir/qelcheck/new/1796635473.M1P1Q1.localhost", stored)
        self.write("maildir/qelcheck/new/1796635474.M1P1Q2.localhost", stored.replace(b"a.bin", b"b.bin"))
        self.write("maildir/qelcheck/new/1796635475.M1P1Q3.localhost", own_mime(port, time, date))
        self.write("files-path", self.files_path.encode())
        note = self.note("attach", "a.bin")
        self.write("files/mail/message-1.txt", message(port, time, date, tick, msgid).replace(BASE64, note))
        self.write("files/attach/a.bin", b"\x00\x01\xFFbinary")
        self.write("files/send.log", log(date, tick, cram, digest))

    def note(self, directory, name):
        path = self.files_path + self.separator + directory + self.separator + name
        return b'[Attachment saved to "' + path.encode() + b'"]\r\n'

    def path(self, relative):
        return os.path.join(self.dir, *relative.split("/"))

    def write(self, relative, data):
        os.makedirs(os.path.dirname(self.path(relative)), exist_ok=True)
        with open(self.path(relative), "wb") as f:
            f.write(data)

    def edit(self, relative, old, new):
        with open(self.path(relative), "rb") as f:
            data = f.read()
        assert old in data, (relative, old)
        self.write(relative, data.replace(old, new, 1))


class CompareRunsTest(unittest.TestCase):
    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="qel-compare-test-")
        self.linux = Run(self.base, "linux", "/")
        # Everything that may differ, differs.
        self.windows = Run(self.base, "windows", "\\", port=b"51234", time=b"Tue, 08 Dec 2026 10:00:01 +0000",
                           date=b"Tue, 8 Dec 2026 11:00:01 +0100", tick=b"99", cram=b"ZGlmZmVyZW50",
                           digest=b"0123456789abcdef0123456789abcdef",
                           msgid=b"20261208110001.77.3.fedcba9876543210")

    def tearDown(self):
        shutil.rmtree(self.base)

    def problems(self):
        return compare_runs.compare(self.linux.dir, self.windows.dir)[0]

    def test_runs_that_differ_only_where_they_may_match(self):
        problems, compared = compare_runs.compare(self.linux.dir, self.windows.dir)
        self.assertEqual(problems, [])
        self.assertEqual(compared, 6)

    def test_any_other_difference_is_found(self):
        stored = "maildir/qelcheck/new/1796635474.M1P1Q2.localhost"
        cases = [
            ("a base64 line of a stored message", stored, b"FxzowB2t", b"FxzowB2u"),
            ("a header line of a stored message", stored, b"Version 3.4", b"Version 3.5"),
            ("the HELO name in the trace", stored, b"from example.org", b"from example.com"),
            ("a second boundary in one message", stored, b"--=====_QEL99_=====--", b"--=====_QEL98_=====--"),
            ("a Date line in another form", stored, b"Date: Tue, 8 Dec", b"Date: Tue, 08 Dec"),
            ("the domain of a Message-ID", stored, b"@example.org>", b"@example.com>"),
            ("a name in a message of the caller's MIME", "maildir/qelcheck/new/1796635475.M1P1Q3.localhost",
             b"M%C3%A4rz", b"M%C3%84rz"),
            ("an attachment byte", "files/attach/a.bin", b"\xFF", b"\xFE"),
            ("a doubled separator in a note", "files/mail/message-1.txt", b"files\\attach\\", b"files\\attach\\\\"),
            ("a note outside the directory given", "files/mail/message-1.txt", b"Z:\\tmp\\windows", b"C:\\temp"),
            ("a line of a downloaded message", "files/mail/message-1.txt", b"name=\"a.bin\"", b"name=\"a.bim\""),
            ("a sent command", "files/send.log", b"RCPT TO:<qelcheck", b"RCPT TO: <qelcheck"),
            ("a sent line more", "files/send.log", b"S: EHLO example.org\r\n", b"S: EHLO example.org\r\nS: NOOP\r\n"),
        ]
        for what, relative, old, new in cases:
            with self.subTest(what):
                self.windows.edit(relative, old, new)
                self.assertNotEqual(self.problems(), [], what)
                self.windows.edit(relative, new, old)
        self.assertEqual(self.problems(), [])

    def test_missing_files_are_found(self):
        for relative in ["files/attach/a.bin", "maildir/qelcheck/new/1796635474.M1P1Q2.localhost"]:
            with self.subTest(relative):
                with open(self.windows.path(relative), "rb") as f:
                    data = f.read()
                os.remove(self.windows.path(relative))
                self.assertNotEqual(self.problems(), [])
                self.windows.write(relative, data)

    def test_two_empty_runs_do_not_match(self):
        for run in (self.linux, self.windows):
            shutil.rmtree(run.path("maildir"))
        self.assertNotEqual(self.problems(), [])


if __name__ == "__main__":
    unittest.main()
