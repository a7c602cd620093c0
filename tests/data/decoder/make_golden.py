#!/usr/bin/env python3
"""Writes the decoder's golden cases into this folder.

Each case is a folder holding:
  input.eml      the message as the server holds it (CR LF line ends); the
                 test server dot-stuffs it for RETR
  options        settings for the download, one "name value" per line
                 (numberNames, saveUnnamed, omitSavedNote, attachSeparator,
                 downloads: how many times the message is downloaded on the
                 same channel)
  expected.mail  the message file after the (last) download; @ATTACH@ stands
                 for the attachment directory
  expected.saved savedNames on its first line, savedCount on its second
  expected/      the attachment files, byte for byte (nothing else may be
                 in the attachment directory)

The expected message files are written out here by hand from the decoder's
rules; attachment files are the bytes the test message was encoded from.
Run it again after changing a case: python3 make_golden.py
"""
import base64
import os
import quopri
import random
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))


def crlf(text):
    """Text with LF line ends as bytes with CR LF line ends (latin-1)."""
    return text.replace("\n", "\r\n").encode("latin-1")


def b64lines(data, width=76):
    encoded = base64.b64encode(data).decode("ascii")
    return "".join(encoded[i:i + width] + "\n" for i in range(0, len(encoded), width))


def random_bytes(seed, count):
    return random.Random(seed).randbytes(count)


def note(name):
    return '[Attachment saved to "@ATTACH@/%s"]\n' % name


def write_case(name, message, mail, files=None, saved=("", 0), options=None):
    folder = os.path.join(HERE, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "expected"))
    with open(os.path.join(folder, "input.eml"), "wb") as out:
        out.write(message if isinstance(message, bytes) else crlf(message))
    with open(os.path.join(folder, "expected.mail"), "wb") as out:
        out.write(mail if isinstance(mail, bytes) else crlf(mail))
    with open(os.path.join(folder, "expected.saved"), "wb") as out:
        out.write(("%s\n%d\n" % saved).encode("latin-1"))
    with open(os.path.join(folder, "options"), "w") as out:
        for key, value in (options or {}).items():
            out.write("%s %s\n" % (key, value))
    for file_name, data in (files or {}).items():
        with open(os.path.join(folder, "expected", file_name), "wb") as out:
            out.write(data)
    # Git keeps empty folders only with a file in them.
    if not files:
        open(os.path.join(folder, "expected", ".keep"), "w").close()


def worked_example():
    data = random_bytes(1, 45)
    write_case(
        "worked_example",
        "Received: from mx.example.org by pop.example.org; Mon, 4 Dec 2000 10:00:00 +0100\n"
        "From: Alice <alice@example.org>\n"
        "Subject: =?iso-8859-1?q?Caf=E9?= menu\n"
        "MIME-Version: 1.0\n"
        'Content-Type: multipart/mixed; boundary="XYZ"\n'
        "\n"
        "This is a multi-part message in MIME format.\n"
        "--XYZ\n"
        "Content-Type: text/plain\n"
        "Content-Transfer-Encoding: 7bit\n"
        "\n"
        "Hello Bob.\n"
        "--XYZ\n"
        'Content-Type: application/octet-stream; name="a.bin"\n'
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64lines(data) + "--XYZ--\n",
        "Received: from mx.example.org by pop.example.org; Mon, 4 Dec 2000 10:00:00 +0100\n"
        "From: Alice <alice@example.org>\n"
        "Subject: Caf\xe9 menu\n"
        "MIME-Version: 1.0\n"
        "\n"
        "Hello Bob.\n" + note("a.bin"),
        {"a.bin": data},
        ("a.bin", 1),
    )


def encoded_words():
    # No MIME-Version line: the decoder only decodes the ISO-8859-1 words of
    # Subject and From and joins the folded lines it looks at.
    from_line = "From: =?iso-8859-1?b?Q2Fyb2w=?= <carol@example.org>"
    decoded_from = "From: Carol <carol@example.org>"
    padded_from = decoded_from + " " * (len(from_line) - len(decoded_from))
    write_case(
        "encoded_words",
        "Return-Path: <carol@example.org>\n"
        + from_line + "\n"
        "To: bob@example.org\n"
        "Subject: =?iso-8859-1?q?Gr=FC=DFe?=\n"
        " =?iso-8859-1?q?aus_K=F6ln?=\n"
        "Date: Mon, 4 Dec 2000 10:00:00 +0100\n"
        "Content-Type: text/plain;\n"
        ' charset="iso-8859-1"\n'
        "\n"
        "Body line with =E9 left as it is.\n"
        "Second line.\n",
        "Return-Path: <carol@example.org>\n"
        + padded_from + "\n"
        "To: bob@example.org\n"
        "Subject: Gr\xfc\xdfeaus_K\xf6ln\n"
        "Date: Mon, 4 Dec 2000 10:00:00 +0100\n"
        'Content-Type: text/plain;charset="iso-8859-1"\n'
        "\n"
        "Body line with =E9 left as it is.\n"
        "Second line.\n",
    )


