#!/usr/bin/env python3
"""Checks a message the library sent, as Postfix delivered it, with Python's
own mail parser.

    check_message.py MESSAGE TEXT_TYPE TEXT [NAME=PATH ...]

MESSAGE    the delivered file in the Maildir
TEXT_TYPE  the content type the text part must have ("text/plain" ...);
           "none" for a message without MIME structure
TEXT       text the decoded text (or the whole body) must contain
NAME=PATH  an attachment named NAME whose decoded bytes must equal the file
           PATH, byte for byte; each must be there exactly once

Exit 0 when everything matches; otherwise 1 with the differences on stdout.
"""

import email
import email.policy
import sys


def main(argv):
    if len(argv) < 4:
        print(__doc__)
        return 2
    path, text_type, text = argv[1], argv[2], argv[3]
    expected = {}
    for item in argv[4:]:
        name, _, source = item.partition("=")
        with open(source, "rb") as f:
            expected[name] = f.read()

    with open(path, "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.default)
    problems = list(message.defects)

    if text_type == "none":
        if message.is_multipart():
            problems.append("message is multipart, expected a plain body")
        body = message.get_payload(decode=True).decode("latin-1")
        if text not in body:
            problems.append("body does not contain %r: %r" % (text, body[:200]))
    else:
        texts = []
        found = {}
        for part in message.walk():
            if part.is_multipart():
                continue
            problems.extend(part.defects)
            name = part.get_filename()
            if name is None:
                texts.append(part)
                continue
            if name in found:
                problems.append("attachment %s appears twice" % name)
            found[name] = part.get_payload(decode=True)
        if len(texts) != 1:
            problems.append("expected one text part, found %d" % len(texts))
        else:
            part = texts[0]
            if part.get_content_type() != text_type:
                problems.append("text part is %s, expected %s" % (part.get_content_type(), text_type))
            decoded = part.get_payload(decode=True).decode("latin-1")
            if text not in decoded:
                problems.append("text part does not contain %r: %r" % (text, decoded[:200]))
        for name, data in expected.items():
            if name not in found:
                problems.append("attachment %s missing" % name)
            elif found[name] != data:
                got = found[name]
                problems.append("attachment %s differs: %d bytes, expected %d" % (name, len(got), len(data)))
        for name in found:
            if name not in expected:
                problems.append("unexpected attachment %s" % name)

    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
