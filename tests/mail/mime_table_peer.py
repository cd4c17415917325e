#!/usr/bin/python3
"""Reads the inputs of a table test with Python's standard library, for the mail tests to compare.

Reads one case per line from the file named by argv[2], in hexadecimal ("=" for an empty one), and
prints one answer line per case.

  tree      the case is a stored message; the answer is the part tree as Python's email package
            builds it ("multipart/mixed[text/plain,application/pdf]"), then each leaf's decoded
            payload in hexadecimal ("=" for an empty one), in document order
  uudecode  the case is the data lines of a uuencoded block (CR LF separated, without the begin
            and end lines); each line is decoded on its own with binascii.a2b_uu as the uu module
            does (a line refused whole is tried again with only the characters its count needs,
            the uu module's way with encoders that add a character), until the first line refused
            both ways. The answer is the 1-based number of that line (0 when every line decodes)
            and the bytes decoded before it, in hexadecimal
"""
import binascii
import email
import sys


def shape(part):
    if part.is_multipart():
        return part.get_content_type() + "[" + ",".join(shape(sub) for sub in part.get_payload()) + "]"
    return part.get_content_type()


def leaves(part, out):
    if part.is_multipart():
        for sub in part.get_payload():
            leaves(sub, out)
    else:
        out.append(part.get_payload(decode=True) or b"")


def tree(data):
    message = email.message_from_bytes(data)
    found = []
    leaves(message, found)
    return " ".join([shape(message)] + [leaf.hex() or "=" for leaf in found])


def uudecode(data):
    decoded = b""
    for number, line in enumerate(data.split(b"\r\n"), 1):
        if not line:
            continue
        try:
            decoded += binascii.a2b_uu(line)
        except binascii.Error:
            try:
                decoded += binascii.a2b_uu(line[:(((line[0] - 32) & 63) * 4 + 5) // 3])
            except binascii.Error:
                return "%d %s" % (number, decoded.hex() or "=")
    return "0 " + (decoded.hex() or "=")


def main():
    answer = {"tree": tree, "uudecode": uudecode}[sys.argv[1]]
    with open(sys.argv[2]) as cases:
        for line in cases:
            field = line.strip()
            print(answer(b"" if field == "=" else bytes.fromhex(field)))


if __name__ == "__main__":
    main()