def single_part_qp():
    write_case(
        "single_part_qp",
        "From: dave@example.org\n"
        "MIME-Version: 1.0\n"
        "Subject: =?iso-8859-1?q?caf=E9?=\n"
        "To: bob@example.org,\n"
        " carol@example.org\n"
        "Date: Mon, 4 Dec 2000 10:00:00 +0100\n"
        "Received: from a by b;\n"
        "\tMon, 4 Dec 2000 10:00:00 +0100\n"
        'Content-Type: text/plain; charset="iso-8859-1"\n'
        "Content-Transfer-Encoding: quoted-printable\n"
        "X-Mailer: test\n"
        "\n"
        "Caf=E9 au lait =3D good.\n"
        "A soft=\n"
        " break joins these.\n"
        "Last line.\n",
        "From: dave@example.org\n"
        "MIME-Version: 1.0\n"
        "Subject: =?iso-8859-1?q?caf=E9?=\n"
        "To: bob@example.org,\n"
        " carol@example.org\n"
        "\n"
        "Caf\xe9 au lait = good.\n"
        "A soft break joins these.\n"
        "Last line.\n",
    )


def multipart_base64():
    # Content-Type name and Content-Disposition filename both given: the file
    # is created twice under the one name.
    data = random_bytes(2, 2000)
    write_case(
        "multipart_base64",
        "From: erin@example.org\n"
        "To: bob@example.org\n"
        "Subject: Report\n"
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed;\n"
        '\tboundary="----=_Part_0_12345"\n'
        "\n"
        "------=_Part_0_12345\n"
        "Content-Type: text/plain; charset=us-ascii\n"
        "Content-Transfer-Encoding: 7bit\n"
        "\n"
        "Please find the report attached.\n"
        "..\n"
        "... a line that began with two dots\n"
        "\n"
        "Regards\n"
        "------=_Part_0_12345\n"
        'Content-Type: application/pdf; name="report.pdf"\n'
        "Content-Transfer-Encoding: base64\n"
        'Content-Disposition: attachment; filename="report.pdf"\n'
        "\n" + b64lines(data) + "------=_Part_0_12345--\n",
        "From: erin@example.org\n"
        "To: bob@example.org\n"
        "Subject: Report\n"
        "MIME-Version: 1.0\n"
        "\n"
        "Please find the report attached.\n"
        "..\n"
        "... a line that began with two dots\n"
        "\n"
        "Regards\n" + note("report.pdf"),
        {"report.pdf": data},
        ("report.pdf", 1),
    )


def nested_alternative():
    image = random_bytes(3, 700)
    write_case(
        "nested_alternative",
        "From: frank@example.org\n"
        "Subject: Newsletter\n"
        "MIME-Version: 1.0\n"
        'Content-Type: multipart/mixed; boundary="outer"\n'
        "\n"
        "This is a multi-part message in MIME format.\n"
        "--outer\n"
        'Content-Type: multipart/alternative; boundary="inner"\n'
        "\n"
        "Alternative preamble line.\n"
        "--inner\n"
        "Content-Type: text/plain; charset=iso-8859-1\n"
        "Content-Transfer-Encoding: quoted-printable\n"
        "\n"
        "Plain text version =E9t=E9.\n"
        "--inner\n"
        "Content-Type: text/html; charset=iso-8859-1\n"
        "Content-Transfer-Encoding: quoted-printable\n"
        "\n"
        "<p>HTML version =E9t=E9.</p>\n"
        "--inner--\n"
        "\n"
        "--outer\n"
        'Content-Type: image/png; name="logo.png"\n'
        "Content-Transfer-Encoding: base64\n"
        'Content-Disposition: inline; filename="logo.png"\n'
        "\n" + b64lines(image) + "--outer--\n",
        "From: frank@example.org\n"
        "Subject: Newsletter\n"
        "MIME-Version: 1.0\n"
        "\n"
        "Alternative preamble line.\n"
        "Plain text version \xe9t\xe9.\n"
        "<p>HTML version \xe9t\xe9.</p>\n" + note("logo.png"),
        {"logo.png": image},
        ("logo.png", 1),
    )


