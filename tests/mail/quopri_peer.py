#!/usr/bin/python3
"""Python's quoted-printable codecs as the independent peer of quoted_printable_peer_test.

Reads one case per line from the file named by argv[2], each a hexadecimal byte string (two for
"check": the original and its encoding by droprelay), and prints one answer per line:

  decode  quopri.decodestring of the text in hexadecimal, then "same" when
          email.quoprimime.body_decode agrees with it, else "-" (quoprimime works on "\\n" lines
          and strips blanks at line ends, so they are compared without those differences)
  encode  quopri.encodestring and email.quoprimime.body_encode of the bytes, in hexadecimal
  check   "ok" when droprelay's encoding decodes back to the original with both peers and keeps
          the RFC 2045 6.7 rules (lines of at most 76 characters, only printable ASCII, blanks
          and tabs never at a line's end, no bare CR or LF); else what is wrong
"""
import email.quoprimime
import quopri
import sys


def lf(data):
    return data.replace(b"\r\n", b"\n")


def lines_without_end_blanks(data):
    return [line.rstrip(b" \t") for line in lf(data).split(b"\n")]


def mime_decode(data):
    return email.quoprimime.body_decode(data.decode("latin-1")).encode("latin-1")


def decode(text):
    a = quopri.decodestring(text)
    b = mime_decode(text)
    same = lines_without_end_blanks(a) == lines_without_end_blanks(b)
    return (a.hex() or "=") + (" same" if same else " -")


def encode(data):
    a = quopri.encodestring(data)
    b = email.quoprimime.body_encode(data.decode("latin-1")).encode("latin-1")
    return (a.hex() or "=") + " " + (b.hex() or "=")


def check(original, encoded):
    if quopri.decodestring(encoded) != original:
        return "quopri decodes it differently"
    if mime_decode(encoded) != lf(original):
        return "email.quoprimime decodes it differently"
    for line in encoded.split(b"\r\n"):
        if len(line) > 76:
            return "line longer than 76: %r" % line
        if line.endswith(b" ") or line.endswith(b"\t"):
            return "blank at a line end: %r" % line
        for c in line:
            if c != 9 and not 32 <= c <= 126:
                return "byte %d in %r" % (c, line)
    return "ok"


def main():
    mode = sys.argv[1]
    with open(sys.argv[2]) as cases:
        for line in cases:
            fields = [bytes.fromhex(f) if f != "=" else b"" for f in line.split()]
            if mode == "decode":
                print(decode(fields[0] if fields else b""))
            elif mode == "encode":
                print(encode(fields[0] if fields else b""))
            else:
                print(check(fields[0], fields[1]))


if __name__ == "__main__":
    main()
