#!/usr/bin/env python3
"""Builds the decoder's end-to-end messages with Python's email package and
sends them through Postfix.

Usage: decoder_messages.py ENV_FILE OUT_DIR MARKER

Every message goes from carol to alice with the subject MARKER-NAME. For each
one OUT_DIR/NAME/ receives:
  attachments/   the attachment files as they were put into the message
  text           a line of the plain text part that must reach the message file
  names          the attachment file names in the order of the parts
The names of the messages, one a line, go to OUT_DIR/messages. Exit 0 when
Postfix accepted every message.
"""
import os
import smtplib
import sys
from email.message import EmailMessage

from env_file import load_env

TIMEOUT = 60  # seconds for every SMTP operation (the large message included)
LARGE = 5 * 1024 * 1024


def text_and_attachments():
    """Text and several attachments of random bytes, sizes around group
    and line boundaries."""
    msg = EmailMessage()
    text = "Three files are attached."
    msg.set_content(text + "\n")
    files = {
        "one.bin": os.urandom(1),
        "two.bin": os.urandom(2),
        "line.bin": os.urandom(57),
        "data.dat": os.urandom(1000),
        "report.pdf": os.urandom(100003),
    }
    for name, data in files.items():
        msg.add_attachment(data, maintype="application", subtype="octet-stream", filename=name)
    return msg, files, text


def large_attachment():
    msg = EmailMessage()
    text = "One large file."
    msg.set_content(text + "\n")
    files = {"large.bin": os.urandom(LARGE)}
    msg.add_attachment(files["large.bin"], maintype="application", subtype="octet-stream",
                       filename="large.bin")
    return msg, files, text


def html_with_inline_images():
    """Plain and HTML alternatives, nested in a mixed message with the
    images of the HTML as inline parts that carry a file name and a
    Content-ID, and one ordinary attachment."""
    msg = EmailMessage()
    text = "The plain text alternative."
    msg.set_content(text + "\n")
    msg.add_alternative('<html><body><p>The HTML alternative.</p>'
                        '<img src="cid:logo@qel.test"><img src="cid:photo@qel.test"></body></html>\n',
                        subtype="html")
    files = {
        "logo.png": os.urandom(3000),
        "photo.jpg": os.urandom(20000),
        "notes.zip": os.urandom(777),
    }
    msg.add_attachment(files["logo.png"], maintype="image", subtype="png", filename="logo.png",
                       disposition="inline", cid="<logo@qel.test>")
    msg.add_attachment(files["photo.jpg"], maintype="image", subtype="jpeg", filename="photo.jpg",
                       disposition="inline", cid="<photo@qel.test>")
    msg.add_attachment(files["notes.zip"], maintype="application", subtype="zip", filename="notes.zip")
    return msg, files, text


BUILDERS = [
    ("attachments", text_and_attachments),
    ("large", large_attachment),
    ("html", html_with_inline_images),
]


def main():
    env = load_env(sys.argv[1])
    out = sys.argv[2]
    marker = sys.argv[3]
    names = []
    client = smtplib.SMTP(env["SMTP_HOST"], int(env["SMTP_PORT"]), timeout=TIMEOUT)
    try:
        client.ehlo()
        client.login(env["CAROL_USER"], env["CAROL_PASSWORD"])
        for name, build in BUILDERS:
            msg, files, text = build()
            msg["Subject"] = "%s-%s" % (marker, name)
            msg["From"] = env["CAROL_ADDRESS"]
            msg["To"] = env["ALICE_ADDRESS"]
            folder = os.path.join(out, name, "attachments")
            os.makedirs(folder)
            for file_name, data in files.items():
                with open(os.path.join(folder, file_name), "wb") as f:
                    f.write(data)
            with open(os.path.join(out, name, "text"), "w") as f:
                f.write(text)
            with open(os.path.join(out, name, "names"), "w") as f:
                f.write(",".join(files))
            refused = client.send_message(msg, env["CAROL_ADDRESS"], [env["ALICE_ADDRESS"]])
            if refused:
                print("refused: %r" % refused, file=sys.stderr)
                return 1
            names.append(name)
    finally:
        client.quit()
    with open(os.path.join(out, "messages"), "w") as f:
        f.write("".join(n + "\n" for n in names))
    return 0


if __name__ == "__main__":
    sys.exit(main())
