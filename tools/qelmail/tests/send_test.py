#!/usr/bin/env python3
"""qelmail send and verify against the mail drop: headers and recipients,
attachments byte for byte, HTML with an inline image, the body types, the
body from stdin, AUTH with each mechanism the library speaks, VRFY, the
log file. Messages are read back with Python's email package."""

import os
import re
import subprocess

from support import RUN_WAIT, QelmailTestCase, Result, environment, main, qelmail, read_file

FROM = "Sender <sender@example.org>"
ALICE = "Alice <alice@example.org>"
BOB = "Bob <bob@example.org>"
CAROL = "<carol@example.org>"
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "examples", "data")


def normalized(text):
    return text.replace("\r\n", "\n").rstrip("\n")


class SendTest(QelmailTestCase):
    def test_headers_and_recipients(self):
        result = self.send("--from", FROM, "--to", ALICE, "--cc", BOB, "--bcc", CAROL, "--subject", "Hello there",
                           "--text", "First line\r\nSecond line\r\n", "--reply-to", "Desk <desk@example.org>",
                           "--header", "X-Priority: 1", "--header", "X-Tag: qelmail")
        self.assertOk(result)
        self.assertRegex(result.out, r"^sent \d+ bytes")
        for user in ("alice", "bob", "carol"):
            [message] = self.stored_messages(user)
            self.assertEqual(message["To"], ALICE)
            self.assertEqual(message["From"], FROM)
            self.assertEqual(message["CC"], BOB)
            self.assertEqual(message["Reply-To"], "Desk <desk@example.org>")
            self.assertEqual(message["Subject"], "Hello there")
            self.assertEqual((message["X-Priority"], message["X-Tag"]), ("1", "qelmail"))
            self.assertNotIn(b"carol", body_bytes(self.drop.stored(user)[0]))
            self.assertEqual(normalized(message.get_content()), "First line\nSecond line")

    def test_recipient_lists_and_repeated_options(self):
        self.assertOk(self.send("--from", FROM, "--to", ALICE + "," + BOB, "--to", CAROL, "--text", "x"))
        for user in ("alice", "bob", "carol"):
            self.assertEqual(len(self.drop.stored(user)), 1, user)
        self.assertIn(b"\r\nTo: " + (ALICE + "," + BOB + "," + CAROL).encode() + b"\r\n", self.drop.stored("bob")[0])
        # A quoted display name may hold a comma, in ASCII or not, with a
        # bare address after it in the same list.
        self.assertOk(self.send("--from", FROM, "--to", '"Doe, Alice" <alice@example.org>,bob@example.org',
                                "--cc", '"Müller, Carol" <carol@example.org>', "--text", "x"))
        for user in ("alice", "bob", "carol"):
            self.assertEqual(len(self.drop.stored(user)), 2, user)
        message = self.stored_messages("bob")[1]
        self.assertEqual([(a.display_name, a.addr_spec) for a in message["To"].addresses],
                         [("Doe, Alice", "alice@example.org"), ("", "bob@example.org")])
        self.assertEqual(message["Cc"].addresses[0].display_name, "Müller, Carol")

    def test_attachments_arrive_byte_identical(self):
        files = {
            "random.bin": os.urandom(150_001),
            "lines.txt": b"crlf\r\nlf only\n.leading dot\r\n\r\n",
            "single.bin": b"\x00",
        }
        paths = [self.write(name, data) for name, data in files.items()]
        attach = ["--attach", paths[0], "--attach", paths[1] + "|shown name.txt", "--attach", paths[2]]
        self.assertOk(self.send("--from", FROM, "--to", ALICE, "--subject", "files", "--text", "see attached",
                                *attach))
        [message] = self.stored_messages()
        parts = {part.get_filename(): part.get_content() for part in message.iter_attachments()}
        self.assertEqual(parts, {"random.bin": files["random.bin"], "shown name.txt": files["lines.txt"],
                                 "single.bin": files["single.bin"]})
        self.assertEqual(normalized(message.get_body(("plain",)).get_content()), "see attached")

    def test_html_with_inline_image_and_attachment(self):
        html = self.write("page.html", b'<html><body><p>Logo:</p><img src="cid:message-root.1"></body></html>\r\n')
        gif = os.path.join(DATA, "qel-logo.gif")
        png = os.path.join(DATA, "chart.png")
        self.assertOk(self.send("--from", FROM, "--to", ALICE, "--subject", "html", "--body-type", "html",
                                "--body-file", html, "--attach", gif, "--attach", png))
        [message] = self.stored_messages()
        self.assertEqual(message.get_content_type(), "multipart/related")
        self.assertEqual(normalized(message.get_body(("html",)).get_content()), normalized(read_file(html).decode()))
        parts = list(message.iter_parts())[1:]
        self.assertEqual([p.get_content_type() for p in parts], ["image/gif", "application/octet-stream"])
        self.assertEqual(parts[0]["Content-ID"], "<message-root.1>")
        self.assertEqual(parts[0].get_content_disposition(), "inline")
        self.assertEqual(parts[0].get_content(), read_file(gif))
        self.assertEqual((parts[1].get_filename(), parts[1].get_content()), ("chart.png", read_file(png)))

    def test_body_types(self):
        cases = [  # --body-type, extra options, content type of the text, quoted-printable
            ("plain", (), "text/plain", False),
            ("text", (), "text/plain", True),
            ("enriched", (), "text/enriched", True),
            ("iso8859", (), "text/plain", True),
            ("custom", ("--content-type", "Content-Type: text/markdown"), "text/markdown", True),
        ]
        text = "caf\u00e9 = 1 line that is long enough to be wrapped by the quoted-printable encoder, surely"
        for number, (body_type, extra, content_type, qp) in enumerate(cases):
            self.assertOk(self.send("--from", FROM, "--to", ALICE, "--subject", str(number), "--body-type",
                                    body_type, *extra, "--text", text if qp else "plain words"))
        messages = sorted(self.stored_messages(), key=lambda m: int(m["Subject"]))
        for (body_type, _, content_type, qp), message in zip(cases, messages):
            body = message.get_body(("plain", "enriched", "markdown")) or message
            self.assertEqual(body.get_content_type(), content_type, body_type)
            self.assertEqual(body["Content-Transfer-Encoding"] == "quoted-printable", qp, body_type)
        self.assertEqual(messages[3].get_body(("plain",)).get_content_charset(), "iso-8859-1")

    def test_utf8_by_default(self):
        name = "\u00dcberweisung f\u00fcr M\u00e4rz \u2013 \u4f60\u597d.bin"
        path = self.write("data.bin", b"\x00\x01 payload")
        subject = "Gr\u00fc\u00dfe \u2013 \u039a\u03b1\u03bb\u03b7\u03bc\u03ad\u03c1\u03b1 \u2013 \U0001f389"
        text = "H\u00e4llo W\u00f6rld \u2013 \u20ac 100\nhttps://example.org/" + "a" * 200 + "\n"
        self.assertOk(self.send("--from", "Zo\u00eb <sender@example.org>", "--to", "J\u00f6rg <alice@example.org>",
                                "--subject", subject, "--text", text, "--attach", path + "|" + name))
        self.assertOk(self.send("--from", FROM, "--to", ALICE, "--subject", "custom", "--body-type", "custom",
                                "--content-type", "text/markdown; charset=utf-8", "--text", "# caf\u00e9\n"))
        self.assertOk(self.send("--from", FROM, "--to", ALICE, "--subject", "none", "--charset", "none",
                                "--text", "caf\u00e9"))
        messages = {m["Subject"]: m for m in self.stored_messages()}
        message = messages[subject]
        self.assertEqual((message["From"].addresses[0].display_name, message["To"].addresses[0].display_name),
                         ("Zo\u00eb", "J\u00f6rg"))
        self.assertEqual(message.get_body(("plain",)).get_content().replace("\r\n", "\n"), text)
        [attachment] = message.iter_attachments()
        self.assertEqual((attachment.get_filename(), attachment.get_content()), (name, b"\x00\x01 payload"))
        for stored in self.drop.stored("alice"):
            self.assertLessEqual(max(len(line) for line in body_bytes(stored).split(b"\r\n")), 78)
        markdown = messages["custom"].get_body(("markdown",))
        self.assertEqual((markdown.get_content_type(), normalized(markdown.get_content())),
                         ("text/markdown", "# caf\u00e9"))
        # Without a charset the plain body goes as it always did.
        self.assertEqual(normalized(messages["none"].get_content()), "caf~~")

    def test_text_beginning_with_at_is_text(self):
        # The library takes "@path" for a file to read: the tool must not
        # mail a file that the user never named.
        secret = self.write("secret.txt", b"not for mailing\r\n")
        self.assertOk(self.send("--from", FROM, "--to", ALICE, "--text", "@" + secret))
        [message] = self.stored_messages()
        self.assertEqual(normalized(message.get_content()), "@" + secret)

    def test_body_from_stdin_and_from_file(self):
        body = b"from stdin\r\n.a dot line\r\nlast\r\n"
        result = qelmail("send", *self.smtp_args(), "--from", FROM, "--to", ALICE, "--subject", "stdin",
                         "--body-file", "-", stdin=body)
        self.assertOk(result)
        path = self.write("body.txt", b"from a file\n")
        self.assertOk(self.send("--from", FROM, "--to", ALICE, "--subject", "file", "--body-file", path))
        texts = {m["Subject"]: normalized(m.get_content()) for m in self.stored_messages()}
        self.assertEqual(texts, {"stdin": "from stdin\n.a dot line\nlast", "file": "from a file"})

    def test_log_file(self):
        log = os.path.join(self.drop.dir, "qel.log")
        self.assertOk(self.send("--from", FROM, "--to", ALICE, "--text", "logged", "--log", log))
        text = read_file(log)
        for expected in (b"*** qelSmtpConnect", b"*** qelSendEmail", b"MAIL FROM:<sender@example.org>",
                         b"RCPT TO:<alice@example.org>", b"QUIT"):
            self.assertIn(expected, text)

    def test_verify(self):
        result = qelmail("verify", *self.smtp_args(), "alice")
        self.assertOk(result)
        self.assertEqual(result.out, "alice\t252\t252 2.0.0 alice\n")
        result = qelmail("verify", *self.smtp_args(), "nobody", "bob")
        self.assertEqual(result.code, 1, result)
        lines = result.out.splitlines()
        self.assertEqual([l.split("\t")[:2] for l in lines], [["nobody", "550"], ["bob", "252"]])

    def test_sendmail_takes_recipients_from_the_header(self):
        header = (b'From: Sender <sender@example.org>\nTo: "Doe, Ann" <alice@example.org>,\n  bob@example.org (Bob)\n'
                  b"Cc: team: carol@example.org;\nBcc: <alice@example.org>,\n\t<carol@example.org>\n")
        body = b"Subject: cron\n\n.leading dot\nbare LF\rlone CR\r\n\xc3\xa9 8-bit\n"
        result = qelmail("sendmail", *self.smtp_args(), "-t", "-oi", stdin=header + body)
        self.assertOk(result)
        self.assertEqual(result.out, "")
        expected = header[:header.index(b"Bcc:")] + body
        expected = expected.replace(b"\r\n", b"\n").replace(b"\r", b"\n").replace(b"\n", b"\r\n")
        for user in ("alice", "bob", "carol"):
            [stored] = self.drop.stored(user)
            self.assertEqual(body_bytes(stored), expected, user)
            self.assertTrue(stored.startswith(b"Return-Path: <sender@example.org>"), stored[:60])

    def test_sendmail_through_a_link_with_arguments(self):
        link = os.path.join(self.drop.dir, "sendmail")
        os.symlink(os.path.abspath(os.environ["QELMAIL"]), link)
        message = b"Subject: args\nTo: nobody@example.org\n\nfirst\n.\nnot sent\n"
        result = qelmail_at(link, *self.smtp_args(), "-f", "sender@example.org", "-F", "Ann Sender",
                            "bob@example.org,carol@example.org", stdin=message)
        self.assertOk(result)
        for user in ("bob", "carol"):
            [stored] = self.drop.stored(user)
            self.assertTrue(stored.startswith(b"Return-Path: <sender@example.org>"), stored[:60])
            self.assertEqual(body_bytes(stored),
                             b"From: Ann Sender <sender@example.org>\r\nSubject: args\r\n"
                             b"To: nobody@example.org\r\n\r\nfirst\r\n")
        self.assertFails(qelmail_at(link, *self.smtp_args(), stdin=message), 64, "no recipients")
        self.assertFails(qelmail_at(link, "-X", "work", "bob@example.org", stdin=message), 64, "unknown")

    def test_send_prepared_message_file(self):
        message = b"From: <sender@example.org>\r\nTo: <alice@example.org>\r\nSubject: as is\r\n\r\nbody\r\n"
        path = self.write("ready.eml", message)
        result = self.send("--from", FROM, "--to", ALICE, "--bcc", CAROL, "--message", path)
        self.assertOk(result)
        for user in ("alice", "carol"):
            [stored] = self.drop.stored(user)
            self.assertEqual(body_bytes(stored), message)
        self.assertFails(self.send("--from", FROM, "--to", ALICE, "--subject", "x", "--message", path), 2, "--subject")

    def test_several_prepared_messages_over_one_connection(self):
        os.mkdir(os.path.join(self.drop.dir, "queue"))
        paths = [self.write(name, b"To: <%s@example.org>\r\nSubject: %s\r\n\r\nbody\r\n" % (user.encode(), name.encode()))
                 for name, user in (("queue/1.eml", "alice"), ("queue/2.eml", "nobody"), ("3.eml", "bob"))]
        # send: a directory and a file, all to --to; each message reported.
        result = self.send("--from", FROM, "--to", CAROL, "--message", os.path.dirname(paths[0]), "--message", paths[2])
        self.assertOk(result)
        self.assertEqual(result.out, "".join("sent %d bytes of message %s\n" % (len(read_file(p)), p) for p in paths))
        stored = self.drop.stored("carol")
        self.assertEqual(sorted(m.split(b"Subject: ")[1].split(b"\r\n")[0] for m in stored),
                         [b"3.eml", b"queue/1.eml", b"queue/2.eml"])
        ports = {re.search(rb"\(127\.0\.0\.1:(\d+)\)", m).group(1) for m in stored}
        self.assertEqual(len(ports), 1)
        # sendmail -t: the refused one is reported and the rest still go; the
        # exit code is the refusal's.
        result = qelmail("sendmail", *self.smtp_args(), "-t", "--message", os.path.dirname(paths[0]),
                         "--message", paths[2])
        self.assertFails(result, 65, "sending %s failed (-49): SMTP returned error. 550" % paths[1])
        self.assertEqual((len(self.drop.stored("alice")), len(self.drop.stored("bob"))), (1, 1))


