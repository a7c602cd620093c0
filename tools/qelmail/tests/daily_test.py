#!/usr/bin/env python3
"""qelmail for daily use against the mail drop: bare user@host addresses,
--opt=value and --, the password from a file, the environment or ~/.netrc
(and never in qelmail's output), fetch --new, and the IPv6 loopback."""

import os
import socket
import tempfile

from email.message import EmailMessage

from support import USERS, QelmailTestCase, ScriptedPop3, environment, fetched_lines, main, qelmail, read_file


def message_with(subject, files):
    message = EmailMessage()
    message["Subject"] = subject
    message.set_content("text of %s\n" % subject)
    for name, data in files:
        message.add_attachment(data, maintype="application", subtype="octet-stream", filename=name)
    return message.as_bytes(policy=message.policy.clone(linesep="\r\n"))


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


class DailyTest(QelmailTestCase):
    def test_bare_addresses_and_option_forms(self):
        result = qelmail("send", "--server=127.0.0.1:%d" % self.drop.smtp_port, "--from=sender@example.org",
                         "--to", "alice@example.org, Bob <bob@example.org>", "--cc=carol@example.org",
                         "--reply-to", "replies@example.org", "--subject=a=b", "--text", "-- not an option")
        self.assertOk(result)
        [message] = self.stored_messages("alice")
        self.assertEqual(message["From"], "sender@example.org")
        self.assertEqual(message["Reply-To"], "replies@example.org")
        self.assertEqual(message["Subject"], "a=b")
        self.assertEqual(str(message["To"]), "alice@example.org, Bob <bob@example.org>")
        self.assertEqual(len(self.drop.stored("bob")) + len(self.drop.stored("carol")), 2)
        # After "--" a word that starts with a dash is an argument.
        result = qelmail("verify", "--port=%d" % self.drop.smtp_port, "--", "alice", "-x")
        self.assertEqual(result.out.splitlines()[0].split("\t")[:2], ["alice", "252"], result)
        self.assertTrue(result.out.splitlines()[1].startswith("-x\t550\t"), result)

    def test_password_sources(self):
        home = tempfile.mkdtemp(dir=self.drop.dir)
        with open(os.path.join(home, ".netrc"), "w") as f:
            f.write('machine other.example login alice password wrong\n'
                    'machine 127.0.0.1\n  login alice\n  password "%s"\n'
                    'macdef init\nlogin bob password wrong\n\n'
                    'default login bob password %s\n' % (USERS["alice"], USERS["bob"]))
        password_file = self.write("password", USERS["alice"].encode() + b"\n")
        port = ["--port", str(self.drop.pop3_port)]
        cases = [  # user, extra arguments, environment
            ("alice", ["--password-file", password_file], environment()),
            ("alice", [], environment(QELMAIL_PASSWORD=USERS["alice"])),
            ("alice", [], environment(HOME=home)),          # the machine's entry
            ("bob", [], environment(HOME=home)),            # the default entry
            ("carol", ["--password", USERS["carol"]], environment(QELMAIL_PASSWORD="wrong", HOME=home)),
        ]
        for user, extra, env in cases:
            result = qelmail("list", *port, "--user", user, *extra, env=env)
            self.assertOk(result)
            self.assertEqual(result.out.splitlines()[0], "0 messages", (user, extra))
        # The SMTP login takes its password the same way.
        self.assertOk(qelmail("send", "--port", str(self.drop.smtp_port), "--user", "alice", "--password-file",
                              password_file, "--from", "alice@localhost", "--to", "bob@localhost", "--text", "x"))
        # A refused password is never shown, wherever it came from.
        for env in (environment(QELMAIL_PASSWORD="s3cr3t-wrong"), environment()):
            extra = [] if "QELMAIL_PASSWORD" in env else ["--password", "s3cr3t-wrong"]
            result = qelmail("list", *port, "--user", "alice", *extra, "--log", os.devnull, env=env)
            self.assertEqual(result.code, 77, result)
            self.assertNotIn("s3cr3t", result.out + result.err)

    def test_fetch_new_only(self):
        out = os.path.join(self.drop.dir, "out")

        def deliver(subject):
            with self.drop.smtp() as smtp:
                smtp.sendmail("a@example.org", ["alice@example.org"], b"Subject: %s\r\n\r\nx\r\n" % subject)

        def fetch(*extra):
            result = self.pop3("fetch", "--dir", out, *extra)
            self.assertOk(result)
            return [line[2] for line in fetched_lines(result.out) if line[0] == "message"]

        deliver(b"one")
        deliver(b"two")
        first = fetch("--new")
        self.assertEqual(len(first), 2)
        self.assertEqual(fetch("--new"), [])
        deliver(b"three")
        [third] = fetch("--new")
        self.assertNotIn(third, first)
        with open(os.path.join(out, ".qelmail-uids")) as f:
            self.assertEqual(len(f.read().split()), 3)
        self.assertEqual(len(fetch()), 3)  # without --new: everything again

    def test_fetch_never_overwrites_a_file(self):
        # Ids taken from the messages themselves repeat, and "a/b" and "a:b"
        # make the same file name (and "DUP" does where letter case does not
        # count): each message keeps a file and a directory of its own, named
        # the same whichever messages a run fetches, and --new fetches each
        # once. In a shared --attach-dir no file is replaced and each line
        # and note names the message's own file.
        mailbox = [(uid, message_with("m%d" % n, [("same.txt", b"from m%d" % n)] + [("b.txt", b"b")] * (n == 1)))
                   for n, uid in enumerate(("dup", "dup", "a/b", "a:b", "DUP", "dup"), 1)]
        server = ScriptedPop3(mailbox[:3])
        self.addCleanup(server.close)
        out, attach = os.path.join(self.drop.dir, "out"), os.path.join(self.drop.dir, "attach")

        def fetch(directory, *extra):
            result = qelmail("fetch", "--port", str(server.port), "--user", "u", "--password", "p", "--dir",
                             directory, *extra)
            self.assertOk(result)
            return fetched_lines(result.out)

        names = ["dup", "dup~2", "a_b", "a_b~2", "DUP~3", "dup~4"]
        self.assertEqual([l[2] for l in fetch(out, "--new") if l[0] == "message"],
                         ["%s/%s.eml" % (out, name) for name in names[:3]])
        server.messages = mailbox
        self.assertEqual([l[1] for l in fetch(out, "--new") if l[0] == "message"], ["4", "5", "6"])
        self.assertEqual(fetch(out, "--new"), [])
        for n, name in enumerate(names, 1):
            self.assertIn(b"text of m%d" % n, read_file(os.path.join(out, name + ".eml")), name)
            self.assertEqual(read_file(os.path.join(out, name, "same.txt")), b"from m%d" % n, name)
        self.assertEqual(read_file(os.path.join(out, ".qelmail-uids")), b"dup\ndup\t2\na/b\na:b\nDUP\ndup\t3\n")
        self.assertEqual(fetch(os.path.join(self.drop.dir, "one"), "--message", "2")[0][2],
                         os.path.join(self.drop.dir, "one", "dup~2.eml"))
        os.makedirs(attach)
        for name in ("same.txt", "same (3).txt"):
            self.write(os.path.join("attach", name), b"mine")
        saved = [(l[1], read_file(l[2])) for l in fetch(os.path.join(self.drop.dir, "shared"), "--attach-dir", attach)
                 if l[0] == "attachment"]
        self.assertEqual(saved, [("1", b"b")] + [(str(n), b"from m%d" % n) for n in range(1, 7)])
        self.assertEqual(len(os.listdir(attach)), 9)
        self.assertEqual(read_file(os.path.join(attach, "same.txt")) + read_file(os.path.join(attach, "same (3).txt")),
                         b"minemine")
        self.assertIn(b'[Attachment saved to "%s/same (4).txt"]' % attach.encode(),
                      read_file(os.path.join(self.drop.dir, "shared", "dup~2.eml")))

    def test_ipv6_loopback(self):
        if not ipv6_loopback():
            self.skipTest("no IPv6 loopback here")
        drop = self.start("--listen", "::1")
        for server in ("::1", "[::1]"):
            result = qelmail("send", "--server", server, "--port", str(drop.smtp_port), "--from", "a@example.org",
                             "--to", "alice@example.org", "--subject", server, "--text", "over IPv6")
            self.assertOk(result)
        stored = drop.stored("alice")
        self.assertEqual(len(stored), 2)
        for message in stored:
            self.assertRegex(message, rb"\(\[::1\]:\d+\)")
        result = qelmail("list", "--server", "[::1]:%d" % drop.pop3_port, "--user", "alice",
                         "--password", USERS["alice"])
        self.assertOk(result)
        self.assertEqual(result.out.splitlines()[0], "2 messages")
        # Nothing listens on the IPv4 loopback at that port.
        result = qelmail("list", "--port", str(drop.pop3_port), "--user", "alice", "--password", USERS["alice"])
        self.assertEqual(result.code, 75, result)


if __name__ == "__main__":
    main()
