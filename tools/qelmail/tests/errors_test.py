#!/usr/bin/env python3
"""qelmail's failures: usage errors (exit 2) and failures (exit 1), each
with its message; the library's error text with the server's reply; a
download cut off half way; --help of every command."""

import os
import socket
import threading

from email.message import EmailMessage

from support import QelmailTestCase, main, qelmail

FROM = "<sender@example.org>"
TO = "<alice@example.org>"
COMMANDS = ("send", "verify", "list", "top", "fetch", "delete", "raw")


def closed_port():
    """A loopback port that nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class CutOffPop3:
    """A POP3 server for one session that sends half of a message in answer
    to RETR and then closes the connection."""

    def __init__(self, message):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(30)
        self.port = self.listener.getsockname()[1]
        self.message = message
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(30)
            reader = conn.makefile("rb")
            conn.sendall(b"+OK ready\r\n")
            answers = {b"USER": b"+OK\r\n", b"PASS": b"+OK\r\n", b"STAT": b"+OK 1 %d\r\n" % len(self.message),
                       b"LIST": b"+OK 1 %d\r\n" % len(self.message), b"UIDL": b"+OK\r\n1 cut-off\r\n.\r\n"}
            for line in reader:
                verb = line.split()[0].upper() if line.split() else b""
                if verb == b"RETR":
                    conn.sendall(b"+OK\r\n" + self.message[:len(self.message) // 2])
                    return
                conn.sendall(answers.get(verb, b"-ERR\r\n"))

    def close(self):
        self.listener.close()
        self.thread.join(30)


class ErrorsTest(QelmailTestCase):
    def test_usage_errors(self):
        long_address = "<" + "a" * 120 + "@example.org>"
        cases = [  # arguments, text in the message
            ((), "usage: qelmail COMMAND"),
            (("mail",), "unknown command 'mail'"),
            (("send", "--frm", FROM), "unknown option --frm"),
            (("send", "--to", TO, "--text", "x"), "send needs --from"),
            (("send", "--from", FROM), "send needs at least one --to"),
            (("send", "--from", FROM, "--to", TO, "--from", FROM), "option --from given twice"),
            (("send", "--from", FROM, "--to", TO, "--port", "70000"), "--port needs a number from 1 to 65535"),
            (("send", "--from", FROM, "--to", TO, "--timeout", "soon"), "--timeout needs a number"),
            (("send", "--from", FROM, "--to", TO, "--text", "x", "--body-file", "f"), "--text or --body-file"),
            (("send", "--from", "sender@example.org", "--to", TO), "Missing '<' delimiter"),
            (("send", "--from", FROM, "--to", "<a@b@c>"), "--to '<a@b@c>'"),
            (("send", "--from", long_address, "--to", TO), "--from holds more than 128 characters"),
            (("send", "--from", FROM, "--to", TO, "--subject", "a\r\nBcc: x"), "may not hold a line break"),
            (("send", "--from", FROM, "--to", TO, "--header", "no colon"), "'Name: value'"),
            (("send", "--from", FROM, "--to", TO, "--body-type", "rtf"), "unknown --body-type rtf"),
            (("send", "--from", FROM, "--to", TO, "--content-type", "Content-Type: a/b"), "--body-type custom"),
            (("send", "--from", FROM, "--to", TO, "--user", "u"), "--user and --password go together"),
            (("send", "--from", FROM, "--to", TO, "--quiet=yes"), "--quiet takes no value"),
            (("send", "--from", FROM, "--to", TO, "extra"), "send takes no argument 'extra'"),
            (("verify",), "verify needs at least one name"),
            (("verify", "a,b"), "unusable name 'a,b'"),
            (("list", "--user", "u"), "--user and --password are needed"),
            (("list", "--user", "u" * 65, "--password", "p"), "--user holds more than 64 characters"),
            (("top", "--user", "u", "--password", "p"), "top needs --message N"),
            (("top", "--message", "0", "--user", "u", "--password", "p"), "--message needs a number from 1"),
            (("fetch", "--user", "u", "--password", "p"), "fetch needs --dir"),
            (("fetch", "--dir", "d", "--raw", "--attach-dir", "a", "--user", "u", "--password", "p"),
             "--raw saves no attachments"),
            (("fetch", "--dir", "d", "--message", "x", "--user", "u", "--password", "p"), "--message needs a number"),
            (("delete", "--user", "u", "--password", "p"), "delete needs --message N"),
            (("raw",), "raw needs exactly one command"),
            (("raw", "X" * 33), "1 to 32 characters"),
            (("raw", "--apop", "NOOP"), "--apop is for --pop3"),
        ]
        for args, text in cases:
            result = qelmail(*args)
            self.assertEqual(result.code, 2, (args, result))
            self.assertIn(text, result.err + result.out, args)
            self.assertEqual(self.drop.stored("alice"), [])

    def test_failures_name_the_step_and_the_server_reply(self):
        port = str(closed_port())
        missing = os.path.join(self.drop.dir, "missing.bin")
        cases = [  # arguments, texts in the message
            (("send", "--port", port, "--from", FROM, "--to", TO, "--text", "x"),
             ("connecting to 127.0.0.1 port %s failed (-36): Error attempting to connect." % port,)),
            (("send", *self.smtp_args(), "--from", FROM, "--to", "<nobody@example.org>", "--text", "x"),
             ("sending failed (-49): SMTP returned error. 550", "nobody@example.org")),
            (("send", *self.smtp_args(), "--from", FROM, "--to", TO, "--attach", missing),
             ("cannot read the attachment " + missing,)),
            (("send", *self.smtp_args(), "--from", FROM, "--to", TO, "--body-file", missing),
             ("cannot read the body file " + missing,)),
            (("send", *self.smtp_args(), "--from", FROM, "--to", TO, "--log", os.path.join(missing, "log")),
             ("cannot create the log file",)),
            (("list", "--port", str(self.drop.pop3_port), "--user", "alice", "--password", "wrong"),
             ("logging in to 127.0.0.1 port %d failed (-63): POP3 returned error. -ERR" % self.drop.pop3_port,)),
            (("list", "--port", str(self.drop.pop3_port), "--user", "alice", "--password", "wrong", "--apop"),
             ("failed (-63): POP3 returned error. -ERR",)),
            (("list", "--port", port, "--user", "alice", "--password", "secret"), ("failed (-36)",)),
            (("top", *self.pop3_args(), "--message", "1"), ("reading the top of message 1 failed (-63)", "-ERR")),
            (("fetch", *self.pop3_args(), "--dir", self.write("a-file", b"x")), ("cannot create the directory",)),
        ]
        for args, texts in cases:
            result = qelmail(*args)
            self.assertEqual(result.code, 1, (args, result))
            for text in texts:
                self.assertIn(text, result.err, (args, result))
        self.assertEqual(self.drop.stored("alice"), [])

    def test_download_cut_off_half_way(self):
        # Cut off inside an attachment: neither the message file nor the
        # attachment's directory may stay behind.
        message = EmailMessage()
        message["Subject"] = "cut"
        message.set_content("text\n")
        message.add_attachment(os.urandom(100_000), maintype="application", subtype="octet-stream",
                               filename="half.bin")
        server = CutOffPop3(message.as_bytes(policy=message.policy.clone(linesep="\r\n")))
        self.addCleanup(server.close)
        out = os.path.join(self.drop.dir, "out")
        result = qelmail("fetch", "--port", str(server.port), "--user", "u", "--password", "p", "--dir", out,
                         "--timeout", "5000")
        self.assertFails(result, 1, "downloading message 1 failed (-1)")
        self.assertEqual(result.out, "")
        self.assertEqual(os.listdir(out), [])

    def test_help_of_every_command(self):
        for command in COMMANDS:
            result = qelmail(command, "--help")
            self.assertEqual(result.code, 0, command)
            self.assertTrue(result.out.startswith("usage: qelmail " + command), result.out)
            self.assertIn("--server VALUE", result.out)
            self.assertIn("Exit status:", result.out)
        send_help = qelmail("send", "-h").out
        for option in ("--from", "--to", "--cc", "--bcc", "--subject", "--text", "--body-file", "--body-type",
                       "--attach", "--reply-to", "--header", "--user", "--password", "--log", "--timeout"):
            self.assertIn(option + " ", send_help)
        result = qelmail("--help")
        self.assertEqual(result.code, 0)
        for command in COMMANDS:
            self.assertIn("\n  " + command + " ", result.out)
        self.assertRegex(qelmail("--version").out, r"^qelmail, library version 3\.4\.1 build 16\n$")


if __name__ == "__main__":
    main()
