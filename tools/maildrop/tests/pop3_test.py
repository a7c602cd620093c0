#!/usr/bin/env python3
"""qel-maildrop's POP3 side: listing, ids, sizes and retrieval byte for byte
against the Maildir files, TOP, DELE at QUIT, the logins, the errors."""

import hashlib
import os
import poplib
import re
import time

from harness import USERS, MailDropTestCase, main, read_file, stuff, to_crlf, unstuff

MESSAGES = [
    b"Subject: one\r\n\r\nfirst\r\n",
    b"Subject: two\r\nX-Dots: yes\r\n\r\n.\r\n..double\r\n.single\r\nlast.\r\n",
    b"Subject: three\r\n\r\nl1\r\nl2\r\nl3\r\n",
]
# Dropped into cur/ by some other program: bare LF line ends, no final line
# end, a leading dot, and flags after the colon. Its name sorts it first.
FOREIGN_NAME = "1000000000.foreign.example:2,S"
FOREIGN = b"Subject: foreign\n\nlf only\n.dot\nno end"
LOCK_WAIT = 10  # seconds


class Pop3Test(MailDropTestCase):
    def setUp(self):
        super().setUp()
        with self.drop.smtp() as smtp:
            for message in MESSAGES:
                smtp.sendmail("a@x", ["alice@x"], message)
        with open(os.path.join(self.drop.mailbox("alice", "cur"), FOREIGN_NAME), "wb") as f:
            f.write(FOREIGN)
        self.files = [os.path.join(self.drop.mailbox("alice", "cur"), FOREIGN_NAME)]
        self.files += [os.path.join(self.drop.mailbox("alice"), n) for n in self.drop.names("alice")]
        # What each message is when served: CR LF everywhere, last line ended.
        self.served = [to_crlf(read_file(path)) for path in self.files]

    def test_list_uidl_stat_and_sizes(self):
        self.assertEqual(self.served[1:], [read_file(p) for p in self.files[1:]])
        pop = self.drop.pop3()
        self.assertRegex(pop.getwelcome(), rb"^\+OK .*<\d+\.\d+\.\d+@localhost>$")
        pop.user("alice")
        pop.pass_(USERS["alice"])
        sizes = [len(s) for s in self.served]
        self.assertEqual(pop.stat(), (4, sum(sizes)))
        listing = pop.list()[1]
        self.assertEqual(listing, [b"%d %d" % (i + 1, n) for i, n in enumerate(sizes)])
        ids = [os.path.basename(p).split(":")[0].encode() for p in self.files]
        self.assertEqual(pop.uidl()[1], [b"%d %s" % (i + 1, uid) for i, uid in enumerate(ids)])
        self.assertEqual(pop.uidl(3), b"+OK 3 " + ids[2])
        self.assertEqual(pop.list(2), b"+OK 2 %d" % sizes[1])
        pop.quit()

    def test_retr_is_byte_exact(self):
        client = self.drop.raw_pop3("alice")
        for number, served in enumerate(self.served, 1):
            self.assertEqual(client.command(b"RETR %d" % number), b"+OK %d octets" % len(served))
            wire = client.multiline()
            self.assertEqual(unstuff(wire), served, number)
        # The stuffed form, exactly.
        client.command(b"RETR 3")
        self.assertTrue(client.multiline().endswith(b"\r\n\r\n..\r\n...double\r\n..single\r\nlast.\r\n"))
        self.assertTrue(client.command(b"RETR 1").startswith(b"+OK"))
        self.assertEqual(client.multiline(), b"Subject: foreign\r\n\r\nlf only\r\n..dot\r\nno end\r\n")
        # poplib agrees.
        client.command(b"QUIT")
        pop = self.drop.pop3()
        pop.apop("alice", USERS["alice"])
        response, lines, octets = pop.retr(3)
        self.assertEqual(b"\r\n".join(lines) + b"\r\n", self.served[2])
        pop.quit()

    def test_top(self):
        client = self.drop.raw_pop3("alice")
        header, body = self.served[2].split(b"\r\n\r\n", 1)
        body_lines = body.split(b"\r\n")[:-1]
        for count in (0, 1, 2, len(body_lines), 99):
            expected = header + b"\r\n\r\n" + b"".join(l + b"\r\n" for l in body_lines[:count])
            self.assertTrue(client.command(b"TOP 3 %d" % count).startswith(b"+OK"))
            self.assertEqual(client.multiline(), stuff(expected), count)
        self.assertTrue(client.command(b"TOP 1 1").startswith(b"+OK"))
        self.assertEqual(client.multiline(), b"Subject: foreign\r\n\r\nlf only\r\n")

    def test_dele_takes_effect_at_quit_only(self):
        client = self.drop.raw_pop3("alice")
        dialogue = [
            (b"DELE 2", b"+OK"),
            (b"STAT", b"+OK 3 %d" % (sum(map(len, self.served)) - len(self.served[1]))),
            (b"LIST 2", b"-ERR"),
            (b"RETR 2", b"-ERR"),
            (b"TOP 2 0", b"-ERR"),
            (b"UIDL 2", b"-ERR"),
            (b"DELE 2", b"-ERR"),
            (b"RSET", b"+OK"),
            (b"STAT", b"+OK 4 "),
            (b"DELE 2", b"+OK"),
            (b"DELE 4", b"+OK"),
        ]
        for command, answer in dialogue:
            self.assertTrue(client.command(command).startswith(answer), command)
        client.send(b"LIST\r\n")
        self.assertTrue(client.line().startswith(b"+OK 2 messages"))
        self.assertEqual([l.split()[0] for l in client.multiline().split(b"\r\n")[:-1]], [b"1", b"3"])
        self.assertEqual(client.command(b"QUIT"), b"+OK qel-maildrop signing off (2 messages left)")
        self.assertFalse(os.path.exists(self.files[1]))
        self.assertFalse(os.path.exists(self.files[3]))
        # Nothing else moved: no new/ to cur/ as another server might do.
        self.assertEqual(self.drop.names("alice"), [os.path.basename(self.files[2])])
        self.assertEqual(self.drop.names("alice", "cur"), [FOREIGN_NAME])

    def test_no_quit_no_deletion(self):
        client = self.drop.raw_pop3("alice")
        self.assertTrue(client.command(b"DELE 1").startswith(b"+OK"))
        client.close()
        # The mailbox is free again once the server has seen the close.
        deadline = time.monotonic() + LOCK_WAIT
        while True:
            client = self.drop.raw_pop3()
            client.command(b"USER alice")
            answer = client.command(b"PASS secret")
            if not answer.startswith(b"-ERR [IN-USE]") or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertTrue(answer.startswith(b"+OK alice has 4 messages"), answer)
        client.command(b"QUIT")
        self.assertTrue(all(os.path.exists(p) for p in self.files))

    def test_logins(self):
        pop = self.drop.pop3()
        pop.apop("alice", USERS["alice"])
        pop.quit()
        for login in (lambda p: p.apop("alice", "wrong"), lambda p: p.apop("mallory", "secret"),
                      lambda p: (p.user("alice"), p.pass_("Secret")), lambda p: (p.user("x/../alice"), p.pass_("secret"))):
            pop = self.drop.pop3()
            with self.assertRaises(poplib.error_proto) as failure:
                login(pop)
            self.assertTrue(str(failure.exception).startswith("b'-ERR [AUTH]"), failure.exception)
            pop.quit()
        # A stale APOP digest from another greeting does not log in.
        old = self.drop.raw_pop3()
        stamp = re.search(rb"<[^>]+>", old.greeting).group(0)
        digest = hashlib.md5(stamp + b"secret").hexdigest().encode()
        client = self.drop.raw_pop3()
        self.assertTrue(client.command(b"APOP alice " + digest).startswith(b"-ERR [AUTH]"))
        self.assertTrue(old.command(b"APOP alice " + digest.upper()).startswith(b"+OK alice has 4 messages"))

    def test_three_failed_logins_close_the_connection(self):
        client = self.drop.raw_pop3()
        for password in (b"a", b"b"):
            client.command(b"USER alice")
            self.assertTrue(client.command(b"PASS " + password).startswith(b"-ERR [AUTH]"))
        client.command(b"USER alice")
        self.assertTrue(client.command(b"PASS c").startswith(b"-ERR [AUTH] too many"))
        self.assertTrue(client.closed())

    def test_command_errors(self):
        client = self.drop.raw_pop3()
        for command, answer in [(b"STAT", b"-ERR"), (b"PASS secret", b"-ERR"), (b"FOO", b"-ERR"),
                                (b"USER", b"-ERR"), (b"APOP alice", b"-ERR"), (b"NOOP", b"-ERR")]:
            self.assertTrue(client.command(command).startswith(answer), command)
        client.send(b"CAPA\r\n")
        self.assertEqual(client.line(), b"+OK capability list follows")
        self.assertIn(b"\r\nUIDL\r\n", client.multiline())
        self.assertTrue(client.command(b"USER alice").startswith(b"+OK"))
        self.assertTrue(client.command(b"PASS secret").startswith(b"+OK"))
        for command, answer in [(b"LIST 0", b"-ERR"), (b"LIST 5", b"-ERR"), (b"LIST x", b"-ERR"),
                                (b"LIST 1 2", b"-ERR"), (b"RETR", b"-ERR"), (b"RETR -1", b"-ERR"),
                                (b"TOP 1", b"-ERR"), (b"TOP 1 x", b"-ERR"), (b"DELE 99999999999", b"-ERR"),
                                (b"USER bob", b"-ERR"), (b"NOOP", b"+OK"), (b"list 1", b"+OK 1 "),
                                (b"X" * 2000, b"-ERR line too long"), (b"NOOP", b"+OK")]:
            self.assertTrue(client.command(command).startswith(answer), command)

    def test_one_session_per_mailbox(self):
        first = self.drop.raw_pop3("alice")
        second = self.drop.raw_pop3()
        second.command(b"USER alice")
        self.assertTrue(second.command(b"PASS secret").startswith(b"-ERR [IN-USE]"))
        other = self.drop.raw_pop3("bob")   # another mailbox is free
        self.assertTrue(first.command(b"QUIT").startswith(b"+OK"))
        self.assertTrue(first.closed())
        second.command(b"USER alice")
        self.assertTrue(second.command(b"PASS secret").startswith(b"+OK alice has 4"))
        other.command(b"QUIT")

    def test_a_session_sees_what_was_there_at_login(self):
        client = self.drop.raw_pop3("alice")
        with self.drop.smtp() as smtp:
            smtp.sendmail("a@x", ["alice@x"], b"Subject: later\r\n\r\nx\r\n")
        self.assertTrue(client.command(b"STAT").startswith(b"+OK 4 "))
        client.command(b"QUIT")
        self.assertTrue(self.drop.raw_pop3("alice").command(b"STAT").startswith(b"+OK 5 "))


if __name__ == "__main__":
    main()
