#!/usr/bin/env python3
"""qel-maildrop as a process: loopback only (127.0.0.1, or ::1 with
--listen), several clients at once, idle time-outs, a clean stop on SIGTERM
and SIGINT, nothing printed with --quiet, start-up failures."""

import os
import signal
import socket
import subprocess
import tempfile
import threading

from harness import TIMEOUT, USERS, MailDropTestCase, RawClient, body_of, main, program


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


def listening_addresses(port, table_path="/proc/net/tcp"):
    """The local addresses of listening TCP sockets on port, from /proc/net/tcp."""
    found = []
    with open(table_path) as table:
        for row in table.readlines()[1:]:
            fields = row.split()
            address, port_hex = fields[1].split(":")
            if int(port_hex, 16) == port and fields[3] == "0A":
                found.append(address)
    return found


def free_ports(count):
    """Ports free a moment ago, all different (the probes are open together)."""
    probes = [socket.socket() for _ in range(count)]
    try:
        for probe in probes:
            probe.bind(("127.0.0.1", 0))
        return [probe.getsockname()[1] for probe in probes]
    finally:
        for probe in probes:
            probe.close()


class ServerTest(MailDropTestCase):
    def test_listens_on_loopback_only(self):
        for port in (self.drop.smtp_port, self.drop.pop3_port):
            self.assertEqual(listening_addresses(port), ["0100007F"], port)  # 127.0.0.1

    def test_ipv6_loopback_and_quiet(self):
        if not socket.has_ipv6 or not ipv6_loopback():
            self.skipTest("no IPv6 loopback here")
        drop = self.start("--listen", "::1", "--quiet")
        for port in (drop.smtp_port, drop.pop3_port):
            self.assertEqual(listening_addresses(port, "/proc/net/tcp6"), ["00000000000000000000000001000000"])
        with drop.smtp() as smtp:
            smtp.sendmail("a@x", ["alice@x"], b"Subject: six\r\n\r\nx\r\n")
        [stored] = drop.stored("alice")
        self.assertRegex(stored, rb"Received: from \S+ \(\[::1\]:\d+\)")
        self.assertEqual(drop.stop(), 0)
        self.assertEqual(drop.log_text(), "")

    def test_clients_at_once(self):
        # A slow sender stays in the middle of DATA while others come and go.
        slow = self.drop.raw_smtp()
        for command, code in [(b"HELO slow", 250), (b"MAIL FROM:<s@x>", 250), (b"RCPT TO:<alice@x>", 250),
                              (b"DATA", 354)]:
            self.assertEqual(slow.smtp(command), code)
        slow.send(b"Subject: slow\r\n\r\nfirst half\r\n")
        errors = []

        def send(number):
            try:
                with self.drop.smtp() as smtp:
                    smtp.sendmail("a@x", ["bob@x"], b"Subject: %d\r\n\r\nbody %d\r\n" % (number, number))
            except Exception as error:  # reported below, in the test's thread
                errors.append(error)

        threads = [threading.Thread(target=send, args=(n,)) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(TIMEOUT)
        self.assertEqual(errors, [])
        pop = self.drop.raw_pop3("bob")
        self.assertTrue(pop.command(b"STAT").startswith(b"+OK 8 "))
        slow.send(b"second half\r\n.\r\n")
        self.assertEqual(slow.reply()[0], 250)
        self.assertEqual([body_of(m) for m in self.drop.stored("alice")],
                         [b"Subject: slow\r\n\r\nfirst half\r\nsecond half\r\n"])
        self.assertEqual(sorted(body_of(m) for m in self.drop.stored("bob")),
                         sorted(b"Subject: %d\r\n\r\nbody %d\r\n" % (n, n) for n in range(8)))

    def test_sigterm_stops_cleanly(self):
        self.stop_with(signal.SIGTERM)

    def test_sigint_stops_cleanly(self):
        self.stop_with(signal.SIGINT)

    def stop_with(self, signal_number):
        with self.drop.smtp() as smtp:
            smtp.sendmail("a@x", ["alice@x"], b"Subject: kept\r\n\r\nx\r\n")
        idle = self.drop.raw_smtp()
        in_data = self.drop.raw_smtp()
        for command, code in [(b"HELO c", 250), (b"MAIL FROM:<a@x>", 250), (b"RCPT TO:<bob@x>", 250),
                              (b"DATA", 354)]:
            self.assertEqual(in_data.smtp(command), code)
        in_data.send(b"Subject: cut\r\n\r\nhalf")
        pop = self.drop.raw_pop3("alice")
        self.assertTrue(pop.command(b"DELE 1").startswith(b"+OK"))
        self.assertEqual(self.drop.stop(signal_number), 0, self.drop.log_text())
        self.assertEqual(idle.reply()[0], 421)
        self.assertEqual(in_data.reply()[0], 421)
        self.assertTrue(pop.line().startswith(b"-ERR"))
        for client in (idle, in_data, pop):
            self.assertTrue(client.closed())
        # No QUIT, no deletion; the cut message left nothing behind.
        self.assertEqual(len(self.drop.names("alice")), 1)
        self.assertEqual(self.drop.names("bob"), [])
        self.assertFalse(os.path.exists(self.drop.ports_file))
        with self.assertRaises(ConnectionRefusedError):
            RawClient(self.drop.smtp_port)


class IdleTimeoutTest(MailDropTestCase):
    OPTIONS = ("--timeout", "2")

    def test_idle_clients_are_dropped(self):
        smtp = self.drop.raw_smtp()
        stalled = self.drop.raw_smtp()
        for command, code in [(b"HELO c", 250), (b"MAIL FROM:<a@x>", 250), (b"RCPT TO:<alice@x>", 250),
                              (b"DATA", 354)]:
            self.assertEqual(stalled.smtp(command), code)
        stalled.send(b"Subject: stalled\r\n\r\npart")
        pop = self.drop.raw_pop3("alice")
        self.assertEqual(smtp.reply(), (421, [b"4.4.2 localhost Error: timeout exceeded"]))
        self.assertEqual(stalled.reply()[0], 421)
        self.assertTrue(pop.line().startswith(b"-ERR idle time-out"))
        for client in (smtp, stalled, pop):
            self.assertTrue(client.closed())
        self.assertEqual(self.drop.names("alice"), [])
        # The mailbox lock went with the session.
        self.assertTrue(self.drop.raw_pop3("alice").command(b"STAT").startswith(b"+OK 0 0"))


class StartTest(MailDropTestCase):
    def setUp(self):
        pass

    def run_program(self, *args):
        return subprocess.run([program(), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=TIMEOUT)

    def test_fixed_ports_and_help(self):
        smtp_port, pop3_port = free_ports(2)
        drop = self.start("--smtp-port", str(smtp_port), "--pop3-port", str(pop3_port))
        self.assertEqual((drop.smtp_port, drop.pop3_port), (smtp_port, pop3_port))
        with drop.smtp() as smtp:
            self.assertEqual(smtp.noop()[0], 250)
        help = self.run_program("--help")
        self.assertEqual(help.returncode, 0)
        self.assertIn(b"--ports-file", help.stdout)

    def test_start_failures(self):
        with tempfile.TemporaryDirectory() as work:
            blocker = os.path.join(work, "file")
            open(blocker, "w").close()
            with socket.socket() as busy:
                busy.bind(("127.0.0.1", 0))
                busy.listen()
                busy_port = str(busy.getsockname()[1])
                cases = [
                    ((), 2, b"--root"),
                    (("--root", work, "--user", "../x:pw"), 2, b"bad user entry"),
                    (("--root", work, "--users-file", os.path.join(work, "missing")), 2, b"users file"),
                    (("--root", work, "--smtp-port", busy_port), 1, b"cannot listen"),
                    (("--root", work, "--pop3-port", busy_port), 1, b"cannot listen"),
                    (("--root", os.path.join(blocker, "sub")), 1, b"cannot create"),
                    (("--root", work, "--ports-file", os.path.join(blocker, "ports")), 1, b"cannot write"),
                    (("--root", work, "--listen", "0.0.0.0"), 2, b"--listen wants 127.0.0.1 or ::1"),
                ]
                for args, code, message in cases:
                    result = self.run_program(*args)
                    self.assertEqual(result.returncode, code, args)
                    self.assertIn(message, result.stderr, args)

    def test_users_file(self):
        with tempfile.TemporaryDirectory() as work:
            users = os.path.join(work, "users")
            with open(users, "w") as f:
                f.write("# mailboxes\n\ndave:pass:word\r\n")
            drop = self.start("--users-file", users, users={})
            pop = drop.raw_pop3()
            pop.command(b"USER dave")
            self.assertTrue(pop.command(b"PASS pass:word").startswith(b"+OK dave has 0 messages"))


if __name__ == "__main__":
    main()
