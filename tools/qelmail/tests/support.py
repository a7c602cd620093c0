"""Running qelmail in the tests.

QELMAIL names the program and QEL_MAILDROP the mail drop (CTest sets both);
the mail drop's own test harness (tools/maildrop/tests/harness.py) starts a
private mail drop per test.
"""

import atexit
import email
import email.policy
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "maildrop", "tests"))

from harness import SKIPPED, USERS, MailDrop, MailDropTestCase, body_of, main, read_file  # noqa: E402,F401

RUN_WAIT = 120  # seconds for one qelmail run
TIMEOUT_MS = "10000"


def program():
    path = os.environ.get("QELMAIL", "")
    if not path or not os.access(path, os.X_OK):
        raise SystemExit("QELMAIL must name the qelmail program")
    return path


class Result:
    def __init__(self, completed):
        self.code = completed.returncode
        self.out = completed.stdout.decode("utf-8", "replace")
        self.err = completed.stderr.decode("utf-8", "replace")

    def __repr__(self):
        return "exit %d\nstdout: %s\nstderr: %s" % (self.code, self.out, self.err)


# qelmail looks for a password in QELMAIL_PASSWORD and ~/.netrc: every run
# gets a home of its own without either, unless a test says otherwise.
EMPTY_HOME = tempfile.mkdtemp(prefix="qelmail-home-")
atexit.register(shutil.rmtree, EMPTY_HOME, True)


def environment(**extra):
    env = {k: v for k, v in os.environ.items() if k != "QELMAIL_PASSWORD"}
    env["HOME"] = EMPTY_HOME
    env.update(extra)
    return env


def qelmail(*args, stdin=None, cwd=None, env=None):
    """Runs qelmail with a bounded time and no terminal."""
    completed = subprocess.run([program(), *args], input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               timeout=RUN_WAIT, cwd=cwd, env=env or environment())
    return Result(completed)


def parse(message_bytes):
    return email.message_from_bytes(message_bytes, policy=email.policy.default)


def fetched_lines(out):
    """The 'message', 'attachment' and 'deleted' lines of qelmail fetch."""
    return [tuple(line.split("\t")) for line in out.splitlines() if line]


class LineServer:
    """A server on 127.0.0.1 for sessions one after another: it sends
    greeting(), then for each command line what answer(verb, argument)
    returns, and ends the session where ends(verb) says so (verb b""
    after the greeting). Every verb is kept in commands, every line as
    received in lines."""

    def __init__(self):
        self.commands, self.lines = [], []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def ends(self, verb):
        return verb == b"QUIT"

    def serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with conn, conn.makefile("rb") as reader:
                conn.settimeout(60)
                try:
                    conn.sendall(self.greeting())
                    for line in ([] if self.ends(b"") else reader):
                        self.lines.append(line.rstrip(b"\r\n"))
                        words = line.split() + [b"", b""]
                        self.commands.append(words[0].upper().decode())
                        conn.sendall(self.answer(words[0].upper(), words[1]))
                        if self.ends(words[0].upper()):
                            break
                except OSError:
                    pass

    def close(self):
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accept
        except OSError:
            pass
        self.listener.close()
        self.thread.join(30)


class ScriptedPop3(LineServer):
    """Serves `messages`, a list of (unique id, message bytes); ids may
    repeat, as with servers that take them from the message itself. Any login
    is taken; nothing is deleted. With half=True RETR sends half of the
    message and the session ends, or with stall=True it stays open and
    silent."""

    def __init__(self, messages, half=False, stall=False):
        self.messages, self.half, self.stall = messages, half or stall, stall
        super().__init__()

    def greeting(self):
        return b"+OK ready\r\n"

    def ends(self, verb):
        return verb == b"QUIT" or (verb == b"RETR" and self.half and not self.stall)

    def answer(self, verb, arg):
        listing = list(enumerate(self.messages, 1))
        if verb in (b"USER", b"PASS", b"QUIT"):
            return b"+OK\r\n"
        if verb == b"STAT":
            return b"+OK %d %d\r\n" % (len(listing), sum(len(m) for _, m in self.messages))
        if not 1 <= int(arg or b"1") <= len(listing):
            return b"-ERR no such message\r\n"
        if verb == b"LIST":
            return b"+OK %s %d\r\n" % (arg, len(self.messages[int(arg) - 1][1]))
        if verb == b"UIDL":
            return b"+OK\r\n" + b"".join(b"%d %s\r\n" % (n, u.encode()) for n, (u, _) in listing) + b".\r\n"
        if verb != b"RETR":
            return b"-ERR\r\n"
        message = self.messages[int(arg) - 1][1]
        if self.half:
            return b"+OK\r\n" + message[:len(message) // 2]
        stuffed = b"".join(b"." + l if l.startswith(b".") else l for l in message.splitlines(keepends=True))
        return b"+OK\r\n" + stuffed + b".\r\n"


class QelmailTestCase(MailDropTestCase):
    """A mail drop per test, and qelmail pointed at it."""

    def smtp_args(self, drop=None):
        drop = drop or self.drop
        return ["--server", "127.0.0.1", "--port", str(drop.smtp_port), "--timeout", TIMEOUT_MS]

    def pop3_args(self, user="alice", drop=None):
        drop = drop or self.drop
        return ["--server", "127.0.0.1", "--port", str(drop.pop3_port), "--timeout", TIMEOUT_MS,
                "--user", user, "--password", USERS[user]]

    def send(self, *args, drop=None):
        return qelmail("send", *self.smtp_args(drop), *args)

    def pop3(self, command, *args, user="alice", drop=None):
        return qelmail(command, *self.pop3_args(user, drop), *args)

    def assertOk(self, result):
        self.assertEqual(result.code, 0, result)

    def assertFails(self, result, code, *texts):
        self.assertEqual(result.code, code, result)
        for text in texts:
            self.assertIn(text, result.err, result)

    def write(self, name, data):
        path = os.path.join(self.drop.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def stored_messages(self, user="alice"):
        """The user's stored messages, parsed, without the lines the mail drop adds."""
        return [parse(body_of(m)) for m in self.drop.stored(user)]
