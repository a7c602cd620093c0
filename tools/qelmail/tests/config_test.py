#!/usr/bin/env python3
"""qelmail's configuration file: the account chosen (-a, the default, a
base account), keys of one protocol, the command line winning over the
file, passwordeval, the refusal of a password others may read, and syntax
errors named with their line (exit 78)."""

import base64
import os
import tempfile
import unittest

from errors_test import ScriptedSmtp
from support import ScriptedPop3, environment, main, qelmail

MESSAGE = b"Subject: hi\r\n\r\nhello\r\n"

ACCOUNTS = """# accounts
defaults
timeout 10000
account work
server 127.0.0.1
smtp-port {smtp}
pop3-server 127.0.0.1:{pop3}
from ann@example.org
user ann
pop3-user ann-pop
{secret}
account other : work
user bob
from bob@example.net
passwordeval echo pw2; echo not-this-line
smtp-helo client.test
account default : work
"""


class ConfigFile(unittest.TestCase):
    def test_accounts(self):
        smtp, pop3 = ScriptedSmtp({}), ScriptedPop3([("u1", MESSAGE)])
        self.addCleanup(smtp.close)
        self.addCleanup(pop3.close)
        home = tempfile.mkdtemp(prefix="qelmail-config-")
        send = ("--to", "rcpt@example.org", "--text", "hello")
        # name, extra lines or replacement text, file mode, command and arguments, exit code, stderr text,
        # expected (EHLO name, login user, password, envelope sender) or the POP3 (user, password)
        cases = [
            ("default account", "password pw1", 0o600, ("send", *send), 0, "",
             ("example.org", "ann", "pw1", "ann@example.org")),
            ("-a with a base account and passwordeval", "password pw1", 0o600, ("send", "-a", "other", *send), 0, "",
             ("client.test", "bob", "pw2", "bob@example.net")),
            ("the command line wins", "password pw1", 0o600,
             ("send", "--account", "other", "-u", "carol", "--password", "pw3", "--helo", "cli.test", "-f", "c@y.org", *send),
             0, "", ("cli.test", "carol", "pw3", "c@y.org")),
            ("pop3 keys for list", "password pw1", 0o600, ("list",), 0, "", ("ann-pop", "pw1")),
            ("sendmail -a", "password pw1", 0o600, ("sendmail", "-aother", "rcpt@example.org"), 0, "",
             ("client.test", "bob", "pw2", "bob@example.net")),
            ("a password others may read", "password pw1", 0o640, ("send", *send), 78, "holds a password and others may read",
             None),
            ("passwordeval needs no private file", "", 0o644, ("send", "-a", "other", *send), 0, "",
             ("client.test", "bob", "pw2", "bob@example.net")),
            ("passwordeval failing", "passwordeval exit 3", 0o600, ("send", *send), 78, "passwordeval of account default "
             "failed (exit 3)", None),
            ("unknown account", "", 0o600, ("send", "-a", "nobody", *send), 78, "no account nobody in", None),
            ("unknown key", "passwort pw1", 0o600, ("send", *send), 78, "config:11: unknown key 'passwort'", None),
            ("bad tls mode", "tls yes", 0o600, ("send", *send), 78, "config:11: tls is starttls, implicit or off", None),
            ("key before any account", "=user x\naccount a", 0o600, ("send", *send), 78,
             "config:1: user before any 'account' or 'defaults' line", None),
            ("base account missing", "=account a : b", 0o600, ("send", *send), 78, "config:1: no account b above this line",
             None),
        ]
        for name, secret, mode, args, code, error, expected in cases:
            with self.subTest(name):
                path = os.path.join(home, "qelmail", "config")
                os.makedirs(os.path.dirname(path), exist_ok=True)
                text = secret[1:] if secret.startswith("=") else ACCOUNTS.format(
                    smtp=smtp.port, pop3=pop3.port, secret=secret)
                with open(path, "w") as f:
                    f.write(text + "\n")
                os.chmod(path, mode)
                del smtp.lines[:], pop3.lines[:]
                result = qelmail(*args, stdin=MESSAGE if args[0] == "sendmail" else None,
                                 env=environment(XDG_CONFIG_HOME=home))
                self.assertEqual(result.code, code, result)
                self.assertIn(error, result.err)
                if expected is None:
                    self.assertEqual(smtp.lines + pop3.lines, [])
                elif len(expected) == 2:
                    self.assertIn(b"USER " + expected[0].encode(), pop3.lines)
                    self.assertIn(b"PASS " + expected[1].encode(), pop3.lines)
                else:
                    helo, user, password, sender = expected
                    self.assertEqual(smtp.lines[0], b"EHLO " + helo.encode())
                    auth = [line for line in smtp.lines if line.startswith(b"AUTH PLAIN ")]
                    self.assertEqual(base64.b64decode(auth[0][11:]), b"\0%s\0%s" % (user.encode(), password.encode()))
                    self.assertIn(b"MAIL FROM:<%s>" % sender.encode(), smtp.lines)


if __name__ == "__main__":
    main()
