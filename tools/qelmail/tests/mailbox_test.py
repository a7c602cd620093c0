#!/usr/bin/env python3
"""qelmail list, top, fetch, delete and raw against the mail drop. Messages
are built with Python's email package and stored through smtplib; what
qelmail reports and saves is compared with poplib and with the Maildir."""

import mailbox
import os
import poplib
import random
import re
import resource
import signal
import subprocess

from email.message import EmailMessage

from support import USERS, QelmailTestCase, environment, fetched_lines, main, parse, program, qelmail, read_file

sys_random = random.Random(1234)


def text_message():
    message = EmailMessage()
    message["From"], message["To"], message["Subject"] = "a@example.org", "alice@example.org", "plain"
    message.set_content(".starts with a dot\n.\n..two\nlast line\n")
    return message.as_bytes(policy=message.policy.clone(linesep="\r\n"))


def attachment_message(files):
    message = EmailMessage()
    message["From"], message["To"], message["Subject"] = "a@example.org", "alice@example.org", "files"
    message.set_content("The files are attached.\n")
    for name, data in files.items():
        message.add_attachment(data, maintype="application", subtype="octet-stream", filename=name)
    return message.as_bytes(policy=message.policy.clone(linesep="\r\n"))


def dotty_message(lines):
    """Many lines that need dot-stuffing, so that stuffed dots fall on every
    kind of block boundary of a raw download."""
    body = []
    for _ in range(lines):
        kind = sys_random.randrange(5)
        width = sys_random.randrange(0, 120)
        if kind == 0:
            body.append(b".")
        elif kind == 1:
            body.append(b"." + b"x" * width)
        elif kind == 2:
            body.append(b"..")
        else:
            body.append(bytes(sys_random.choice(b"abc .") for _ in range(width)))
    return b"Subject: dots\r\n\r\n" + b"\r\n".join(body) + b"\r\n"