def bare_inline():
    # An unquoted boundary ending its line; a bare "inline" base64 part is
    # decoded into the message file.
    text = b"Decoded inline text.\r\nSecond line.\r\n"
    write_case(
        "bare_inline",
        "From: grace@example.org\n"
        "Subject: Inline\n"
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=XYZ\n"
        "\n"
        "--XYZ\n"
        "Content-Type: text/plain\n"
        "Content-Transfer-Encoding: base64\n"
        "Content-Disposition: inline\n"
        "\n" + b64lines(text) + "--XYZ--\n",
        "From: grace@example.org\n"
        "Subject: Inline\n"
        "MIME-Version: 1.0\n"
        "\n"
        "Decoded inline text.\n"
        "Second line.\n",
    )


def eight_bit():
    write_case(
        "eight_bit",
        "From: heidi@example.org\n"
        "MIME-Version: 1.0\n"
        'Content-Type: multipart/mixed; boundary="b8"\n'
        "\n"
        "--b8\n"
        "Content-Type: text/plain; charset=iso-8859-1\n"
        "Content-Transfer-Encoding: 8bit\n"
        "\n"
        "Gr\xfc\xdfe in 8bit =3D.\n"
        "--b8\n"
        'Content-Type: text/plain; name="notes.txt"\n'
        "Content-Transfer-Encoding: 8bit\n"
        "\n"
        "Saved as it came: \xe9=3D\n"
        ".dot line\n"
        "--b8--\n",
        "From: heidi@example.org\n"
        "MIME-Version: 1.0\n"
        "\n"
        "Gr\xfc\xdfe in 8bit =3D.\n" + note("notes.txt"),
        {"notes.txt": crlf("Saved as it came: \xe9=3D\n.dot line\n")},
        ("notes.txt", 1),
    )


def embedded_message():
    # The header of an attached message is examined like a part header; its
    # body goes into the message file.
    write_case(
        "embedded_message",
        "From: ivan@example.org\n"
        "Subject: Fwd: hello\n"
        "MIME-Version: 1.0\n"
        'Content-Type: multipart/mixed; boundary="fwd"\n'
        "\n"
        "--fwd\n"
        "Content-Type: text/plain\n"
        "\n"
        "See the forwarded message.\n"
        "--fwd\n"
        "Content-Type: message/rfc822\n"
        "Content-Disposition: inline\n"
        "\n"
        "From: judy@example.org\n"
        "Subject: hello\n"
        "Content-Type: text/plain; charset=iso-8859-1\n"
        "Content-Transfer-Encoding: quoted-printable\n"
        "\n"
        "Inner body caf=E9.\n"
        "--fwd--\n",
        "From: ivan@example.org\n"
        "Subject: Fwd: hello\n"
        "MIME-Version: 1.0\n"
        "\n"
        "See the forwarded message.\n"
        "\n"
        "Inner body caf\xe9.\n",
    )


UNNAMED_DATA = random_bytes(4, 100)
UNNAMED_MESSAGE = (
    "From: kim@example.org\n"
    "MIME-Version: 1.0\n"
    'Content-Type: multipart/mixed; boundary="u"\n'
    "\n"
    "--u\n"
    "Content-Type: application/octet-stream\n"
    "Content-Transfer-Encoding: base64\n"
    "\n" + b64lines(UNNAMED_DATA) + "--u--\n"
)


def unnamed_parts():
    write_case(
        "unnamed_kept",
        UNNAMED_MESSAGE,
        "From: kim@example.org\n"
        "MIME-Version: 1.0\n"
        "\n" + b64lines(UNNAMED_DATA),
    )
    write_case(
        "unnamed_saved",
        UNNAMED_MESSAGE,
        "From: kim@example.org\n"
        "MIME-Version: 1.0\n"
        "\n" + note("incoming.mai"),
        {"incoming.mai": UNNAMED_DATA},
        ("incoming.mai", 1),
        {"saveUnnamed": 1},
    )
    data = random_bytes(5, 80)
    write_case(
        "single_part_unnamed",
        "From: leo@example.org\n"
        "MIME-Version: 1.0\n"
        "Content-Type: application/octet-stream\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64lines(data),
        "From: leo@example.org\n"
        "MIME-Version: 1.0\n"
        "\n" + note("noname"),
        {"noname": data},
        ("noname", 1),
        {"saveUnnamed": 1},
    )


