#!/usr/bin/env python3
"""qel-maildrop's SMTP AUTH: PLAIN, LOGIN and CRAM-MD5 through smtplib, the
exchange's error paths on a raw socket, --require-auth and --auth."""

import base64
import hashlib
import hmac
import smtplib

from harness import USERS, MailDropTestCase, main

MECHANISMS = ("PLAIN", "LOGIN", "CRAM-MD5")


def b64(text):
    return base64.b64encode(text).decode("ascii").encode("ascii")


def authenticate(smtp, mechanism, user, password, initial_response_ok=True):
    smtp.user, smtp.password = user, password
    method = {"PLAIN": smtp.auth_plain, "LOGIN": smtp.auth_login, "CRAM-MD5": smtp.auth_cram_md5}[mechanism]
    return smtp.auth(mechanism, method, initial_response_ok=initial_response_ok)


class AuthTest(MailDropTestCase):
    def test_each_mechanism_with_and_without_initial_response(self):
        for mechanism in MECHANISMS:
            for initial in (True, False):
                for user in ("alice", "carol"):
                    with self.drop.smtp() as smtp:
                        smtp.ehlo()
                        self.assertIn("AUTH CRAM-MD5 LOGIN PLAIN", smtp.ehlo_resp.decode())
                        code, _ = authenticate(smtp, mechanism, user, USERS[user], initial)
                        self.assertEqual(code, 235, (mechanism, initial, user))
                        smtp.sendmail("a@x", ["bob@x"], b"Subject: " + mechanism.encode() + b"\r\n\r\nx\r\n")
        self.assertEqual(len(self.drop.names("bob")), 2 * 2 * len(MECHANISMS))

    def test_wrong_credentials_then_too_many(self):
        for mechanism in MECHANISMS:
            with self.drop.smtp() as smtp:
                smtp.ehlo()
                for user, password in (("alice", "wrong"), ("nobody", "secret")):
                    with self.assertRaises(smtplib.SMTPAuthenticationError, msg=(mechanism, user)) as failure:
                        authenticate(smtp, mechanism, user, password)
                    self.assertEqual(failure.exception.smtp_code, 535)
                # The third failure is followed by 421 and the end of the connection.
                with self.assertRaises(smtplib.SMTPAuthenticationError):
                    authenticate(smtp, mechanism, "alice", "Secret")
                self.assertEqual(smtp.getreply()[0], 421)
                with self.assertRaises(smtplib.SMTPServerDisconnected):
                    smtp.noop()

    def test_exchange_errors(self):
        client = self.drop.raw_smtp()
        dialogue = [
            (b"AUTH PLAIN", 503),           # before EHLO
            (b"EHLO c", 250),
            (b"AUTH", 501),
            (b"AUTH DIGEST-MD5", 504),
            (b"AUTH PLAIN !!!!", 501),
            (b"AUTH LOGIN", 334),
            (b"*", 501),                    # cancelled
            (b"AUTH LOGIN", 334),
            (b"not base64", 501),
            (b"AUTH CRAM-MD5 " + b64(b"alice x"), 501),  # no initial response allowed
            (b"AUTH PLAIN " + b64(b"alice\0alice\0secret"), 235),
            (b"AUTH PLAIN " + b64(b"\0alice\0secret"), 503),  # already authenticated
        ]
        for command, code in dialogue:
            self.assertEqual(client.smtp(command), code, command)
        # Acting for another user is refused; so is AUTH inside a transaction.
        client = self.drop.raw_smtp()
        self.assertEqual(client.smtp(b"EHLO c"), 250)
        self.assertEqual(client.smtp(b"AUTH PLAIN " + b64(b"bob\0alice\0secret")), 535)
        self.assertEqual(client.smtp(b"MAIL FROM:<a@x>"), 250)
        self.assertEqual(client.smtp(b"AUTH PLAIN " + b64(b"\0alice\0secret")), 503)

    def test_cram_md5_answer_to_this_challenge_only(self):
        client = self.drop.raw_smtp()
        self.assertEqual(client.smtp(b"EHLO c"), 250)
        challenges = []
        for _ in range(2):
            client.send(b"AUTH CRAM-MD5\r\n")
            code, [text] = client.reply()
            self.assertEqual(code, 334)
            challenges.append(base64.b64decode(text))
            self.assertRegex(challenges[-1], rb"^<\d+\.\d+\.\d+@localhost>$")
            if len(challenges) == 1:
                self.assertEqual(client.smtp(b"*"), 501)
        self.assertNotEqual(challenges[0], challenges[1])
        stale = hmac.new(b"secret", challenges[0], hashlib.md5).hexdigest().encode()
        self.assertEqual(client.smtp(b64(b"alice " + stale)), 535)
        client.send(b"AUTH CRAM-MD5\r\n")
        challenge = base64.b64decode(client.reply()[1][0])
        fresh = hmac.new(b"secret", challenge, hashlib.md5).hexdigest().upper().encode()
        self.assertEqual(client.smtp(b64(b"alice " + fresh)), 235)


class RequireAuthTest(MailDropTestCase):
    OPTIONS = ("--require-auth",)

    def test_mail_and_vrfy_need_auth(self):
        client = self.drop.raw_smtp()
        self.assertEqual(client.smtp(b"EHLO c"), 250)
        self.assertEqual(client.smtp(b"MAIL FROM:<a@x>"), 530)
        self.assertEqual(client.smtp(b"VRFY alice"), 530)
        self.assertEqual(client.smtp(b"NOOP"), 250)
        with self.drop.smtp() as smtp:
            smtp.login("bob", USERS["bob"])
            self.assertEqual(smtp.sendmail("bob@x", ["alice@x"], b"Subject: s\r\n\r\nx\r\n"), {})
            self.assertEqual(smtp.verify("alice")[0], 252)
        self.assertEqual(len(self.drop.names("alice")), 1)


class MechanismOrderTest(MailDropTestCase):
    OPTIONS = ("--auth", "LOGIN CRAM-MD5")

    def test_offers_only_what_was_asked_in_that_order(self):
        client = self.drop.raw_smtp()
        client.send(b"EHLO c\r\n")
        code, lines = client.reply()
        self.assertEqual(code, 250)
        self.assertIn(b"AUTH LOGIN CRAM-MD5", lines)
        self.assertEqual(client.smtp(b"AUTH PLAIN " + b64(b"\0alice\0secret")), 504)
        self.assertEqual(client.smtp(b"AUTH LOGIN " + b64(b"alice")), 334)
        self.assertEqual(client.smtp(b64(b"secret")), 235)


class NoUsersTest(MailDropTestCase):
    OPTIONS = ("--accept-all",)

    def setUp(self):
        self.drop = self.start(*self.OPTIONS, users={})

    def test_no_auth_offered_without_users(self):
        client = self.drop.raw_smtp()
        client.send(b"EHLO c\r\n")
        code, lines = client.reply()
        self.assertEqual(code, 250)
        self.assertFalse([l for l in lines if l.startswith(b"AUTH")])
        self.assertEqual(client.smtp(b"AUTH PLAIN " + b64(b"\0alice\0secret")), 503)
        with self.drop.smtp() as smtp:
            self.assertEqual(smtp.sendmail("a@x", ["dev@x"], b"Subject: sink\r\n\r\nx\r\n"), {})
        self.assertEqual(len(self.drop.names("dev")), 1)


if __name__ == "__main__":
    main()
