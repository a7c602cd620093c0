#!/usr/bin/env python3
"""The corpus of the full MIME mode, checked against Python's email package.

Usage:
  corpus.py make DIR    writes DIR/NNN.eml, one message a file (CR LF lines)
  corpus.py check DIR   compares what the downloads left: DIR/NNN.txt (the
                        message file) and DIR/NNN/ (the saved files)

The messages: Python's own email test data (when the test suite is
installed), the same shapes built with the email package in every policy,
and hand-made messages in the shapes mail programs produce. For each message
the check walks Python's parse of it: the readable text parts must be in the
message file, every other leaf part must be a file whose bytes equal what
email decodes (message/rfc822 parts compared as parsed messages), under the
name email gives it, confined and made unique as the library does.
"""
import base64
import binascii
import email
import email.header
import email.policy
import os
import random
import re
import sys
from email.message import EmailMessage
from email.mime.application import MIMEApplication
from email.mime.image import MIMEImage
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

# Python test-data messages whose point is broken structure that email and
# the library read differently by design; each with the reason.
SKIPPED = {
    "msg_15.txt": "nested parts that reuse their parent's boundary: email and the library split them differently",
    "msg_39.txt": "nested parts that reuse their parent's boundary: email and the library split them differently",
}

DEVICES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"} | {f"COM{i}" for i in range(1, 10)} | {
    f"LPT{i}" for i in range(1, 10)}

EXTENSIONS = {
    "text/plain": "txt", "text/html": "html", "text/calendar": "ics", "text/csv": "csv", "text/xml": "xml",
    "text/rfc822-headers": "txt", "message/rfc822": "eml", "message/global": "eml",
    "message/delivery-status": "txt", "message/disposition-notification": "txt", "image/png": "png",
    "image/jpeg": "jpg", "image/gif": "gif", "image/bmp": "bmp", "image/tiff": "tif", "image/webp": "webp",
    "image/svg+xml": "svg", "audio/mpeg": "mp3", "audio/wav": "wav", "video/mp4": "mp4",
    "application/pdf": "pdf", "application/zip": "zip", "application/gzip": "gz", "application/json": "json",
    "application/xml": "xml", "application/msword": "doc", "application/pgp-signature": "asc",
    "application/pkcs7-signature": "p7s", "application/ics": "ics",
}

CRLF = email.policy.compat32.clone(linesep="\r\n")


def crlf(data):
    return re.sub(rb"\r?\n", b"\r\n", data)


# ---- the messages ----------------------------------------------------------

def blob(seed, size):
    return random.Random(seed).randbytes(size)


PNG = b"\x89PNG\r\n\x1a\n" + blob(1, 300)
JPEG = b"\xff\xd8\xff\xe0" + blob(2, 2000)
PDF = b"%PDF-1.4\n" + blob(3, 10000)

NAMES = ["report.pdf", "März.pdf", "Отчёт за март.pdf", "報告書.xlsx", "résumé très long " * 6 + ".txt"]


def html_with_images(policy):
    """HTML with inline images and attachments: mixed(related(alternative(
    plain, html), images), attachments)."""
    msg = EmailMessage(policy=policy)
    msg["Subject"] = "Bilder"
    msg.set_content("See the pictures.\n")
    msg.add_alternative("<p>See <img src='cid:one'> and <img src='cid:two'></p>\n", subtype="html")
    html = msg.get_payload()[1]
    html.add_related(PNG, "image", "png", cid="<one>")
    html.add_related(JPEG, "image", "jpeg", cid="<two>", filename="photo.jpg")
    msg.add_attachment(PDF, maintype="application", subtype="pdf", filename=NAMES[1])
    msg.add_attachment("Zeile eins\nZeile zwei mit ü\n", subtype="plain", filename="notes.txt")
    return msg


def forwarded(policy):
    inner = EmailMessage(policy=policy)
    inner["From"] = "ann@example.org"
    inner["Subject"] = "Original"
    inner.set_content("The original text.\n")
    inner.add_attachment(PNG, maintype="image", subtype="png", filename="inner.png")
    msg = EmailMessage(policy=policy)
    msg["Subject"] = "Fwd: Original"
    msg.set_content("Forwarding this.\n")
    msg.add_attachment(inner)
    return msg


def named_files(policy):
    """Names outside ASCII (RFC 2231 or 2047, as the policy writes them),
    duplicates, and names that must be confined."""
    msg = EmailMessage(policy=policy)
    msg["Subject"] = "Names"
    msg.set_content("Files.\n")
    for i, name in enumerate(NAMES + ["report.pdf", "REPORT.pdf", "../../etc/passwd", "con.txt", "a\\b:c.txt"]):
        msg.add_attachment(blob(10 + i, 100 + i), maintype="application", subtype="octet-stream", filename=name)
    msg.add_attachment(blob(30, 50), maintype="application", subtype="octet-stream")
    return msg