def two_attachments(sender):
    first = b"first attachment\r\n"
    second = random_bytes(6, 150)
    message = (
        "From: %s@example.org\n"
        "MIME-Version: 1.0\n"
        'Content-Type: multipart/mixed; boundary="two"\n'
        "\n"
        "--two\n"
        "Content-Type: text/plain\n"
        "\n"
        "Two files.\n"
        "--two\n"
        'Content-Type: text/plain; name="a.txt"\n'
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64lines(first) + "--two\n"
        'Content-Type: application/octet-stream; name="b.bin"\n'
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64lines(second) + "--two--\n"
    ) % sender
    header = "From: %s@example.org\nMIME-Version: 1.0\n\nTwo files.\n" % sender
    return message, header, first, second


def saved_list_settings():
    message, header, first, second = two_attachments("olga")
    write_case(
        "number_names",
        message,
        header + note("3-a.txt") + note("4-b.bin"),
        {"1-a.txt": first, "2-b.bin": second, "3-a.txt": first, "4-b.bin": second},
        ("3-a.txt,4-b.bin", 2),
        {"numberNames": 1, "downloads": 2},
    )
    message, header, first, second = two_attachments("paul")
    write_case(
        "omit_saved_note",
        message,
        header,
        {"a.txt": first, "b.bin": second},
        ("a.txt,b.bin", 2),
        {"omitSavedNote": 1},
    )
    message, header, first, second = two_attachments("quinn")
    write_case(
        "attach_separator",
        message,
        header + note("a.txt") + note("b.bin"),
        {"a.txt": first, "b.bin": second},
        ("a.txt;b.bin", 2),
        {"attachSeparator": ";"},
    )


def saved_names_full():
    # Eleven names of 90 characters and their separators fill 1000 of the
    # 1024 bytes; a twelfth does not fit and is left out, a short one does.
    names = ["%02d" % i + "n" * 84 + ".dat" for i in range(12)] + ["last.txt"]
    parts = ""
    files = {}
    notes = ""
    for index, name in enumerate(names):
        data = ("part %d\r\n" % index).encode("ascii")
        files[name] = data
        notes += note(name)
        parts += (
            "--full\n"
            "Content-Type: application/octet-stream\n"
            "Content-Transfer-Encoding: base64\n"
            'Content-Disposition: attachment; filename="%s"\n'
            "\n" % name
        ) + b64lines(data)
    saved = ",".join(names[:11] + names[12:])
    write_case(
        "saved_names_full",
        "From: rita@example.org\n"
        "MIME-Version: 1.0\n"
        'Content-Type: multipart/mixed; boundary="full"\n'
        "\n" + parts + "--full--\n",
        "From: rita@example.org\n"
        "MIME-Version: 1.0\n"
        "\n" + notes,
        files,
        (saved, 13),
    )


def hostile_names():
    long_name = "L" * 300 + ".txt"
    cases = [
        ('filename="../../evil.txt"', "evil.txt"),
        ('filename="/etc/passwd"', "passwd"),
        ('filename="C:\\Windows\\win.ini"', "win.ini"),
        ('filename=".."', "noname"),
        ('filename="=?iso-8859-1?q?cr=0Dname.txt?="', "cr_name.txt"),
        ('filename="=?iso-8859-1?q?nul=00name.txt?="', "nul_name.txt"),
        ('filename="=?iso-8859-1?b?%s?="' % base64.b64encode(b"../../b64.txt").decode(), "b64.txt"),
        ('filename="%s"' % long_name, None),
    ]
    parts = ""
    files = {}
    mail = "From: mallet@example.org\nMIME-Version: 1.0\n\n"
    saved = []
    for index, (parameter, name) in enumerate(cases):
        data = ("hostile %d\r\n" % index).encode("ascii")
        encoded = b64lines(data)
        parts += (
            "--h\n"
            "Content-Type: application/octet-stream\n"
            "Content-Transfer-Encoding: base64\n"
            "Content-Disposition: attachment; %s\n"
            "\n" % parameter
        ) + encoded
        if name is None:
            # The path does not fit: the part stays in the message file.
            mail += encoded
        else:
            files[name] = data
            mail += note(name)
            saved.append(name)
    write_case(
        "hostile_names",
        "From: mallet@example.org\n"
        "MIME-Version: 1.0\n"
        'Content-Type: multipart/mixed; boundary="h"\n'
        "\n" + parts + "--h--\n",
        mail,
        files,
        (",".join(saved), len(saved)),
    )


