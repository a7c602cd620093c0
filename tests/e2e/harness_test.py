#!/usr/bin/env python3
"""Checks the end-to-end mail servers with Python's own SMTP and POP3 clients.

Runs under CTest against one pair of servers started by servers.sh; the
environment variable QEL_E2E_ENV names its env file. What the library's own
end-to-end tests rely on is checked here first, with clients we did not
write: the greeting, the AUTH order of the EHLO reply, each SASL mechanism,
535 for a wrong password, VRFY answers, delivery into the Maildir with LF
line ends, POP3 with USER/PASS and APOP, the private mailboxes, and the size
limit.

Exit 77 (skipped) when the servers cannot run on this machine, unless CI is
set: then that is a failure.
"""

import os
import poplib
import re
import smtplib
import socket
import sys
import time
import unittest
import uuid

from env_file import load_env

SKIPPED = 77
TIMEOUT = 10            # seconds for every socket operation
DELIVERY_WAIT = 15      # seconds for Postfix to deliver an accepted message
LARGE_BYTES = 31 * 1024 * 1024
MECHANISMS = ("PLAIN", "LOGIN", "CRAM-MD5")


def under_ci():
    return os.environ.get("CI", "").lower() in ("true", "1", "yes")


ENV = {}


def user_keys():
    return [u.upper() for u in ENV["USERS"].split()]


def smtp():
    return smtplib.SMTP(ENV["SMTP_HOST"], int(ENV["SMTP_PORT"]), timeout=TIMEOUT)


def pop3():
    return poplib.POP3(ENV["POP3_HOST"], int(ENV["POP3_PORT"]), timeout=TIMEOUT)


def authenticate(client, mechanism, user, password):
    """AUTH with exactly `mechanism` (smtplib's login() would choose)."""
    client.user, client.password = user, password
    handler = {"PLAIN": client.auth_plain, "LOGIN": client.auth_login,
               "CRAM-MD5": client.auth_cram_md5}[mechanism]
    return client.auth(mechanism, handler, initial_response_ok=False)


def maildir_files(maildir):
    paths = []
    for sub in ("new", "cur"):
        d = os.path.join(maildir, sub)
        paths += [os.path.join(d, n) for n in sorted(os.listdir(d))]
    return paths


def wait_for_marker(maildir, marker, seconds=DELIVERY_WAIT):
    deadline = time.monotonic() + seconds
    while True:
        for path in maildir_files(maildir):
            try:
                with open(path, "rb") as f:
                    if marker.encode() in f.read():
                        return path
            except FileNotFoundError:
                pass  # moved from new/ to cur/ meanwhile
        if time.monotonic() > deadline:
            return None
        time.sleep(0.05)


def find_pop3_message(client, marker):
    """Number and lines of the message holding `marker`, or (None, None)."""
    for entry in client.list()[1]:
        number = int(entry.split()[0])
        try:
            lines = client.retr(number)[1]
        except poplib.error_proto as refused:
            # Another test's session on the same mailbox may have expunged
            # it since the listing; the message sought is never one of those.
            reply = refused.args[0] if refused.args else b""
            if isinstance(reply, bytes) and b"expunged" in reply.lower():
                continue
            raise
        if any(marker.encode() in line for line in lines):
            return number, lines
    return None, None