def alternative_related(policy):
    """alternative(plain, related(html, image)), quoted-printable text."""
    msg = EmailMessage(policy=policy)
    msg["Subject"] = "Apple style"
    msg.set_content("Grüße aus dem Süden, " + "lange Zeile " * 10 + "\n", cte="quoted-printable")
    msg.add_alternative("<p>Gr&uuml;&szlig;e</p><img src='cid:pic'>\n", subtype="html")
    msg.get_payload()[1].add_related(PNG, "image", "png", cid="<pic>", filename="pic.png")
    return msg


def classic_messages():
    """The same shapes through the compat32 classes."""
    outer = MIMEMultipart("mixed")
    outer["Subject"] = "classic"
    alt = MIMEMultipart("alternative")
    alt.attach(MIMEText("Plain text.\n", "plain", "iso-8859-1"))
    related = MIMEMultipart("related")
    related.attach(MIMEText("<p>Rich</p>\n", "html"))
    image = MIMEImage(PNG, "png")
    image.add_header("Content-ID", "<img1>")
    related.attach(image)
    alt.attach(related)
    outer.attach(alt)
    pdf = MIMEApplication(PDF, "pdf")
    pdf.add_header("Content-Disposition", "attachment", filename=("utf-8", "", "Отчёт.pdf"))
    outer.attach(pdf)
    quoted = MIMEText("Text attachment é\n" * 20, "plain", "utf-8")
    quoted.add_header("Content-Disposition", "attachment", filename="utf8.txt")
    outer.attach(quoted)
    return [outer]


def built_messages():
    policies = {"default": email.policy.default, "SMTP": email.policy.SMTP, "SMTPUTF8": email.policy.SMTPUTF8,
                "HTTP": email.policy.HTTP, "strict": email.policy.strict}
    for name, policy in policies.items():
        for shape in (html_with_images, forwarded, named_files, alternative_related):
            # HTTP folds nothing, which set_content cannot build with: its
            # messages are built by default and written out by HTTP.
            msg = shape(policy if policy.max_line_length else email.policy.default)
            yield f"{shape.__name__}-{name}", msg.as_bytes(policy=policy.clone(linesep="\r\n"))
    for i, msg in enumerate(classic_messages()):
        yield f"compat32-{i}", msg.as_bytes(policy=CRLF)


