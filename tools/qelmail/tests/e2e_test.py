#!/usr/bin/env python3
"""qelmail against real Postfix and Dovecot (tests/e2e/servers.sh): send
without and with AUTH (CRAM-MD5, LOGIN), list, top, fetch with attachments
byte for byte, delete, APOP; send and fetch over the IPv6 loopback; fetch
into a Maildir, an mbox and a delivery command.

Runs under CTest with the end-to-end fixtures; QEL_E2E_SERVERS names the
directory with one env file per server configuration. Each test finds its
own message in the shared Maildir by a unique marker, and works on POP3
through a private mailbox of its own (the only kind of box a test may
delete from). Exit 77 (skipped) when the servers cannot run here, unless CI
is set: then that is a failure."""

import mailbox
import os
import poplib
import shutil
import sys
import tempfile
import time
import unittest
import uuid

from support import SKIPPED, fetched_lines, parse, qelmail, read_file

DELIVERY_WAIT = 30   # seconds for Postfix to deliver
TIMEOUT = 10         # seconds for poplib
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "examples", "data")


def under_ci():
    return os.environ.get("CI", "").lower() in ("true", "1", "yes")


def load_env(config):
    path = os.path.join(os.environ.get("QEL_E2E_SERVERS", ""), config, "env")
    values = {}
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                if len(value) >= 2 and value[0] == value[-1] and value[0] in "'\"":
                    value = value[1:-1]
                values[key] = value
    except OSError as error:
        values = {"QEL_E2E_AVAILABLE": "0", "QEL_E2E_REASON": "no env file: %s" % error}
    return values


SERVERS = {config: load_env(config) for config in ("default", "cram", "login")}


def unique_marker(what):
    return "qelmail-e2e-%s-%s" % (what, uuid.uuid4().hex[:12])