class MailboxTest(QelmailTestCase):
    def setUp(self):
        super().setUp()
        self.files = {"random.bin": os.urandom(200_000), "report 2024.csv": b"a,b\r\n1,2\r\n", "empty.dat": b"x"}
        self.messages = [text_message(), attachment_message(self.files), dotty_message(40_000)]
        with self.drop.smtp() as smtp:
            for message in self.messages:
                smtp.sendmail("a@example.org", ["alice@example.org"], message)
        self.paths = [os.path.join(self.drop.mailbox("alice"), n) for n in self.drop.names("alice")]
        self.ids = [os.path.basename(p) for p in self.paths]
        self.out = os.path.join(self.drop.dir, "out")

    def served(self, number):
        return read_file(self.paths[number - 1])

    def remaining_ids(self):
        pop = self.drop.pop3()
        try:
            pop.user("alice")
            pop.pass_(USERS["alice"])
            return [line.split()[1].decode() for line in pop.uidl()[1]]
        finally:
            pop.quit()

    def test_list_matches_poplib(self):
        result = self.pop3("list")
        self.assertOk(result)
        lines = result.out.splitlines()
        self.assertEqual(lines[0], "3 messages")
        expected = ["%d\t%d\t%s" % (n, len(self.served(n)), self.ids[n - 1]) for n in (1, 2, 3)]
        self.assertEqual(lines[1:], expected)
        self.assertEqual(self.pop3("list", "--apop").out, result.out)
        drop = self.start(users={"empty": "pw"})
        result = qelmail("list", "--port", str(drop.pop3_port), "--user", "empty", "--password", "pw")
        self.assertEqual((result.code, result.out), (0, "0 messages\n"))

    def test_top(self):
        header, body = self.served(1).split(b"\r\n\r\n", 1)
        body_lines = body.split(b"\r\n")
        for count in (0, 2):
            result = self.pop3("top", "--message", "1", "--lines", str(count))
            self.assertOk(result)
            expected = header + b"\r\n\r\n" + b"".join(line + b"\r\n" for line in body_lines[:count])
            self.assertEqual(result.out, expected.replace(b"\r\n", b"\n").decode(), count)

    def test_fetch_decodes_attachments(self):
        result = self.pop3("fetch", "--dir", self.out)
        self.assertOk(result)
        lines = fetched_lines(result.out)
        messages = [line for line in lines if line[0] == "message"]
        self.assertEqual(messages, [("message", str(n), "%s/%s.eml" % (self.out, self.ids[n - 1])) for n in (1, 2, 3)])
        attachments = {os.path.basename(l[2]): read_file(l[2]) for l in lines if l[0] == "attachment"}
        self.assertEqual(attachments, self.files)
        for line in lines:
            self.assertTrue(line[2].startswith(os.path.join(self.out, self.ids[int(line[1]) - 1])), line)
        # Each message's attachments in a directory of its own; nothing
        # unfinished left; the text is in the message file.
        self.assertEqual(sorted(os.listdir(self.out)),
                         sorted([i + ".eml" for i in self.ids] + [self.ids[1]]))
        saved = read_file(os.path.join(self.out, self.ids[1] + ".eml"))
        self.assertIn(b"The files are attached.", saved)
        self.assertIn(('[Attachment saved to "%s/random.bin"]' % self.ids[1]).encode(), saved)
        self.assertEqual(self.remaining_ids(), self.ids)

    def test_fetch_raw_is_the_message_as_stored(self):
        # Also an answer that is nothing but the message (no line to unstuff).
        result = self.pop3("fetch", "--dir", self.out, "--raw")
        self.assertOk(result)
        for n in (1, 2, 3):
            self.assertEqual(read_file(os.path.join(self.out, self.ids[n - 1] + ".eml")), self.served(n), n)
        self.assertEqual(len(os.listdir(self.out)), 3)
        self.assertEqual(parse(self.served(3))["Subject"], "dots")

    def test_fetch_selected_messages_and_delete(self):
        attach_dir = os.path.join(self.drop.dir, "attachments")
        result = self.pop3("fetch", "--dir", self.out, "--message", "2", "--message", "1", "--delete",
                           "--attach-dir", attach_dir)
        self.assertOk(result)
        lines = fetched_lines(result.out)
        self.assertEqual([l[:2] for l in lines if l[0] != "attachment"],
                         [("message", "2"), ("message", "1"), ("deleted", "2"), ("deleted", "1")])
        self.assertEqual(sorted(os.listdir(attach_dir)), sorted(self.files))
        self.assertEqual(sorted(os.listdir(self.out)), sorted([self.ids[0] + ".eml", self.ids[1] + ".eml"]))
        self.assertEqual(self.remaining_ids(), [self.ids[2]])

    def test_fetch_failure_leaves_no_file_and_deletes_nothing(self):
        result = self.pop3("fetch", "--dir", self.out, "--message", "1", "--message", "7", "--delete")
        self.assertFails(result, 65, "reading the size of message 7 failed (-63): POP3 returned error. -ERR")
        self.assertEqual(fetched_lines(result.out), [("message", "1", "%s/%s.eml" % (self.out, self.ids[0]))])
        self.assertEqual(os.listdir(self.out), [self.ids[0] + ".eml"])
        self.assertEqual(self.remaining_ids(), self.ids)

    def test_fetch_delivers(self):
        # Lines a mbox reader would take for the start of a message, quoted
        # or not, and a stuffed dot; then the four messages as served.
        with self.drop.smtp() as smtp:
            smtp.sendmail("a@example.org", ["alice@example.org"],
                          b"Subject: froms\r\n\r\nFrom here\r\n>From once\r\n>>From twice\r\nFrom\r\n.From\r\n")
        paths = [os.path.join(self.drop.mailbox("alice"), n) for n in self.drop.names("alice")]
        ids = [os.path.basename(p) for p in paths]
        served = [read_file(p).replace(b"\r\n", b"\n") for p in paths]
        root = os.path.join(self.drop.dir, "d")
        maildir, mbox, piped, attach = (os.path.join(root, n) for n in ("Mail", "inbox.mbox", "piped", "files"))
        os.makedirs(piped)
        keep = "cat > %s/$$" % piped
        # args, exit code, messages delivered (message lines), ids left on the server
        cases = [
            (["--maildir", maildir, "--new"], 0, 4, ids),
            (["--maildir", maildir, "--new", "--delete"], 0, 0, ids),
            (["--mbox", mbox, "--attachments", attach], 0, 4, ids),
            (["--mda", "cat >/dev/null; exit 73", "--delete"], 73, 0, ids),
            (["--mda", keep + "; ! grep -q '^Subject: froms' %s/$$" % piped, "--delete"], 75, 3, ids[3:]),
        ]
        for args, code, delivered, left in cases:
            result = self.pop3("fetch", *args)
            self.assertEqual(result.code, code, (args, result))
            lines = fetched_lines(result.out)
            self.assertEqual(len([l for l in lines if l[0] == "message"]), delivered, (args, result))
            self.assertEqual(self.remaining_ids(), left, args)
            if code != 0:
                self.assertIn("stays on the server", result.err, args)
        # Maildir: exactly the messages in new/, LF line ends; nothing left
        # in tmp/; a second --new run fetched nothing.
        self.assertEqual(sorted(read_file(os.path.join(maildir, "new", n)) for n in os.listdir(os.path.join(maildir, "new"))),
                         sorted(served))
        self.assertEqual((os.listdir(os.path.join(maildir, "tmp")), os.listdir(os.path.join(maildir, "cur"))), ([], []))
        self.assertEqual(sorted(read_file(os.path.join(maildir, ".qelmail-uids")).decode().split()), sorted(ids))
        # mbox: one "From " line per message, mboxrd quoting undone gives the
        # message back; Python's reader sees the same four messages.
        text = read_file(mbox)
        starts = re.findall(rb"^From (\S+) \w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}\n", text, re.M)
        self.assertEqual(starts, [b"a@example.org"] * 4)
        bodies = re.split(rb"^From \S+ .*\n", text, flags=re.M)[1:]
        unquoted = [re.sub(rb"^>(>*From )", rb"\1", b[:-1], flags=re.M) for b in bodies]
        self.assertEqual(unquoted, served)
        self.assertIn(b"\n>From here\n>>From once\n>>>From twice\nFrom\n.From\n", text)
        box = mailbox.mbox(mbox)
        self.assertEqual([m["Subject"] for m in box], ["plain", "files", "dots", "froms"])
        box.close()
        self.assertEqual({n: read_file(os.path.join(attach, n)) for n in os.listdir(attach)}, self.files)
        # The command got every message once per run that reached it whole.
        self.assertEqual(sorted(read_file(os.path.join(piped, n)) for n in os.listdir(piped)), sorted(served))
        self.assertFalse([n for n in os.listdir(root) if n.startswith(".qelmail")])

    def test_mbox_write_failure_leaves_the_mbox_as_it_was(self):
        # A file size limit that the second message passes: the mbox keeps
        # its old bytes and the first message, nothing of the second, and
        # nothing is deleted.
        mbox = os.path.join(self.drop.dir, "inbox")
        old = b"From x Thu Jan  1 00:00:00 1970\nSubject: old\n\n" + b"o\n" * 2_000_000 + b"\n"
        with open(mbox, "wb") as f:
            f.write(old)
        limit = len(old) + 4096

        def limited():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        completed = subprocess.run([program(), "fetch", *self.pop3_args(), "--mbox", mbox, "--delete",
                                    "--message", "1", "--message", "2"], capture_output=True, timeout=120,
                                   preexec_fn=limited, env=environment())
        self.assertEqual(completed.returncode, 1, completed)
        self.assertIn(b"message 2: cannot write", completed.stderr)
        text = read_file(mbox)
        self.assertTrue(text.startswith(old))
        self.assertEqual(re.findall(rb"^From .*\n", text[len(old):], re.M), [text[len(old):].split(b"\n")[0] + b"\n"])
        self.assertTrue(text.endswith(self.served(1).replace(b"\r\n", b"\n") + b"\n"))
        self.assertEqual(self.remaining_ids(), self.ids)

    def test_delete(self):
        result = self.pop3("delete", "--message", "3", "--message", "99")
        self.assertFails(result, 65, "deleting message 99 failed (-63)", "-ERR", "nothing was deleted")
        self.assertEqual(self.remaining_ids(), self.ids)
        result = self.pop3("delete", "--message", "1", "--message", "3")
        self.assertOk(result)
        self.assertEqual(result.out, "deleted\t1\ndeleted\t3\n")
        self.assertEqual(self.remaining_ids(), [self.ids[1]])

    def test_raw(self):
        result = self.pop3("raw", "--pop3", "STAT")
        self.assertOk(result)
        self.assertEqual(result.out, "+OK 3 %d\n" % sum(len(self.served(n)) for n in (1, 2, 3)))
        # The status line of a listing; QUIT still ends the session.
        result = self.pop3("raw", "--pop3", "LIST")
        self.assertOk(result)
        self.assertTrue(result.out.startswith("+OK"), result)
        self.assertOk(self.pop3("raw", "--pop3", "DELE 2"))
        self.assertEqual(self.remaining_ids(), [self.ids[0], self.ids[2]])
        result = self.pop3("raw", "--pop3", "DELE 9")
        self.assertFails(result, 65, "DELE 9 failed (-63): POP3 returned error. -ERR")
        result = qelmail("raw", *self.smtp_args(), "NOOP")
        self.assertEqual((result.code, result.out[:4]), (0, "250 "), result)
        result = qelmail("raw", *self.smtp_args(), "VRFY nobody")
        self.assertFails(result, 65, "VRFY nobody failed (-49): SMTP returned error. 550")


if __name__ == "__main__":
    main()