class AuthTest(QelmailTestCase):
    OPTIONS = ("--require-auth",)

    def test_each_mechanism_the_library_speaks(self):
        for mechanisms in ("CRAM-MD5", "LOGIN", "LOGIN CRAM-MD5 PLAIN", "CRAM-MD5 LOGIN PLAIN"):
            drop = self.start("--require-auth", "--auth", mechanisms)
            result = self.send("--from", FROM, "--to", ALICE, "--subject", mechanisms, "--text", "x",
                               "--user", "bob", "--password", "hunter2", drop=drop)
            self.assertOk(result)
            self.assertEqual(len(drop.stored("alice")), 1, mechanisms)

    def test_refusals_carry_the_servers_reply(self):
        result = self.send("--from", FROM, "--to", ALICE, "--text", "x", "--user", "bob", "--password", "wrong")
        self.assertFails(result, 77, "connecting to 127.0.0.1 port %d failed (-49)" % self.drop.smtp_port, "535")
        result = self.send("--from", FROM, "--to", ALICE, "--text", "x")
        self.assertFails(result, 77, "sending failed (-49): SMTP returned error. 530")
        # The login is negotiated: PLAIN works as well as the others; a
        # mechanism forced with --auth that the server does not offer stops
        # the tool before anything is sent, and the text names the offer.
        for mechanisms in ("PLAIN", "PLAIN LOGIN CRAM-MD5"):
            drop = self.start("--auth", mechanisms)
            result = self.send("--from", FROM, "--to", ALICE, "--text", "x", "--user", "bob", "--password",
                               "hunter2", drop=drop)
            self.assertOk(result)
            self.assertEqual(len(drop.stored("alice")), 1, mechanisms)
            result = self.send("--from", FROM, "--to", ALICE, "--text", "x", "--user", "bob", "--password",
                               "hunter2", "--auth", "scram-sha-256", drop=drop)
            self.assertFails(result, 69, "(-120): No login mechanism in common with the server. (offered: "
                             + mechanisms + "; none of them allowed)")
            self.assertEqual(len(drop.stored("alice")), 1, mechanisms)
        # A token asks for OAUTHBEARER or XOAUTH2, which this server does not
        # offer.
        self.write("token", b"ya29.token\n")
        result = self.send("--from", FROM, "--to", ALICE, "--text", "x", "--user", "bob",
                           "--token-file", os.path.join(self.drop.dir, "token"), drop=drop)
        self.assertFails(result, 69, "a token needs OAUTHBEARER or XOAUTH2")
        self.assertEqual(self.drop.stored("alice"), [])

    def test_verify_after_login(self):
        self.assertFails(qelmail("verify", *self.smtp_args(), "alice"), 1)
        result = qelmail("verify", *self.smtp_args(), "--user", "carol", "--password", "pa:ss word", "alice")
        self.assertOk(result)
        self.assertTrue(result.out.startswith("alice\t252\t"), result)


def qelmail_at(path, *args, stdin=None):
    completed = subprocess.run([path, *args], input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               timeout=RUN_WAIT, env=environment())
    return Result(completed)


def body_bytes(stored):
    from harness import body_of
    return body_of(stored)


if __name__ == "__main__":
    main()
