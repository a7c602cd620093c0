#!/usr/bin/env python3
"""The C programs of README.md, built and run as written: each ```c block
is compiled as it stands against include/qel32.h and this build's
libqel32.so, and run against the loopback mail drop, which must hold what it
sent; the mailbox must come back into the directories the program makes.
The block for Windows is compiled with mingw-w64 when that is installed
(scripts/test-windows.sh runs it under Wine). QEL_SOURCE names the source
tree, QEL_LIBRARY_DIR the directory of libqel32.so."""

import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "maildrop", "tests"))

from harness import MailDropTestCase, body_of, main  # noqa: E402

RUN_WAIT = 120  # seconds
SOURCE = os.environ.get("QEL_SOURCE", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def readme_programs():
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        return re.findall(r"^```c\n(.*?)^```$", f.read(), re.S | re.M)


class ReadmeTest(MailDropTestCase):
    USERS = {"bob": "secret"}

    def setUp(self):
        self.drop = self.start(users=self.USERS)
        self.programs = readme_programs()
        self.assertEqual(len(self.programs), 3)

    def build(self, number, compiler, *extra):
        path = os.path.join(self.drop.dir, "readme%d.c" % number)
        with open(path, "w") as f:
            f.write(self.programs[number])
        out = os.path.join(self.drop.dir, "readme%d" % number)
        result = subprocess.run([compiler, "-std=c99", "-Wall", "-I", os.path.join(SOURCE, "include"), path,
                                 "-o", out, *extra], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=RUN_WAIT)
        self.assertEqual(result.returncode, 0, result.stdout.decode())
        return out

    def run_program(self, path, work, *args):
        env = dict(os.environ, LD_LIBRARY_PATH=os.environ["QEL_LIBRARY_DIR"])
        return subprocess.run([path, *args], cwd=work, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=RUN_WAIT)

    def linked(self, number):
        library = os.environ["QEL_LIBRARY_DIR"]
        return self.build(number, "cc", *os.environ.get("QEL_CFLAGS", "").split(), "-L", library, "-lqel32")

    def test_blocking_program_sends_and_fetches(self):
        program = self.linked(0)
        work = os.path.join(self.drop.dir, "blocking")
        os.mkdir(work)
        files = {"report.txt": b"The report.\r\n", "chart.png": os.urandom(3000), "data.csv": b"a,b\r\n1,2\r\n"}
        for name, data in files.items():
            with open(os.path.join(work, name), "wb") as f:
                f.write(data)
        ports = (str(self.drop.smtp_port), str(self.drop.pop3_port))
        result = self.run_program(program, work, "127.0.0.1", *ports)
        self.assertEqual((result.returncode, result.stdout), (0, b"1 messages in inbox/\n"), result.stderr)
        with open(os.path.join(work, "inbox", "1.eml"), "rb") as f:
            self.assertIn(b"Subject: Report", f.read())
        saved = sorted(os.listdir(os.path.join(work, "inbox", "files")))
        self.assertEqual(saved, ["chart.png", "figures.csv"])
        with open(os.path.join(work, "inbox", "files", "chart.png"), "rb") as f:
            self.assertEqual(f.read(), files["chart.png"])
        # The message stays on the server: the program deletes nothing.
        self.assertEqual(len(self.drop.stored("bob")) + len(self.drop.stored("bob", "cur")), 1)

    def test_driven_program_sends(self):
        program = self.linked(1)
        work = os.path.join(self.drop.dir, "driven")
        os.mkdir(work)
        data = os.urandom(200_000)
        for name, content in (("body.txt", b"Here it is.\r\n"), ("big.iso", data)):
            with open(os.path.join(work, name), "wb") as f:
                f.write(content)
        result = self.run_program(program, work, "127.0.0.1", str(self.drop.smtp_port))
        self.assertEqual((result.returncode, result.stdout), (0, b"sent\n"), result.stderr)
        self.assertIn(b"bytes sent", result.stderr)
        [stored] = self.drop.stored("bob")
        self.assertIn(b"Subject: Big file", body_of(stored))

    def test_windows_program_builds(self):
        compiler = shutil.which("i686-w64-mingw32-gcc")
        if compiler is None:
            self.skipTest("no mingw-w64 here")
        self.build(2, compiler)


if __name__ == "__main__":
    main()