HAND_MADE = {
    # Outlook style: RFC 2047 words in quoted names, a parameter on the third
    # line of a folded field.
    "outlook": """From: Bob <bob@example.org>
Subject: =?utf-8?q?M=C3=A4rz?=
MIME-Version: 1.0
Content-Type: multipart/mixed;
\tboundary="_004_outer_"

--_004_outer_
Content-Type: multipart/related;
\tboundary="_003_related_";
\ttype="multipart/alternative"

--_003_related_
Content-Type: multipart/alternative;
\tboundary="_000_alt_"

--_000_alt_
Content-Type: text/plain; charset="iso-8859-1"
Content-Transfer-Encoding: quoted-printable

Gr=FC=DFe
--_000_alt_
Content-Type: text/html; charset="iso-8859-1"
Content-Transfer-Encoding: quoted-printable

<p>Gr=FC=DFe</p>
--_000_alt_--

--_003_related_
Content-Type: image/png; name="=?utf-8?q?M=C3=A4rz.png?="
Content-Description: =?utf-8?q?M=C3=A4rz.png?=
Content-Disposition: inline; filename="=?utf-8?q?M=C3=A4rz.png?="
Content-ID: <image001.png@01D>
Content-Transfer-Encoding: base64

iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk
YPhfDwAChwGA60e6kgAAAABJRU5ErkJggg==

--_003_related_--

--_004_outer_
Content-Type: application/pdf;
\tx-unix-mode=0644;
\tname="report.pdf"
Content-Transfer-Encoding: base64

JVBERi0xLjQKJcfsj6IKNSAwIG9iago8PC9MZW5ndGggNiAwIFIvRmlsdGVyIC9GbGF0ZURl
Y29kZT4+CnN0cmVhbQo=
--_004_outer_
Content-Type: text/plain; name="=?koi8-r?b?8NLJ18XU?="
Content-Disposition: attachment; filename*0*=utf-8''%D0%9F%D1%80%D0%B8;
 filename*1*=%D0%B2%D0%B5%D1%82;
 filename*2=".txt"
Content-Transfer-Encoding: 8bit

Привет
--_004_outer_--
""",
    # A Postfix bounce.
    "bounce": """Return-Path: <>
From: MAILER-DAEMON@mail.example.org (Mail Delivery System)
Subject: Undelivered Mail Returned to Sender
To: ann@example.org
Auto-Submitted: auto-replied
MIME-Version: 1.0
Content-Type: multipart/report; report-type=delivery-status;
\tboundary="3A1B2C3D4E.1700000000/mail.example.org"
Content-Transfer-Encoding: 8bit
Message-Id: <20231114000000.3A1B2C3D4E@mail.example.org>

This is a MIME-encapsulated message.

--3A1B2C3D4E.1700000000/mail.example.org
Content-Description: Notification
Content-Type: text/plain; charset=us-ascii

This is the mail system at host mail.example.org.

I'm sorry to have to inform you that your message could not
be delivered to one or more recipients.

<nobody@example.net>: host mx.example.net[192.0.2.1] said: 550 5.1.1
    <nobody@example.net>: Recipient address rejected: User unknown

--3A1B2C3D4E.1700000000/mail.example.org
Content-Description: Delivery report
Content-Type: message/delivery-status

Reporting-MTA: dns; mail.example.org
X-Postfix-Queue-ID: 3A1B2C3D4E
Arrival-Date: Tue, 14 Nov 2023 00:00:00 +0000 (UTC)

Final-Recipient: rfc822; nobody@example.net
Action: failed
Status: 5.1.1
Diagnostic-Code: smtp; 550 5.1.1 <nobody@example.net>: Recipient address
    rejected: User unknown

--3A1B2C3D4E.1700000000/mail.example.org
Content-Description: Undelivered Message
Content-Type: message/rfc822
Content-Transfer-Encoding: 8bit

From: ann@example.org
To: nobody@example.net
Subject: hello
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="inner"

--inner
Content-Type: text/plain

Hello.
--inner
Content-Type: application/octet-stream; name="data.bin"
Content-Transfer-Encoding: base64

AAECAwQFBgcICQ==
--inner--

--3A1B2C3D4E.1700000000/mail.example.org--
""",
    # Broken: no closing boundary, base64 cut short, a bad escape.
    "broken": """Subject: broken
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary=b1

--b1
Content-Type: text/plain
Content-Transfer-Encoding: quoted-printable

bad =ZZ escape and a soft=
 break
--b1
Content-Type: application/octet-stream; name=cut.bin
Content-Transfer-Encoding: base64

AAECAwQFBgcICQoLDA0ODxAREhMUFRYX
GBkaGxwdHh8gIS
""",
}


def uu_lines(data, backtick=False):
    lines = b"".join(binascii.b2a_uu(data[i:i + 45], backtick=backtick) for i in range(0, len(data), 45))
    return lines + binascii.b2a_uu(b"", backtick=backtick)


def uuencoded_messages():
    """Parts in the uuencode transfer encoding, as email decodes them: a
    note before the begin line, "`" for zero, a check character behind the
    groups, and a part without a begin line (kept as it came)."""
    data, zeros = blob(5, 1000), bytes(100) + blob(6, 50)
    lines = uu_lines(zeros, backtick=True).split(b"\n")
    lines[0] += b"Z"
    multipart = (b"Subject: uuencoded\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"uu\"\n\n"
                 b"--uu\nContent-Type: text/plain\n\nSee the files.\n"
                 b"--uu\nContent-Type: application/octet-stream; name=\"data.bin\"\n"
                 b"Content-Transfer-Encoding: x-uuencode\n\nbegin 644 data.bin\n" + uu_lines(data) + b"end\n"
                 b"--uu\nContent-Type: application/octet-stream\nContent-Disposition: attachment; filename=zeros.bin\n"
                 b"Content-Transfer-Encoding: UUENCODE\n\nA note before the data.\nbegin 600 zeros.bin\n" +
                 b"\n".join(lines) + b"end\n"
                 b"--uu\nContent-Type: text/plain; name=\"notes.txt\"\nContent-Transfer-Encoding: x-uue\n\n"
                 b"no begin line here\njust text\n--uu--\n")
    yield "uu-multipart", multipart
    yield "uu-single", (b"Subject: one part\nMIME-Version: 1.0\nContent-Type: application/octet-stream\n"
                        b"Content-Transfer-Encoding: x-uue\n\nbegin 644 a\n" + uu_lines(data[:100]) + b"end\n")


