#!/usr/bin/python3
"""Parses one stored message with Python's email package and prints what a reader would see, one
field per line as NAME<TAB>HEX, the value's UTF-8 bytes in hexadecimal (so any text survives):

    mail_digest.py FILE.eml

Fields: from, to, cc, bcc (addresses joined by ", "), subject, body (the text/plain content),
attachments (their count), then attachment.N.filename, attachment.N.type, attachment.N.data (the
decoded bytes), and raw_headers_ascii ("1" when every raw header byte is printable ASCII, blank,
tab or part of a CR LF line end; "0" otherwise), defects (number of parser defects)."""

import email
import email.policy
import email.utils
import sys


def out(name, value):
    if isinstance(value, str):
        value = value.encode('utf-8', 'surrogateescape')
    print(name + '\t' + value.hex())


def main():
    raw = open(sys.argv[1], 'rb').read()
    message = email.message_from_bytes(raw, policy=email.policy.default)
    for name in ('from', 'to', 'cc', 'bcc'):
        values = message.get_all(name, [])
        out(name, ', '.join(a for _, a in email.utils.getaddresses([str(v) for v in values])))
    out('subject', str(message.get('subject', '')))
    body = message.get_body(preferencelist=('plain',))
    out('body', body.get_content() if body is not None else '')
    attachments = list(message.iter_attachments())
    out('attachments', str(len(attachments)))
    for i, part in enumerate(attachments):
        out(f'attachment.{i}.filename', part.get_filename() or '')
        out(f'attachment.{i}.type', part.get_content_type())
        out(f'attachment.{i}.data', part.get_payload(decode=True) or b'')
    head = raw.split(b'\r\n\r\n', 1)[0]
    ok = all(32 <= b < 127 or b in (9,) for b in head.replace(b'\r\n', b''))
    out('raw_headers_ascii', '1' if ok and b'\r' not in head.replace(b'\r\n', b'') and
        b'\n' not in head.replace(b'\r\n', b'') else '0')
    defects = len(message.defects) + sum(len(p.defects) for p in message.walk())
    out('defects', str(defects))


if __name__ == '__main__':
    main()
