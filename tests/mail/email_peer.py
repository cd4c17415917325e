#!/usr/bin/python3
"""Prints what Python's email package reads from one stored message, for real_messages_test.

One line per leaf part, in document order: its kind, then the media type, the name (Content-Type
"name"), the file name (Content-Disposition "filename") and the decoded content, each in
hexadecimal ("-" where there is none). Kind "leaf" is a leaf of the message itself. A message/*
part (a forwarded message, a digest entry) is kind "message" with the enclosed message written out
again, followed by the leaves Python parses inside it as kind "inner": the relay forwards such a
part as stored, so its content is one of these, depending on how the part was written. Names are bytes: RFC 2231 values percent-decoded and
RFC 2047 words decoded, the charset not applied (as the relay does).
"""
import email
import email.header
import sys


def as_bytes(value):
    if isinstance(value, tuple):  # RFC 2231: (charset, language, value as latin-1 bytes)
        return value[2].encode("latin-1", "surrogateescape")
    raw = value.encode("utf-8", "surrogateescape")
    if b"=?" not in raw:
        return raw
    pieces = email.header.decode_header(value)
    return b"".join(p if isinstance(p, bytes) else p.encode("latin-1", "surrogateescape") for p, _ in pieces)


def hexed(data):
    return "-" if data is None else (data.hex() or "=")


def param(part, name, header):
    value = part.get_param(name, header=header)
    return None if value is None else as_bytes(value)


def walk(part, out, kind="leaf"):
    if part.get_content_maintype() == "message" and part.is_multipart():
        enclosed = part.get_payload(0)
        out.append(("message", part.get_content_type(), param(part, "name", "content-type"),
                    param(part, "filename", "content-disposition"), enclosed.as_bytes()))
        walk(enclosed, out, "inner")
        return
    if part.is_multipart():
        for sub in part.get_payload():
            walk(sub, out, kind)
        return
    out.append((kind, part.get_content_type(), param(part, "name", "content-type"),
                param(part, "filename", "content-disposition"), part.get_payload(decode=True)))


def main():
    with open(sys.argv[1], "rb") as f:
        message = email.message_from_binary_file(f)
    leaves = []
    walk(message, leaves)
    for kind, ctype, name, filename, payload in leaves:
        print(kind, ctype, hexed(name), hexed(filename), hexed(payload))


if __name__ == "__main__":
    main()