def charset_named_messages():
    """Names in the charsets mail uses: RFC 2047 words in B and in Q (split
    inside a character), and RFC 2231 values."""
    def word(charset, text, form="B"):
        data = text.encode(charset)
        if form == "B":
            return f"=?{charset}?B?{base64.b64encode(data).decode()}?="
        half = len(data) // 2 + 1
        q = ["".join(f"={b:02X}" for b in piece) for piece in (data[:half], data[half:])]
        return f"=?{charset}?Q?{q[0]}?= =?{charset}?q?{q[1]}?="

    def extended(charset, text):
        return f"{charset}''" + "".join(f"%{b:02X}" for b in text.encode(charset))

    parts = [f'name="{word("windows-1251", "файл.scr.xz")}"',
             f'name="{word("iso-2022-jp", "報告書.txt")}"',
             f'name="{word("shift_jis", "見積書.pdf", "Q")}"',
             f'name="{word("big5", "報告.doc")}"',
             f'name="{word("euc-kr", "보고서.hwp", "Q")}"',
             f'name="{word("ks_c_5601-1987", "사진.jpg")}"']
    dispositions = [f"filename*={extended('koi8-r', 'отчёт.txt')}",
                    f"filename*={extended('gb2312', '报告.xls')}",
                    f"filename*0*={extended('iso-8859-2', 'Żółć')}; filename*1=.txt"]
    body = "Subject: names\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=cs\n\n"
    body += "--cs\nContent-Type: text/plain\n\ntext\n"
    for i, param in enumerate(parts):
        body += f"--cs\nContent-Type: application/octet-stream; {param}\n\npart {i}\n"
    for i, param in enumerate(dispositions):
        body += f"--cs\nContent-Type: text/plain\nContent-Disposition: attachment; {param}\n\nfile {i}\n"
    yield "charset-names", (body + "--cs--\n").encode()


def test_data_messages():
    try:
        import test.test_email
    except ImportError:
        # Debian: libpython3.11-testsuite (scripts/install-deps.sh).
        if os.environ.get("CI") == "true":
            sys.exit("corpus.py: Python's email test data is not installed")
        print("corpus.py: without Python's email test data", file=sys.stderr)
        return
    folder = os.path.join(os.path.dirname(test.test_email.__file__), "data")
    for name in sorted(os.listdir(folder)):
        if name.startswith("msg_") and name.endswith(".txt") and name not in SKIPPED:
            with open(os.path.join(folder, name), "rb") as f:
                yield "python-" + name, f.read()


def all_messages():
    for name, data in HAND_MADE.items():
        yield "hand-" + name, data.encode()
    yield from built_messages()
    yield from uuencoded_messages()
    yield from charset_named_messages()
    yield from test_data_messages()


def make(folder):
    os.makedirs(folder, exist_ok=True)
    names = []
    for i, (name, data) in enumerate(all_messages(), 1):
        data = crlf(data)
        if not data.endswith(b"\r\n"):
            data += b"\r\n"
        with open(os.path.join(folder, f"{i:03}.eml"), "wb") as f:
            f.write(data)
        names.append(f"{i:03} {name}\n")
    with open(os.path.join(folder, "index"), "w") as f:
        f.writelines(names)


# ---- what the library must have made of each one --------------------------

def decoded_name(part):
    name = part.get_filename()
    if name is None:
        return None
    if "=?" in name:
        name = str(email.header.make_header(email.header.decode_header(name)))
    # Raw UTF-8 in a header (RFC 6532) comes out of compat32 escaped.
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def confined(name):
    """The library's confinement: the last component, control and reserved
    characters as "_", "noname" for nothing, "_" before a device name."""
    name = re.split(r"[\\/:]", name)[-1]
    name = re.sub(r'[\x00-\x1f\x7f*?<>|"]', "_", name)
    if name in ("", ".", ".."):
        return "noname"
    if name.split(".")[0].rstrip(" ").upper() in DEVICES:
        name = "_" + name
    return name


def fitted(name, room):
    """A name cut to room bytes of UTF-8, its extension kept when short."""
    data = name.encode()
    if len(data) <= room:
        return name
    dot = name.rfind(".")
    ext = name[dot:].encode() if dot > 0 else b""
    if len(ext) > 16 or len(ext) >= room:
        ext = b""
    return data[:room - len(ext)].decode("utf-8", "ignore") + ext.decode()


def numbered(name, number):
    dot = name.rfind(".")
    if dot <= 0:
        return f"{name} ({number})"
    return f"{name[:dot]} ({number}){name[dot:]}"