class EndToEnd(unittest.TestCase):
    def servers(self, config):
        env = SERVERS[config]
        if env.get("QEL_E2E_AVAILABLE") != "1":
            reason = "mail servers unavailable: " + env.get("QEL_E2E_REASON", "")
            if under_ci():
                self.fail(reason + " (a failure under CI)")
            self.skipTest(reason)
        return env

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qelmail-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def send(self, env, *args):
        return qelmail("send", "--server", env["SMTP_HOST"], "--port", env["SMTP_PORT"], "--timeout", "20000",
                       "--from", "QEL tests <qelmail@%s>" % env["MAIL_DOMAIN"], "--to", "Alice <%s>" % env["ALICE_ADDRESS"], *args)

    def delivered(self, env, marker):
        """The bytes of the message holding `marker` in Alice's Maildir."""
        deadline = time.monotonic() + DELIVERY_WAIT
        while time.monotonic() < deadline:
            for sub in ("new", "cur"):
                folder = os.path.join(env["ALICE_MAILDIR"], sub)
                for name in os.listdir(folder):
                    try:
                        data = read_file(os.path.join(folder, name))
                    except FileNotFoundError:  # moved by a POP3 session meanwhile
                        continue
                    if marker.encode() in data:
                        return data
            time.sleep(0.1)
        self.fail("no message with %s was delivered" % marker)

    def make_box(self, env, messages):
        """A private POP3 mailbox holding `messages` in that order; its login."""
        login = env["BOX_PREFIX"] + "qelmail-" + self.id().split(".")[-1].replace("_", "-")[:40]
        root = os.path.join(env["MAILBOX_ROOT"], login)
        shutil.rmtree(root, ignore_errors=True)
        uid, gid = int(env["MAIL_UID"]), int(env["MAIL_GID"])
        for path in (root, root + "/new", root + "/cur", root + "/tmp"):
            os.mkdir(path, 0o755)
            os.chown(path, uid, gid)
        for number, data in enumerate(messages):
            name = "%d.qelmail%d_%d.e2e" % (1700000000 + number, os.getpid(), number)
            staged = os.path.join(root, "tmp", name)
            with open(staged, "wb") as f:
                f.write(data)
            os.chown(staged, uid, gid)
            os.rename(staged, os.path.join(root, "new", name))
        self.addCleanup(shutil.rmtree, root, True)
        return login

    def pop3_args(self, env, login):
        return ["--server", env["POP3_HOST"], "--port", env["POP3_PORT"], "--timeout", "20000",
                "--user", login, "--password", env["BOX_PASSWORD"]]

    def poplib_listing(self, env, login):
        client = poplib.POP3(env["POP3_HOST"], int(env["POP3_PORT"]), timeout=TIMEOUT)
        try:
            client.user(login)
            client.pass_(env["BOX_PASSWORD"])
            sizes = [tuple(int(x) for x in line.split()) for line in client.list()[1]]
            ids = [line.split()[1].decode() for line in client.uidl()[1]]
            return [(n, size, uid) for (n, size), uid in zip(sizes, ids)]
        finally:
            client.quit()

    def test_send_without_auth_then_list_top_fetch_delete(self):
        env = self.servers("default")
        marker = unique_marker("plain")
        files = {"random.bin": os.urandom(300_000), "chart.png": read_file(os.path.join(DATA, "chart.png"))}
        paths = [self.write(name, data) for name, data in files.items()]
        result = self.send(env, "--subject", marker, "--text", "Text of " + marker,
                           "--attach", paths[0], "--attach", paths[1])
        self.assertEqual(result.code, 0, result)
        message = self.delivered(env, marker)
        parsed = parse(message)
        self.assertEqual({p.get_filename(): p.get_content() for p in parsed.iter_attachments()}, files)

        other = b"Subject: second\n\nsecond message\n"
        login = self.make_box(env, [message, other])
        args = self.pop3_args(env, login)
        listing = self.poplib_listing(env, login)
        result = qelmail("list", *args)
        self.assertEqual(result.code, 0, result)
        self.assertEqual(result.out, "2 messages\n" + "".join("%d\t%d\t%s\n" % entry for entry in listing))

        result = qelmail("top", *args, "--message", "1", "--lines", "0")
        self.assertEqual(result.code, 0, result)
        self.assertIn("Subject: %s\n" % marker, result.out)
        self.assertTrue(result.out.endswith("\n\n"), result.out[-200:])
        self.assertNotIn("Text of", result.out)

        out = os.path.join(self.dir, "out")
        result = qelmail("fetch", *args, "--dir", out)
        self.assertEqual(result.code, 0, result)
        lines = fetched_lines(result.out)
        self.assertEqual([l for l in lines if l[0] == "message"],
                         [("message", "1", "%s/%s.eml" % (out, listing[0][2])),
                          ("message", "2", "%s/%s.eml" % (out, listing[1][2]))])
        saved = {os.path.basename(l[2]): read_file(l[2]) for l in lines if l[0] == "attachment"}
        self.assertEqual(saved, files)
        self.assertIn(("Text of " + marker).encode(), read_file(lines[0][2]))

        result = qelmail("delete", *args, "--message", "1")
        self.assertEqual((result.code, result.out), (0, "deleted\t1\n"), result)
        self.assertEqual([uid for _, _, uid in self.poplib_listing(env, login)], [listing[1][2]])

    def test_sendmail_as_cron_and_mail_programs_call_it(self):
        env = self.servers("default")
        server = ["--server", env["SMTP_HOST"], "--port", env["SMTP_PORT"], "--timeout", "20000"]
        alice = env["ALICE_ADDRESS"]
        sender = "qelmail@%s" % env["MAIL_DOMAIN"]
        marker = unique_marker("sendmail-t")
        header = ('From: QEL tests <%s>\nTo: "Doe, Alice" <%s>\nBcc: <%s>,\n <%s>\nSubject: %s\n'
                  % (sender, alice, alice, alice, marker)).encode()
        body = b"\n.leading dot\r\n\xc3\xa9 8-bit line\nlast line without end"
        result = qelmail("sendmail", *server, "-t", "-i", stdin=header + body)
        self.assertEqual((result.code, result.out), (0, ""), result)
        marker2 = unique_marker("sendmail-f")
        cron = ("Subject: %s\n\ncron output\n.\nnot sent\n" % marker2).encode()
        result = qelmail("sendmail", *server, "-f", sender, alice, stdin=cron)
        self.assertEqual(result.code, 0, result)
        for mark, expected_body, bcc_free in ((marker, body.replace(b"\r\n", b"\n") + b"\n", True),
                                             (marker2, b"\ncron output\n", False)):
            delivered = self.delivered(env, mark)
            split = delivered.index(b"\n\n")
            self.assertEqual(delivered[split + 1:], expected_body)
            if bcc_free:
                self.assertNotIn(b"\nBcc:", delivered[:split])
                self.assertIn(b'\nTo: "Doe, Alice" <%s>\n' % alice.encode(), delivered[:split])

    def test_over_ipv6(self):
        env = self.servers("cram")
        if not env.get("IPV6_HOST"):
            self.skipTest("no IPv6 loopback here")
        marker = unique_marker("ipv6")
        result = qelmail("send", "--server", "[%s]" % env["IPV6_HOST"], "--port", env["SMTP_PORT"], "--timeout",
                         "20000", "--from", "qelmail@" + env["MAIL_DOMAIN"], "--to", env["ALICE_ADDRESS"],
                         "--subject", marker, "--text", "over IPv6", "--user", env["ALICE_USER"],
                         "--password", env["ALICE_PASSWORD"])
        self.assertEqual(result.code, 0, result)
        message = self.delivered(env, marker)
        self.assertRegex(message, rb"Received: from \S+ \(\S+ \[(IPv6:)?::1\]\)")
        login = self.make_box(env, [message])
        out = os.path.join(self.dir, "out")
        args = self.pop3_args(env, login)
        args[args.index("--server") + 1] = env["IPV6_HOST"]
        result = qelmail("fetch", *args, "--apop", "--dir", out)
        self.assertEqual(result.code, 0, result)
        [line] = fetched_lines(result.out)
        self.assertIn(b"over IPv6", read_file(line[2]))

    def test_send_with_auth(self):
        # The login is negotiated: the strongest mechanism offered, whatever
        # its place in the offer.
        for config, mechanism in (("cram", "CRAM-MD5"), ("login", "CRAM-MD5"), ("default", "CRAM-MD5")):
            env = self.servers(config)
            marker = unique_marker(mechanism)
            result = self.send(env, "--subject", marker, "--text", "x", "--user", env["ALICE_USER"],
                               "--password", env["ALICE_PASSWORD"], "--log", os.path.join(self.dir, config + ".log"))
            self.assertEqual(result.code, 0, result)
            self.assertIn(("AUTH " + mechanism).encode(), read_file(os.path.join(self.dir, config + ".log")))
            self.assertEqual(parse(self.delivered(env, marker))["Subject"], marker)
            result = self.send(env, "--subject", marker + "-wrong", "--text", "x", "--user", env["ALICE_USER"],
                               "--password", "not-" + env["ALICE_PASSWORD"])
            self.assertEqual(result.code, 77, result)
            self.assertIn("failed (-49): SMTP returned error. 535", result.err)
        # A mechanism the server does not offer: nothing is sent.
        env = self.servers("default")
        result = self.send(env, "--subject", "never", "--text", "x", "--user", env["ALICE_USER"],
                           "--password", env["ALICE_PASSWORD"], "--auth", "scram-sha-256")
        self.assertEqual(result.code, 69, result)
        self.assertIn("(-120): No login mechanism in common with the server. (offered: PLAIN LOGIN CRAM-MD5;",
                      result.err)

    def test_tls_send_and_fetch(self):
        env = self.servers("cram")
        marker = unique_marker("tls")
        data = os.urandom(200_000)
        path = self.write("tls.bin", data)
        log = os.path.join(self.dir, "tls.log")
        result = qelmail("send", "--server", env["SMTP_HOST"], "--port", env["SUBMISSION_PORT"], "--starttls",
                         "--ca-file", env["TLS_CA_FILE"], "--timeout", "20000", "--log", log,
                         "--from", "QEL tests <qelmail@%s>" % env["MAIL_DOMAIN"], "--to", "Alice <%s>" % env["ALICE_ADDRESS"],
                         "--subject", marker, "--text", "x", "--attach", path,
                         "--user", env["ALICE_USER"], "--password", env["ALICE_PASSWORD"])
        self.assertEqual(result.code, 0, result)
        self.assertIn(b"certificate checked", read_file(log))
        login = self.make_box(env, [self.delivered(env, marker)])
        args = ["--server", env["POP3_HOST"], "--port", env["POP3S_PORT"], "--timeout", "20000",
                "--user", login, "--password", env["BOX_PASSWORD"], "--tls"]
        out = os.path.join(self.dir, "out")
        result = qelmail("fetch", *args, "--ca-file", env["TLS_CA_FILE"], "--dir", out)
        self.assertEqual(result.code, 0, result)
        saved = [read_file(l[2]) for l in fetched_lines(result.out) if l[0] == "attachment"]
        self.assertEqual(saved, [data])
        # Without the test CA the certificate is refused, unless the check is off.
        result = qelmail("list", *args)
        self.assertEqual(result.code, 69, result)
        self.assertIn("(-112): Server certificate not trusted.", result.err)
        result = qelmail("list", *args, "--insecure")
        self.assertEqual(result.code, 0, result)

    def test_fetch_with_apop_raw_and_delete(self):
        env = self.servers("cram")
        marker = unique_marker("apop")
        message = ("Subject: %s\r\n\r\n.dot line\r\n..two\r\nend\r\n" % marker).encode()
        login = self.make_box(env, [message, b"Subject: keep\r\n\r\nkept\r\n"])
        out = os.path.join(self.dir, "raw")
        result = qelmail("fetch", *self.pop3_args(env, login), "--apop", "--raw", "--message", "1", "--delete",
                         "--dir", out)
        self.assertEqual(result.code, 0, result)
        [(kind, number, path), deleted] = fetched_lines(result.out)
        self.assertEqual((kind, number, deleted), ("message", "1", ("deleted", "1")))
        self.assertEqual(read_file(path), message)
        self.assertEqual(len(self.poplib_listing(env, login)), 1)

    def test_fetch_delivers_to_maildir_mbox_and_command(self):
        env = self.servers("default")
        marker = unique_marker("deliver")
        files = {"random.bin": os.urandom(100_000)}
        result = self.send(env, "--subject", marker, "--text", "Text of " + marker,
                           "--attach", self.write("random.bin", files["random.bin"]))
        self.assertEqual(result.code, 0, result)
        messages = [self.delivered(env, marker), b"Subject: second\r\n\r\nFrom here\r\n.dot\r\n"]
        login = self.make_box(env, messages)
        args = self.pop3_args(env, login)
        maildir, mbox, attach = (os.path.join(self.dir, n) for n in ("Mail", "inbox", "files"))
        for target in (["--maildir", maildir, "--attachments", attach], ["--mbox", mbox]):
            result = qelmail("fetch", *args, *target)
            self.assertEqual(result.code, 0, result)
        for box in (mailbox.Maildir(maildir, factory=None, create=False), mailbox.mbox(mbox, create=False)):
            self.assertEqual(sorted(m["Subject"] for m in box), sorted([marker, "second"]))
            box.close()
        self.assertEqual({n: read_file(os.path.join(attach, n)) for n in os.listdir(attach)}, files)
        # A failing command keeps every message on the server, even with --delete.
        for command, code, left in (("cat >/dev/null; exit 1", 75, 2), ("cat >/dev/null", 0, 0)):
            result = qelmail("fetch", *args, "--mda", command, "--delete")
            self.assertEqual(result.code, code, result)
            self.assertEqual(len(self.poplib_listing(env, login)), left)


def main():
    if not any(env.get("QEL_E2E_AVAILABLE") == "1" for env in SERVERS.values()) and not under_ci():
        print("mail servers unavailable: " + SERVERS["default"].get("QEL_E2E_REASON", ""))
        sys.exit(SKIPPED)
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
