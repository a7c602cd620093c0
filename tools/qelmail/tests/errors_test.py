#!/usr/bin/env python3
"""qelmail's failures: usage errors (exit 2) and failures with their
sysexits codes (75 temporary, 69 unavailable, 77 login refused, 65 data
refused, 1 local), each with its message; the library's error text with the
server's reply and the socket code; a download cut off half way, or stopped
by SIGINT or SIGTERM; --help of every command in whole sentences."""

import os
import signal
import socket
import subprocess
import tempfile
import time

from email.message import EmailMessage

from support import LineServer, QelmailTestCase, ScriptedPop3, environment, main, program, qelmail

FROM = "<sender@example.org>"
TO = "<alice@example.org>"
COMMANDS = ("send", "verify", "list", "top", "fetch", "delete", "raw")


def closed_port():
    """A loopback port that nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ScriptedSmtp(LineServer):
    """Accepts everything (EHLO offers STARTTLS and AUTH PLAIN) but answers
    each step named in `replies` with its reply: greeting, EHLO, STARTTLS,
    AUTH, MAIL, RCPT, DATA or "." (the end of the text)."""

    ANSWERS = {b"HELO": b"250 hello", b"EHLO": b"250-hello\r\n250-STARTTLS\r\n250 AUTH PLAIN", b"AUTH": b"235 ok",
               b"MAIL": b"250 ok", b"RCPT": b"250 ok", b"DATA": b"354 go on", b"QUIT": b"221 bye"}

    def __init__(self, replies):
        self.replies, self.in_text = replies, False
        super().__init__()

    def reply(self, step, default):
        return self.replies.get(step, default) + b"\r\n"

    def greeting(self):
        return self.reply("greeting", b"220 ready")

    def ends(self, verb):
        return verb == b"QUIT" or (verb == b"" and "greeting" in self.replies)

    def answer(self, verb, arg):
        if self.in_text:
            self.in_text = verb != b"."
            return b"" if self.in_text else self.reply(".", b"250 queued")
        self.in_text = verb == b"DATA" and "DATA" not in self.replies
        return self.reply(verb.decode(), self.ANSWERS.get(verb, b"500 what"))


def attachment_message(size, name):
    message = EmailMessage()
    message["Subject"] = "cut"
    message.set_content("text\n")
    message.add_attachment(os.urandom(size), maintype="application", subtype="octet-stream", filename=name)
    return message.as_bytes(policy=message.policy.clone(linesep="\r\n"))


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
            (("send", "--from", FROM, "--to", TO, "--server", "h:70000"), "--server HOST:PORT needs a port from 1"),
            (("list", "--server", "[::1]:", "--user", "u"), "--server HOST:PORT needs a port from 1"),
            (("send", "--from", FROM, "--to", TO, "--server", "h:25", "--port", "25"), "not both"),
            (("send", "--from", FROM, "--to", TO, "--text", "x", "--body-file", "f"), "--text or --body-file"),
            (("send", "--from", "sender", "--to", TO), "Missing '<' delimiter"),
            (("send", "--from", FROM, "--to", "<a@b@c>"), "--to '<a@b@c>'"),
            (("send", "--from", long_address, "--to", TO), "--from holds more than 128 characters"),
            (("send", "--from", FROM, "--to", TO, "--subject", "a\r\nBcc: x"), "may not hold a line break"),
            (("send", "--from", FROM, "--to", TO, "--header", "no colon"), "'Name: value'"),
            (("send", "--from", FROM, "--to", TO, "--body-type", "rtf"), "unknown --body-type rtf"),
            (("send", "--from", FROM, "--to", TO, "--content-type", "Content-Type: a/b"), "--body-type custom"),
            (("send", "--from", FROM, "--to", TO, "--user", "u"), "no password for u: give --password"),
            (("send", "--from", FROM, "--to", TO, "--password", "p"), "a password goes with --user"),
            (("send", "--from", FROM, "--to", TO, "--user", "u", "--password-file", "/nonexistent"),
             "cannot read the password file /nonexistent"),
            (("send", "--from", FROM, "--to", TO, "--quiet=yes"), "--quiet takes no value"),
            (("send", "--from", FROM, "--to", TO, "extra"), "send takes no argument 'extra'"),
            (("verify",), "verify needs at least one name"),
            (("verify", "a,b"), "unusable name 'a,b'"),
            (("list", "--password", "p"), "--user is needed"),
            (("list", "--user", "u", "--password", "p", "--password-file", "f"), "not both"),
            (("list", "--user", "u" * 256, "--password", "p"), "--user holds more than 255 characters"),
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
        refused = "Error attempting to connect. (socket error -10061: Connection refused by remote host.)"
        cases = [  # arguments, exit code, texts in the message
            (("send", "--port", port, "--from", FROM, "--to", TO, "--text", "x"), 75,
             ("connecting to 127.0.0.1 port %s failed (-36): %s" % (port, refused),)),
            (("send", *self.smtp_args(), "--from", FROM, "--to", "<nobody@example.org>", "--text", "x"), 65,
             ("sending failed (-49): SMTP returned error. 550", "nobody@example.org")),
            (("send", *self.smtp_args(), "--from", FROM, "--to", TO, "--attach", missing), 1,
             ("cannot read the attachment " + missing,)),
            (("send", *self.smtp_args(), "--from", FROM, "--to", TO, "--body-file", missing), 1,
             ("cannot read the body file " + missing,)),
            (("send", *self.smtp_args(), "--from", FROM, "--to", TO, "--log", os.path.join(missing, "log")), 1,
             ("cannot create the log file",)),
            (("send", *self.smtp_args(), "--from", FROM, "--to", TO, "--user", "alice", "--password", "wrong"), 77,
             ("connecting to 127.0.0.1 port %d failed (-49): SMTP returned error. 535" % self.drop.smtp_port,)),
            (("list", "--port", str(self.drop.pop3_port), "--user", "alice", "--password", "wrong"), 77,
             ("logging in to 127.0.0.1 port %d failed (-63): POP3 returned error. -ERR" % self.drop.pop3_port,)),
            (("list", "--port", str(self.drop.pop3_port), "--user", "alice", "--password", "wrong", "--apop"), 77,
             ("failed (-63): POP3 returned error. -ERR",)),
            (("list", "--port", port, "--user", "alice", "--password", "secret"), 75, ("failed (-36): " + refused,)),
            (("top", *self.pop3_args(), "--message", "1"), 65, ("reading the top of message 1 failed (-63)", "-ERR")),
            (("fetch", *self.pop3_args(), "--dir", self.write("a-file", b"x")), 1, ("cannot create the directory",)),
        ]
        for args, code, texts in cases:
            result = qelmail(*args)
            self.assertEqual(result.code, code, (args, result))
            for text in texts:
                self.assertIn(text, result.err, (args, result))
            self.assertNotIn("wrong", result.err + result.out)
        self.assertEqual(self.drop.stored("alice"), [])

    def test_temporary_refusals_exit_75_at_every_step(self):
        # A 4xx reply asks to try again, whatever the step; a 5xx reply to
        # the same step keeps its own code.
        cases = [  # step, reply, exit code, extra options
            ("greeting", b"421 busy", 75, ()), ("greeting", b"554 go away", 69, ()),
            ("EHLO", b"421 closing", 75, ("--user", "u", "--password", "p")),
            ("EHLO", b"550 no", 69, ("--user", "u", "--password", "p")),
            ("STARTTLS", b"454 TLS not available now", 75, ("--starttls",)),
            ("STARTTLS", b"554 no TLS", 69, ("--starttls",)),
            ("AUTH", b"454 try later", 75, ("--user", "u", "--password", "p")),
            ("AUTH", b"535 wrong", 77, ("--user", "u", "--password", "p")),
            ("MAIL", b"451 local error", 75, ()), ("MAIL", b"553 bad sender", 65, ()),
            ("RCPT", b"451 greylisted", 75, ()), ("RCPT", b"452 mailbox full", 75, ()),
            ("RCPT", b"550 no such user", 65, ()),
            ("DATA", b"451 later", 75, ()), ("DATA", b"554 no", 65, ()),
            (".", b"452 no space", 75, ()), (".", b"451 aborted", 75, ()), (".", b"552 too big", 65, ()),
        ]
        for step, reply, code, extra in cases:
            server = ScriptedSmtp({step: reply})
            self.addCleanup(server.close)
            result = qelmail("send", "--port", str(server.port), "--timeout", "5000", "--from", FROM, "--to", TO,
                             "--text", "x", *extra)
            self.assertEqual(result.code, code, (step, reply, result))
            self.assertIn(reply.decode(), result.err, (step, result))

    def test_hint_when_a_login_may_need_tls(self):
        for offer, hinted in ((b"250-hello\r\n250 STARTTLS", True), (b"250 hello", False)):
            server = ScriptedSmtp({"EHLO": offer})
            self.addCleanup(server.close)
            result = qelmail("send", "--port", str(server.port), "--from", FROM, "--to", TO, "--text", "x",
                             "--user", "u", "--password", "p")
            self.assertFails(result, 69, "(-120): No login mechanism in common")
            self.assertEqual("the server offers STARTTLS: with --starttls it may offer a way to log in" in result.err,
                             hinted, result)

    def test_download_cut_off_half_way(self):
        # Cut off inside an attachment: neither the message file nor the
        # attachment's directory may stay behind.
        server = ScriptedPop3([("cut-off", attachment_message(100_000, "half.bin"))], half=True)
        self.addCleanup(server.close)
        out = os.path.join(self.drop.dir, "out")
        result = qelmail("fetch", "--port", str(server.port), "--user", "u", "--password", "p", "--dir", out,
                         "--timeout", "5000")
        self.assertFails(result, 75, "downloading message 1 failed (-1)")
        self.assertEqual(result.out, "")
        self.assertEqual(os.listdir(out), [])

    def test_stopped_by_a_signal_half_way_through_a_large_fetch(self):
        # 20 MB of attachment, half of it sent, then the server holds still:
        # the signal comes while the attachment file is being written. The
        # channel is aborted (no QUIT: the server deletes nothing), and what
        # was half written goes, also from a shared --attach-dir, where what
        # was there before stays.
        message = attachment_message(20 * 1024 * 1024, "big.bin")
        for signal_number, code, name in ((signal.SIGTERM, 143, "SIGTERM"), (signal.SIGINT, 130, "SIGINT")):
            for shared in (False, True):
                server = ScriptedPop3([("cut-off", message)], stall=True)
                self.addCleanup(server.close)
                work = tempfile.mkdtemp(dir=self.drop.dir)
                out = os.path.join(work, "out")
                attach = os.path.join(work, "attach")
                os.makedirs(attach)
                with open(os.path.join(attach, "older.bin"), "wb") as f:
                    f.write(b"kept")
                args = [program(), "fetch", "--port", str(server.port), "--user", "u", "--password", "p",
                        "--dir", out, "--timeout", "60000"] + (["--attach-dir", attach] if shared else [])
                process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment())
                written = os.path.join(attach if shared else os.path.join(out, "cut-off"), "big.bin")
                deadline = time.monotonic() + 60
                while not (os.path.exists(written) and os.path.getsize(written) > 1_000_000):
                    self.assertLess(time.monotonic(), deadline, "the attachment was never written")
                    if process.poll() is not None:
                        self.fail("qelmail ended early: %s" % (process.communicate(),))
                    time.sleep(0.02)
                process.send_signal(signal_number)
                stdout, stderr = process.communicate(timeout=60)
                self.assertEqual(process.returncode, code, stderr)
                self.assertIn(b"qelmail: stopped by %s; the connection was aborted" % name.encode(), stderr)
                self.assertEqual(stdout, b"")
                self.assertEqual(os.listdir(out), [])
                self.assertEqual(os.listdir(attach), ["older.bin"])
                server.close()
                self.assertEqual(server.commands, ["CAPA", "USER", "PASS", "STAT", "UIDL", "LIST", "RETR"])

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
            self.assertRegex(result.out, r"\n  %s +[A-Z][^\n]*\.\n" % command)
        # Every option's description is a whole sentence.
        for command in COMMANDS:
            table = qelmail(command, "--help").out.split("\n\n")[2]
            for entry in table.split("\n  --")[1:]:
                self.assertRegex(" ".join(entry.split()), r"^\S+( VALUE)? [A-Z].*\.$", command)
        self.assertRegex(qelmail("--version").out, r"^qelmail, library version 3\.4\.1 build 16\n$")


if __name__ == "__main__":
    main()