class Smtp(unittest.TestCase):
    def test_greeting_names_the_host(self):
        self.assertEqual(ENV["SMTP_GREETING"], "220 %s ESMTP Postfix" % ENV["SMTP_HOSTNAME"])
        with socket.create_connection((ENV["SMTP_HOST"], int(ENV["SMTP_PORT"])), TIMEOUT) as s:
            line = s.makefile("rb").readline()
        self.assertEqual(line, ("%s\r\n" % ENV["SMTP_GREETING"]).encode())

    def test_ehlo_offers_auth_in_dovecot_order(self):
        expected = " ".join(m.upper() for m in ENV["AUTH_MECHANISMS"].split() if m != "apop")
        with smtp() as client:
            code, _ = client.ehlo("client.qel.test")
            self.assertEqual(code, 250)
            self.assertEqual(client.esmtp_features["auth"].strip(), expected)
            self.assertGreaterEqual(int(client.esmtp_features["size"]), LARGE_BYTES * 4 // 3 + 65536)
        self.assertEqual(ENV["SMTP_AUTH_LINE"], "AUTH " + expected)

    def test_every_user_authenticates_with_every_mechanism(self):
        for key in user_keys():
            for mechanism in MECHANISMS:
                with self.subTest(user=key, mechanism=mechanism), smtp() as client:
                    client.ehlo()
                    code, _ = authenticate(client, mechanism, ENV[key + "_USER"], ENV[key + "_PASSWORD"])
                    self.assertEqual(code, 235)

    def test_wrong_password_gives_535(self):
        for mechanism in MECHANISMS:
            with self.subTest(mechanism=mechanism), smtp() as client:
                client.ehlo()
                with self.assertRaises(smtplib.SMTPAuthenticationError) as caught:
                    authenticate(client, mechanism, ENV["ALICE_USER"], ENV["ALICE_PASSWORD"] + "x")
                self.assertEqual(caught.exception.smtp_code, 535)
                # The session goes on: a second try with the right password works.
                code, _ = authenticate(client, mechanism, ENV["ALICE_USER"], ENV["ALICE_PASSWORD"])
                self.assertEqual(code, 235)

    def test_vrfy_answers(self):
        cases = [(ENV["ALICE_ADDRESS"], 252), (ENV["BOB_ADDRESS"], 252), (ENV["ALICE_USER"], 252),
                 (ENV["UNKNOWN_ADDRESS"], 550), (ENV["BOX_PREFIX"] + "x@" + ENV["MAIL_DOMAIN"], 550)]
        with smtp() as client:
            client.ehlo()
            for address, expected in cases:
                with self.subTest(address=address):
                    self.assertEqual(client.verify(address)[0], expected)

    def test_unknown_recipient_is_refused(self):
        with smtp() as client:
            client.ehlo()
            authenticate(client, "PLAIN", ENV["ALICE_USER"], ENV["ALICE_PASSWORD"])
            with self.assertRaises(smtplib.SMTPRecipientsRefused) as caught:
                client.sendmail(ENV["ALICE_ADDRESS"], [ENV["UNKNOWN_ADDRESS"]], b"Subject: x\r\n\r\nx\r\n")
            self.assertEqual(caught.exception.recipients[ENV["UNKNOWN_ADDRESS"]][0], 550)

    def test_mail_for_other_domains_is_refused(self):
        # The error transport makes Postfix refuse the recipient at once.
        outside = "someone@elsewhere.invalid"
        with smtp() as client:
            client.ehlo()
            authenticate(client, "PLAIN", ENV["CAROL_USER"], ENV["CAROL_PASSWORD"])
            with self.assertRaises(smtplib.SMTPRecipientsRefused) as caught:
                client.sendmail(ENV["CAROL_ADDRESS"], [outside], b"Subject: x\r\n\r\nnever leaves\r\n")
            code, text = caught.exception.recipients[outside]
            self.assertEqual(code, 550)
            self.assertIn(b"outbound mail is disabled in the test servers", text)


class RoundTrip(unittest.TestCase):
    """A message sent with the fixture's first AUTH mechanism, read back with POP3."""

    def setUp(self):
        self.marker = "qel-harness-" + uuid.uuid4().hex
        self.body = ("Subject: harness %s\r\nFrom: <%s>\r\nTo: <%s>\r\n\r\n"
                     ".a line that the client dot-stuffs\r\n..two dots\r\nlast line\r\n"
                     % (self.marker, ENV["CAROL_ADDRESS"], ENV["ALICE_ADDRESS"])).encode()
        first = ENV["AUTH_MECHANISMS"].split()[0].upper()
        with smtp() as client:
            client.ehlo()
            code, _ = authenticate(client, first, ENV["CAROL_USER"], ENV["CAROL_PASSWORD"])
            self.assertEqual(code, 235)
            refused = client.sendmail(ENV["CAROL_ADDRESS"], [ENV["ALICE_ADDRESS"], ENV["BOB_ADDRESS"]], self.body)
            self.assertEqual(refused, {})

    def test_delivered_with_lf_line_ends_and_read_back(self):
        path = wait_for_marker(ENV["ALICE_MAILDIR"], self.marker)
        self.assertIsNotNone(path, "no delivery to alice within %d s" % DELIVERY_WAIT)
        with open(path, "rb") as f:
            stored = f.read()
        self.assertNotIn(b"\r", stored)
        self.assertIn(b"Delivered-To: " + ENV["ALICE_ADDRESS"].encode() + b"\n", stored)
        self.assertTrue(stored.endswith(b"\n.a line that the client dot-stuffs\n..two dots\nlast line\n"))

        client = pop3()
        try:
            self.assertEqual(client.user(ENV["ALICE_USER"])[:3], b"+OK")
            self.assertEqual(client.pass_(ENV["ALICE_PASSWORD"])[:3], b"+OK")
            number, lines = find_pop3_message(client, self.marker)
            self.assertIsNotNone(number)
            # poplib removes the dot-stuffing; what is left is the file.
            self.assertEqual(b"\n".join(lines) + b"\n", stored)
            client.dele(number)
        finally:
            client.quit()
        # DELE took effect at QUIT.
        self.assertIsNone(wait_for_marker(ENV["ALICE_MAILDIR"], self.marker, seconds=0))

    def test_read_back_with_apop_when_on(self):
        self.assertIsNotNone(wait_for_marker(ENV["BOB_MAILDIR"], self.marker))
        client = pop3()
        try:
            welcome = client.getwelcome().decode()
            if ENV["APOP"] == "1":
                self.assertRegex(welcome, r"^\+OK Dovecot \(Debian\) ready\. <[^<>]+>$")
                self.assertEqual(client.apop(ENV["BOB_USER"], ENV["BOB_PASSWORD"])[:3], b"+OK")
            else:
                self.assertEqual(welcome, "+OK Dovecot (Debian) ready.")
                client.user(ENV["BOB_USER"])
                client.pass_(ENV["BOB_PASSWORD"])
            number, _ = find_pop3_message(client, self.marker)
            self.assertIsNotNone(number)
            self.assertEqual(client.uidl(number)[:3], b"+OK")
        finally:
            client.quit()


class Pop3(unittest.TestCase):
    def test_wrong_password_fails(self):
        for key in user_keys():
            with self.subTest(user=key):
                client = pop3()
                try:
                    client.user(ENV[key + "_USER"])
                    with self.assertRaises(poplib.error_proto) as caught:
                        client.pass_(ENV[key + "_PASSWORD"] + "x")
                    self.assertEqual(caught.exception.args[0], b"-ERR [AUTH] Authentication failed.")
                finally:
                    client.close()

    def test_apop_with_wrong_password_fails(self):
        if ENV["APOP"] != "1":
            self.skipTest("APOP is off on these servers")
        client = pop3()
        try:
            with self.assertRaises(poplib.error_proto):
                client.apop(ENV["ALICE_USER"], ENV["ALICE_PASSWORD"] + "x")
        finally:
            client.close()

    def test_list_of_a_missing_message_is_an_error(self):
        client = pop3()
        try:
            client.user(ENV["ALICE_USER"])
            client.pass_(ENV["ALICE_PASSWORD"])
            with self.assertRaises(poplib.error_proto) as caught:
                client.list(99)
            self.assertEqual(caught.exception.args[0], b"-ERR There's no message 99.")
        finally:
            client.quit()

    def test_private_box_serves_what_the_test_stored(self):
        login = ENV["BOX_PREFIX"] + "harness-" + uuid.uuid4().hex[:12]
        maildir = os.path.join(ENV["MAILBOX_ROOT"], login)
        uid, gid = int(ENV["MAIL_UID"]), int(ENV["MAIL_GID"])
        for d in (maildir, maildir + "/new", maildir + "/cur", maildir + "/tmp"):
            os.mkdir(d)
            os.chown(d, uid, gid)
        messages = [b"Subject: first\n\none\n", b"Subject: second\n\ntwo\n.\n"]
        for i, data in enumerate(messages):
            path = "%s/new/%d.harness%d.e2e" % (maildir, 1000000000 + i, i)
            with open(path, "wb") as f:
                f.write(data)
            os.chown(path, uid, gid)
        client = pop3()
        try:
            client.user(login)
            client.pass_(ENV["BOX_PASSWORD"])
            sizes = [len(m) + m.count(b"\n") for m in messages]   # counted with CR LF
            self.assertEqual(client.stat(), (2, sum(sizes)))
            for number, data in enumerate(messages, 1):
                self.assertEqual(b"\n".join(client.retr(number)[1]) + b"\n", data)
        finally:
            client.quit()
        client = pop3()
        try:
            client.user(login)
            with self.assertRaises(poplib.error_proto):
                client.pass_(ENV["BOX_PASSWORD"] + "x")
        finally:
            client.close()


class LargeMessage(unittest.TestCase):
    def test_thirty_megabytes_are_delivered(self):
        if ENV["QEL_E2E_NAME"] != "default":
            self.skipTest("checked on the default servers only")
        marker = "qel-large-" + uuid.uuid4().hex
        line = b"x" * 76 + b"\r\n"
        body = (b"Subject: " + marker.encode() + b"\r\n\r\n") + line * (LARGE_BYTES // len(line))
        with smtplib.SMTP(ENV["SMTP_HOST"], int(ENV["SMTP_PORT"]), timeout=120) as client:
            client.ehlo()
            authenticate(client, "LOGIN", ENV["BOB_USER"], ENV["BOB_PASSWORD"])
            self.assertEqual(client.sendmail(ENV["BOB_ADDRESS"], [ENV["CAROL_ADDRESS"]], body), {})
        path = wait_for_marker(ENV["CAROL_MAILDIR"], marker, seconds=60)
        self.assertIsNotNone(path)
        try:
            # Stored with LF line ends.
            self.assertGreater(os.path.getsize(path), (LARGE_BYTES // len(line)) * (len(line) - 1))
        finally:
            os.remove(path)


def main():
    path = os.environ.get("QEL_E2E_ENV", "")
    reason = None
    if not path:
        reason = "QEL_E2E_ENV is not set: run this through ctest"
    elif not os.path.exists(path):
        reason = "no env file %s: the servers were not started" % path
    else:
        ENV.update(load_env(path))
        if ENV.get("QEL_E2E_AVAILABLE") != "1":
            reason = "mail servers unavailable: " + ENV.get("QEL_E2E_REASON", "no reason given")
    if reason:
        if under_ci():
            print("FAILED under CI: " + reason, file=sys.stderr)
            return 1
        print("skipped: " + reason)
        return SKIPPED
    result = unittest.main(argv=[sys.argv[0], "-v"], exit=False).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