def long_lines():
    # Lines longer than one read (1023 bytes) arrive in pieces.
    subject = "Subject: " + " ".join("word%04d" % i for i in range(170))
    binary = random_bytes(7, 3000)
    one_line = base64.b64encode(binary).decode("ascii")
    # An escape cut by the first piece's end, then a soft line break whose
    # "=" is the last byte of a piece.
    qp_first = "a" * 1021 + "=E9" + "b" * 600
    qp_second = "c" * 1022 + "="
    qp_text = b"a" * 1021 + b"\xe9" + b"b" * 600 + b"\r\n" + b"c" * 1022 + b"tail\r\n"
    text_line = "T" * 2500
    dot_line = "." + "D" * 1999
    padding = "p" * 1100
    far = b"far away\r\n"
    write_case(
        "long_lines",
        "From: nick@example.org\n"
        + subject + "\n"
        "MIME-Version: 1.0\n"
        'Content-Type: multipart/mixed; boundary="long"\n'
        "\n"
        "--long\n"
        'Content-Type: application/octet-stream; name="long.bin"\n'
        "Content-Transfer-Encoding: base64\n"
        "\n" + one_line + "\n"
        "--long\n"
        'Content-Type: text/plain; name="long.txt"\n'
        "Content-Transfer-Encoding: quoted-printable\n"
        "\n" + qp_first + "\n" + qp_second + "\ntail\n"
        "--long\n"
        "Content-Type: text/plain\n"
        "\n" + text_line + "\n" + dot_line + "\n"
        "--long\n"
        "Content-Type: application/octet-stream\n"
        "Content-Transfer-Encoding: base64\n"
        'Content-Disposition: attachment; x-pad="%s"; filename="far.txt"\n'
        "\n" % padding + b64lines(far) + "--long--\n",
        "From: nick@example.org\n"
        + subject + "\n"
        "MIME-Version: 1.0\n"
        "\n" + note("long.bin") + note("long.txt") + text_line + "\n" + dot_line + "\n" + note("far.txt"),
        {"long.bin": binary, "long.txt": qp_text, "far.txt": far},
        ("long.bin,long.txt,far.txt", 3),
    )
    assert quopri.decodestring(qp_first.encode() + b"\r\n" + qp_second.encode() + b"\r\ntail\r\n") == qp_text


def folded_part_headers():
    # A Content-Type line ending in ";" right before the transfer encoding:
    # the encoding is a field of its own and is taken.
    data = random_bytes(8, 120)
    write_case(
        "folded_part_headers",
        "From: nina@example.org\n"
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed;\n"
        ' boundary="cont"\n'
        "\n"
        "--cont\n"
        "Content-Type: application/octet-stream;\n"
        "Content-Transfer-Encoding: base64\n"
        "Content-Disposition: attachment;\n"
        '\tfilename="folded.bin"\n'
        "\n" + b64lines(data) + "--cont\n"
        "Content-Type: text/plain; charset=us-ascii;\n"
        " format=flowed\n"
        "Content-Transfer-Encoding: 7bit\n"
        "\n"
        "Text after folded headers.\n"
        "--cont--\n",
        "From: nina@example.org\n"
        "MIME-Version: 1.0\n"
        "\n" + note("folded.bin") + "Text after folded headers.\n",
        {"folded.bin": data},
        ("folded.bin", 1),
    )


def blank_header_ends():
    # Real mail: headers ended by a line of blanks or by the next boundary
    # line, and a last boundary line with characters behind its closing "--".
    data = random_bytes(16, 40)
    write_case(
        "blank_header_ends",
        "From: olga@example.org\n"
        "Subject: Spaces\n"
        "MIME-Version: 1.0\n"
        'Content-Type: multipart/mixed; boundary="sp"\n'
        " \n"
        "This is a multi-part message in MIME format.\n"
        "--sp\n"
        'Content-Type: application/octet-stream; name="empty.bin"\n'
        "Content-Transfer-Encoding: base64\n"
        "--sp\n"
        "Content-Type: text/plain\n"
        " \n"
        "Text of a part whose header ends with a space.\n"
        "--sp\n"
        'Content-Type: application/octet-stream; name="spaced.bin"\n'
        "Content-Transfer-Encoding: base64\n"
        "\t\n" + b64lines(data) + "--sp-->\n"
        "Epilogue junk.\n",
        "From: olga@example.org\n"
        "Subject: Spaces\n"
        "MIME-Version: 1.0\n"
        "\n"
        "Text of a part whose header ends with a space.\n" + note("spaced.bin"),
        {"spaced.bin": data},
        ("spaced.bin", 1),
    )


if __name__ == "__main__":
    worked_example()
    encoded_words()
    single_part_qp()
    multipart_base64()
    nested_alternative()
    bare_inline()
    eight_bit()
    embedded_message()
    unnamed_parts()
    saved_list_settings()
    saved_names_full()
    hostile_names()
    long_lines()
    folded_part_headers()
    blank_header_ends()
