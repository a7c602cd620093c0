#!/usr/bin/env python3
"""qel-maildrop's SMTP side: what is stored, the envelope, the command
replies, limits, driven by smtplib and raw sockets."""

import os
import smtplib

from harness import MailDropTestCase, body_of, main

TWENTY_MB = 20 * 1024 * 1024


def send_raw(client, sender, recipients, wire_data):
    """MAIL, RCPT, DATA with wire_data sent exactly as given (already stuffed,
    end line included); returns the code of the final reply."""
    assert client.smtp(b"MAIL FROM:<" + sender + b">") == 250
    for rcpt in recipients:
        assert client.smtp(b"RCPT TO:<" + rcpt + b">") == 250
    assert client.smtp(b"DATA") == 354
    client.send(wire_data)
    return client.reply()[0]


class SmtpTest(MailDropTestCase):
    def test_message_is_stored_as_received(self):
        client = self.drop.raw_smtp()
        self.assertEqual(client.smtp(b"EHLO client.example"), 250)
        # Stuffed dots, a bare LF inside a line, 8-bit bytes, a CR LF at the end.
        wire = (b"Subject: exact\r\n\r\n..\r\n..leading\r\nmiddle.\r\nbare\nLF\r\n\xe9\xff\x00\r\n"
                b"...two\r\n.\r\n")
        message = b"Subject: exact\r\n\r\n.\r\n.leading\r\nmiddle.\r\nbare\nLF\r\n\xe9\xff\x00\r\n..two\r\n"
        self.assertEqual(send_raw(client, b"sender@x.example", [b"alice@example.org"], wire), 250)
        self.assertEqual(client.smtp(b"QUIT"), 221)
        [stored] = self.drop.stored("alice")
        self.assertEqual(body_of(stored), message)
        header = stored[:len(stored) - len(message)]
        self.assertTrue(header.startswith(b"Return-Path: <sender@x.example>\r\nReceived: from client.example ("))
        self.assertIn(b"for <alice@example.org>", header)
        self.assertEqual(self.drop.names("alice", "cur"), [])

    def test_smtplib_message_with_dot_lines(self):
        message = b"From: a@x\r\nSubject: dots\r\n\r\n.\r\n..\r\n.x\r\nend\r\n"
        with self.drop.smtp() as smtp:
            self.assertEqual(smtp.sendmail("a@x", ["alice@x"], message), {})
        self.assertEqual([body_of(m) for m in self.drop.stored("alice")], [message])

    def test_several_recipients_each_get_one_copy(self):
        message = b"Subject: many\r\n\r\nhello\r\n"
        with self.drop.smtp() as smtp:
            refused = smtp.sendmail("a@x", ["alice@a.example", "Bob@b.example", "ALICE@c.example"], message)
        self.assertEqual(refused, {})
        self.assertEqual(len(self.drop.names("alice")), 1)
        self.assertEqual(self.drop.names("alice"), self.drop.names("bob"))
        self.assertEqual(self.drop.stored("alice"), self.drop.stored("bob"))
        self.assertEqual(body_of(self.drop.stored("bob")[0]), message)
        self.assertEqual(self.drop.names("carol"), [])

    def test_unknown_recipient(self):
        with self.drop.smtp() as smtp:
            with self.assertRaises(smtplib.SMTPRecipientsRefused) as refused:
                smtp.sendmail("a@x", ["nobody@x"], b"Subject: lost\r\n\r\nx\r\n")
            self.assertEqual(refused.exception.recipients["nobody@x"][0], 550)
            partly = smtp.sendmail("a@x", ["nobody@x", "bob@x"], b"Subject: half\r\n\r\nx\r\n")
        self.assertEqual(list(partly), ["nobody@x"])
        self.assertEqual(len(self.drop.names("bob")), 1)
        self.assertEqual(sorted(os.listdir(self.drop.root)), ["alice", "bob", "carol"])

    def test_command_replies(self):
        client = self.drop.raw_smtp()
        dialogue = [
            (b"MAIL FROM:<a@b>", 503),   # before HELO/EHLO
            (b"EHLO", 501),
            (b"HELO client", 250),
            (b"EHLO client", 250),
            (b"FOO", 500),
            (b"", 500),
            (b"EXPN alice", 502),
            (b"STARTTLS", 502),
            (b"RCPT TO:<alice@x>", 503),  # before MAIL
            (b"DATA", 503),
            (b"MAIL FROM:a@b", 501),
            (b"MAIL TO:<a@b>", 501),
            (b"MAIL FROM:<a@b> FOO=1", 555),
            (b"MAIL FROM:<a@b> SIZE=abc", 501),
            (b"mail from: <a@b> size=100 BODY=8BITMIME", 250),
            (b"MAIL FROM:<a@b>", 503),    # nested
            (b"RCPT TO:alice@x", 501),
            (b"RCPT TO:<>", 501),
            (b"RCPT TO:<alice@x> NOTIFY=NEVER", 555),
            (b"DATA", 503),               # no recipient yet
            (b"RCPT TO:<alice@x>", 250),
            (b"DATA extra", 501),
            (b"RSET", 250),
            (b"DATA", 503),               # the transaction is gone
        ]
        for command, code in dialogue:
            self.assertEqual(client.smtp(command), code, command)
        # A new connection: the server gives up after twenty errors.
        client = self.drop.raw_smtp()
        dialogue = [
            (b"HELO client", 250),
            (b"NOOP", 250),
            (b"VRFY alice", 252),
            (b"VRFY <Bob@example.org>", 252),
            (b"VRFY nobody", 550),
            (b"VRFY ../alice", 550),
            (b"VRFY", 501),
            (b"HELP", 214),
            (b"AUTH PLAIN", 334),
            (b"*", 501),
            (b"QUIT", 221),
        ]
        for command, code in dialogue:
            self.assertEqual(client.smtp(command), code, command)
        self.assertTrue(client.closed())
        self.assertEqual(self.drop.names("alice"), [])

    def test_pipelined_commands(self):
        client = self.drop.raw_smtp()
        client.send(b"EHLO c\r\nMAIL FROM:<a@x>\r\nRCPT TO:<alice@x>\r\nRCPT TO:<bob@x>\r\nDATA\r\n")
        self.assertEqual([client.reply()[0] for _ in range(5)], [250, 250, 250, 250, 354])
        client.send(b"Subject: p\r\n\r\nbody\r\n.\r\nRSET\r\nQUIT\r\n")
        self.assertEqual([client.reply()[0] for _ in range(3)], [250, 250, 221])
        self.assertEqual(body_of(self.drop.stored("bob")[0]), b"Subject: p\r\n\r\nbody\r\n")

    def test_overlong_line_is_refused_and_the_session_goes_on(self):
        client = self.drop.raw_smtp()
        self.assertEqual(client.smtp(b"NOOP " + b"x" * 20000), 500)
        self.assertEqual(client.smtp(b"NOOP"), 250)

    def test_too_many_errors_end_the_session(self):
        client = self.drop.raw_smtp()
        codes = [client.smtp(b"BOGUS") for _ in range(19)]
        self.assertEqual(set(codes), {500})
        client.send(b"BOGUS\r\n")
        self.assertEqual(client.reply()[0], 500)
        self.assertEqual(client.reply()[0], 421)
        self.assertTrue(client.closed())

    def test_twenty_megabytes(self):
        line = b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789ab\r\n"
        body = (line + b"." + line) * (TWENTY_MB // (2 * len(line) + 1))
        message = b"Subject: big\r\n\r\n" + body
        with self.drop.smtp() as smtp:
            self.assertEqual(smtp.sendmail("a@x", ["alice@x"], message), {})
        [stored] = self.drop.stored("alice")
        self.assertEqual(len(body_of(stored)), len(message))
        self.assertTrue(body_of(stored) == message)
        # Served back byte for byte.
        client = self.drop.raw_pop3("alice")
        self.assertEqual(client.command(b"LIST 1"), b"+OK 1 %d" % len(stored))
        self.assertEqual(client.command(b"RETR 1"), b"+OK %d octets" % len(stored))
        served = client.multiline()
        self.assertEqual(len(served), len(stored) + body.count(b"\r\n."))
        self.assertTrue(served.replace(b"\r\n..", b"\r\n.") == stored)


class SizeLimitTest(MailDropTestCase):
    OPTIONS = ("--max-size", "4096")

    def test_size_limit(self):
        big = b"Subject: big\r\n\r\n" + b"x" * 70 + b"\r\n"
        big = big * 80
        with self.drop.smtp() as smtp:
            self.assertIn(b"SIZE 4096", smtp.ehlo()[1])
            with self.assertRaises(smtplib.SMTPSenderRefused) as refused:
                smtp.sendmail("a@x", ["alice@x"], big)
            self.assertEqual(refused.exception.smtp_code, 552)
        client = self.drop.raw_smtp()
        self.assertEqual(client.smtp(b"HELO c"), 250)
        # Without SIZE the message is read to its end, refused, and the session goes on.
        self.assertEqual(send_raw(client, b"a@x", [b"alice@x"], big + b".\r\n"), 552)
        self.assertEqual(client.smtp(b"NOOP"), 250)
        self.assertEqual(send_raw(client, b"a@x", [b"alice@x"], b"Subject: small\r\n\r\nok\r\n.\r\n"), 250)
        self.assertEqual([body_of(m) for m in self.drop.stored("alice")], [b"Subject: small\r\n\r\nok\r\n"])


class AcceptAllTest(MailDropTestCase):
    OPTIONS = ("--accept-all",)

    def test_any_safe_local_part_gets_a_maildir(self):
        client = self.drop.raw_smtp()
        self.assertEqual(client.smtp(b"EHLO c"), 250)
        self.assertEqual(client.smtp(b"MAIL FROM:<a@x>"), 250)
        for rcpt, code in [(b"Dave@x", 250), (b"postmaster", 250), (b"alice@y", 250), (b"../../evil@x", 550),
                           (b"a/b@x", 550), (b".hidden@x", 550), (b"\"q\"@x", 550)]:
            self.assertEqual(client.smtp(b"RCPT TO:<" + rcpt + b">"), code, rcpt)
        self.assertEqual(client.smtp(b"DATA"), 354)
        client.send(b"Subject: all\r\n\r\nx\r\n.\r\n")
        self.assertEqual(client.reply()[0], 250)
        self.assertEqual(sorted(os.listdir(self.drop.root)), ["alice", "bob", "carol", "dave", "postmaster"])
        for user in ("dave", "postmaster", "alice"):
            self.assertEqual(len(self.drop.names(user)), 1, user)
        self.assertEqual(sorted(os.listdir(self.drop.dir)), ["log", "maildir", "ports"])
        self.assertEqual(client.smtp(b"VRFY someone"), 252)
        self.assertEqual(client.smtp(b"VRFY ../x"), 550)


if __name__ == "__main__":
    main()
