"""Starts qel-maildrop for one test and talks to it.

QEL_MAILDROP names the program (CTest sets it). Every MailDrop runs in its
own temporary directory on ephemeral ports of 127.0.0.1 and is stopped with
SIGTERM by stop(), which also checks that it exited cleanly and left nothing
in any tmp/ folder.
"""

import os
import shutil
import signal
import smtplib
import poplib
import socket
import subprocess
import tempfile
import time
import unittest

TIMEOUT = 10          # seconds for every socket operation
START_WAIT = 10       # seconds for the ports file to appear
STOP_WAIT = 15        # seconds for the process to end after a signal
USERS = {"alice": "secret", "bob": "hunter2", "carol": "pa:ss word"}
SKIPPED = 77


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def program():
    path = os.environ.get("QEL_MAILDROP", "")
    if not path or not os.access(path, os.X_OK):
        raise SystemExit("QEL_MAILDROP must name the qel-maildrop program")
    return path


class MailDrop:
    def __init__(self, *options, users=None):
        self.dir = tempfile.mkdtemp(prefix="qel-maildrop-")
        self.root = os.path.join(self.dir, "maildir")
        self.ports_file = os.path.join(self.dir, "ports")
        self.log_path = os.path.join(self.dir, "log")
        users = USERS if users is None else users
        args = [program(), "--root", self.root, "--ports-file", self.ports_file]
        for name, password in users.items():
            args += ["--user", f"{name}:{password}"]
        args += list(options)
        # --listen ::1 puts both ports on the IPv6 loopback.
        self.host = "::1" if "::1" in options else "127.0.0.1"
        self.clients = []
        self.log = open(self.log_path, "wb")
        # Both streams go to the log: --quiet must keep it empty.
        self.process = subprocess.Popen(args, stdout=self.log, stderr=self.log)
        deadline = time.monotonic() + START_WAIT
        while not os.path.exists(self.ports_file):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise AssertionError("qel-maildrop did not start: " + self.log_text())
            time.sleep(0.02)
        with open(self.ports_file) as f:
            values = dict(line.split("=", 1) for line in f.read().split())
        self.smtp_port = int(values["SMTP_PORT"])
        self.pop3_port = int(values["POP3_PORT"])
        assert int(values["PID"]) == self.process.pid

    def log_text(self):
        self.log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self, signal_number=signal.SIGTERM):
        """Signals the mail drop and returns its exit code."""
        if self.process.poll() is None:
            self.process.send_signal(signal_number)
        try:
            return self.process.wait(STOP_WAIT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("qel-maildrop did not stop: " + self.log_text())

    def close(self):
        for client in self.clients:
            client.close()
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    # Clients.
    def smtp(self):
        return smtplib.SMTP(self.host, self.smtp_port, timeout=TIMEOUT)

    def pop3(self):
        return poplib.POP3(self.host, self.pop3_port, timeout=TIMEOUT)

    def raw_smtp(self):
        client = RawClient(self.smtp_port)
        self.clients.append(client)
        code, _ = client.reply()
        assert code == 220, code
        return client

    def raw_pop3(self, user=None):
        client = RawClient(self.pop3_port)
        self.clients.append(client)
        greeting = client.line()
        assert greeting.startswith(b"+OK"), greeting
        client.greeting = greeting
        if user is not None:
            assert client.command(b"USER " + user.encode()).startswith(b"+OK")
            assert client.command(b"PASS " + USERS[user].encode()).startswith(b"+OK")
        return client

    # The Maildir.
    def mailbox(self, user, folder="new"):
        return os.path.join(self.root, user, folder)

    def names(self, user, folder="new"):
        path = self.mailbox(user, folder)
        return sorted(os.listdir(path)) if os.path.isdir(path) else []

    def stored(self, user, folder="new"):
        """The contents of the user's messages in that folder, oldest name first."""
        return [read_file(os.path.join(self.mailbox(user, folder), n)) for n in self.names(user, folder)]

    def leftovers(self):
        """Files still in some tmp/ folder."""
        found = []
        if os.path.isdir(self.root):
            for user in os.listdir(self.root):
                found += self.names(user, "tmp")
        return found


class RawClient:
    """A plain socket with line reading, for byte-exact exchanges."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.buffer = b""

    def send(self, data):
        self.sock.sendall(data)

    def _more(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed by the server")
        self.buffer += chunk

    def line(self):
        while b"\r\n" not in self.buffer:
            self._more()
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def reply(self):
        """One SMTP reply: (code, [texts])."""
        texts = []
        while True:
            line = self.line()
            texts.append(line[4:])
            if line[3:4] != b"-":
                return int(line[:3]), texts

    def command(self, text):
        """Sends one POP3 or SMTP command line; returns the first reply line."""
        self.send(text + b"\r\n")
        return self.line()

    def smtp(self, text):
        self.send(text + b"\r\n")
        return self.reply()[0]

    def multiline(self):
        """The body of a POP3 multi-line answer exactly as sent, dots still stuffed."""
        while True:
            end = self.buffer.find(b"\r\n.\r\n")
            if self.buffer.startswith(b".\r\n"):
                self.buffer = self.buffer[3:]
                return b""
            if end >= 0:
                body, self.buffer = self.buffer[:end + 2], self.buffer[end + 5:]
                return body
            self._more()

    def closed(self):
        """True when the server has closed the connection (after any pending bytes)."""
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return True
                self.buffer += chunk
        except (ConnectionResetError, socket.timeout):
            return False

    def close(self):
        self.sock.close()


def unstuff(served):
    """A dot-stuffed POP3 body back to the message."""
    lines = served.split(b"\r\n")
    return b"\r\n".join(l[1:] if l.startswith(b".") else l for l in lines)


def stuff(message):
    """A message in CR LF form to its dot-stuffed POP3 form."""
    lines = message.split(b"\r\n")
    return b"\r\n".join(b"." + l if l.startswith(b".") else l for l in lines)


def to_crlf(data):
    """Every line end as CR LF, and the last line ended."""
    data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    return data if data.endswith(b"\r\n") or not data else data + b"\r\n"


def body_of(stored):
    """What follows the Return-Path and Received lines the mail drop adds."""
    assert stored.startswith(b"Return-Path: <"), stored[:80]
    received = stored.index(b"\r\nReceived: from ") + 2
    end = received
    while True:
        end = stored.index(b"\r\n", end) + 2
        if stored[end:end + 1] not in (b"\t", b" "):
            return stored[end:]


class MailDropTestCase(unittest.TestCase):
    """Gives each test a running mail drop (OPTIONS) and checks that it stops
    cleanly afterwards."""

    OPTIONS = ()

    def setUp(self):
        self.drop = self.start(*self.OPTIONS)

    def start(self, *options, users=None):
        drop = MailDrop(*options, users=users)
        self.addCleanup(self.finish, drop)
        return drop

    def finish(self, drop):
        try:
            if drop.process.poll() is None:
                self.assertEqual(drop.stop(), 0, drop.log_text())
            self.assertEqual(drop.leftovers(), [], "files left in tmp/")
        finally:
            drop.close()


def main():
    unittest.main(verbosity=2)
