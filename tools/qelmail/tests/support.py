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
import subprocess
import sys
import tempfile

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