class Plan:
    def __init__(self, room):
        self.room = room  # bytes a name may take in the attachment directory
        self.leaves = 0
        self.texts = []
        self.files = []  # (name, part)
        self.taken = set()

    def take(self, name):
        if name.lower() in self.taken:
            number = 2
            while numbered(name, number).lower() in self.taken:
                number += 1
            name = numbered(name, number)
        self.taken.add(name.lower())
        return name

    def walk(self, part, readable=True):
        ctype = part.get_content_type()
        if ctype.startswith("multipart/") and part.is_multipart():
            kind = part.get_content_subtype()
            chosen = False
            for i, child in enumerate(part.get_payload()):
                child_type = child.get_content_type()
                if not readable:
                    child_readable = False
                elif kind == "alternative":
                    wanted = child_type in ("text/plain", "text/html") or child_type.startswith("multipart/")
                    child_readable = wanted and not chosen
                    chosen = chosen or wanted
                elif kind == "related":
                    child_readable = i == 0
                else:
                    child_readable = True
                self.walk(child, child_readable)
            return
        self.leaves += 1
        name = decoded_name(part)
        attachment = part.get_content_disposition() == "attachment"
        if readable and ctype in ("text/plain", "text/html") and not attachment and name is None:
            self.texts.append(part)
            return
        if name is not None and ctype == "message/rfc822" and not name.lower().endswith(".eml"):
            name += ".eml"
        if name is None:
            name = f"part-{self.leaves}.{EXTENSIONS.get(ctype, 'txt' if ctype.startswith('text/') else 'bin')}"
        self.files.append((self.take(confined(fitted(re.split(r"[\\/:]", name)[-1], self.room))), part))


def fields(block):
    return [(name, str(value)) for name, value in block.items()]


def parsed_blocks(data):
    blocks = re.split(rb"\r?\n\r?\n", data)
    return [fields(email.message_from_bytes(block, policy=email.policy.default)) for block in blocks if block.strip()]


def same_content(part, data):
    ctype = part.get_content_type()
    if ctype == "message/delivery-status":
        return [fields(block) for block in part.get_payload()] == parsed_blocks(data)
    if ctype.startswith("message/") and part.is_multipart():
        want = part.get_payload(0).as_bytes(policy=CRLF)
        got = email.message_from_bytes(data).as_bytes(policy=CRLF)
        return want.rstrip(b"\r\n") == got.rstrip(b"\r\n")
    return part.get_payload(decode=True) == data


def top_header(raw):
    """The message file's start: the top header lines as received, then an
    empty line (for a line of blanks, or where the header ran into the body)."""
    lines = raw.split(b"\r\n")
    header = []
    for line in lines:
        if not line.strip(b" \t") or not re.match(rb"[ \t]|From |[\x21-\x39\x3b-\x7e]+:", line):
            break
        header.append(line + b"\r\n")
    return b"".join(header) + (b"\r\n" if header or not lines[0].strip(b" \t") else b"")


def check_one(folder, number, label):
    with open(os.path.join(folder, f"{number}.eml"), "rb") as f:
        raw = f.read()
    saved_dir = os.path.join(folder, number)
    # The library's room for a name: a path of 128 bytes, less the
    # directory, its separator and room for a number prefix.
    plan = Plan(128 - len(os.fsencode(saved_dir)) - 12)
    plan.walk(email.message_from_bytes(raw, policy=email.policy.default))
    faults = []
    saved = {os.fsdecode(n) for n in os.listdir(saved_dir)}
    wanted = {name for name, _ in plan.files}
    if saved != wanted:
        faults.append(f"files {sorted(saved)} != {sorted(wanted)}")
    for name, part in plan.files:
        path = os.path.join(saved_dir, name)
        if os.path.exists(path):
            with open(path, "rb") as f:
                if not same_content(part, f.read()):
                    faults.append(f"bytes of {name} differ")
    with open(os.path.join(folder, f"{number}.txt"), "rb") as f:
        text = f.read()
    if not text.startswith(top_header(raw)):
        faults.append("message file does not begin with the header as received")
    for part in plan.texts:
        body = (part.get_payload(decode=True) or b"").strip()
        if crlf(body) not in text:
            faults.append(f"readable text missing: {body[:40]!r}")
    return [f"{number} {label}: {fault}" for fault in faults]


def check(folder):
    faults = []
    count = 0
    with open(os.path.join(folder, "index")) as f:
        for line in f:
            number, label = line.split()
            faults += check_one(folder, number, label)
            count += 1
    for fault in faults:
        print(fault)
    print(f"{count} messages, {len(faults)} faults")
    return 1 if faults or count == 0 else 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("make", "check"):
        sys.exit(__doc__)
    if sys.argv[1] == "make":
        make(sys.argv[2])
    else:
        sys.exit(check(sys.argv[2]))
