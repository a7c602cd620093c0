#!/usr/bin/env python3
"""Checks a message sent with the charset setting, as Postfix delivered it,
with Python's email package.

    check_charset.py MESSAGE EXPECTED_JSON

EXPECTED_JSON holds "subject", "from", "to" and "cc" (lists of display
names), "text" (the text part, line ends as LF) and "attachments" (shown
name -> file whose bytes the part must hold).

Every header line the library wrote (top level and parts; Postfix's own
trace fields aside) must be at most 78 characters long, and no line of the
message over 998. Exit 0 when everything matches, else 1 with the
differences on stdout.
"""

import email
import email.policy
import json
import sys

# Fields Postfix adds in front of the message.
SERVER_FIELDS = ("received:", "return-path:", "delivered-to:")
FOLD_LIMIT = 78
HARD_LIMIT = 998


def header_lines(raw, boundary):
    """The lines of the top header and of every part header."""
    lines = raw.split(b"\r\n") if b"\r\n" in raw else raw.split(b"\n")
    out = []
    in_header = True
    server_field = False
    for line in lines:
        if in_header:
            if line == b"":
                in_header = False
                continue
            if not line[:1].isspace():
                server_field = line.lower().startswith(tuple(f.encode() for f in SERVER_FIELDS))
            if not server_field:
                out.append(line)
        elif boundary and line.startswith(b"--" + boundary.encode()) and not line.endswith(b"--"):
            in_header = True
            server_field = False
    return lines, out


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    with open(argv[1], "rb") as f:
        raw = f.read()
    with open(argv[2], encoding="utf-8") as f:
        expected = json.load(f)
    message = email.message_from_bytes(raw, policy=email.policy.default)
    problems = [str(d) for d in message.defects]

    if str(message["subject"]) != expected["subject"]:
        problems.append("subject %r, expected %r" % (str(message["subject"]), expected["subject"]))
    for field in ("from", "to", "cc"):
        names = [a.display_name for a in message[field].addresses] if message[field] else []
        if names != expected[field]:
            problems.append("%s names %r, expected %r" % (field, names, expected[field]))

    texts, found = [], {}
    for part in message.walk():
        if part.is_multipart():
            continue
        problems.extend(str(d) for d in part.defects)
        name = part.get_filename()
        if name is None:
            texts.append(part)
        else:
            found[name] = part.get_payload(decode=True)
    if len(texts) != 1:
        problems.append("expected one text part, found %d" % len(texts))
    elif texts[0].get_content().replace("\r\n", "\n") != expected["text"]:
        problems.append("text %r, expected %r" % (texts[0].get_content()[:300], expected["text"][:300]))
    for name, path in expected["attachments"].items():
        with open(path, "rb") as f:
            data = f.read()
        if found.get(name) != data:
            problems.append("attachment %r missing or different; names found: %r" % (name, list(found)))

    lines, headers = header_lines(raw, message.get_boundary())
    for line in headers:
        if len(line) > FOLD_LIMIT:
            problems.append("header line of %d characters: %r" % (len(line), line[:100]))
    for line in lines:
        if len(line) > HARD_LIMIT:
            problems.append("line of %d characters" % len(line))

    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
