#!/usr/bin/python3
"""Damaged mail is relayed, not refused: the real droprelay binary against the recording SMTP server
with the damaged messages of tests/data/messages. A damaged uuencoded block is read as far as it
goes, the rest arriving as text, and the repair is logged; a detached signature standing among a list message's attachments is never
the attachment that is sent.

Needs DROPRELAY_BIN and DROPRELAY_SOURCE_DIR (set by CTest)."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from relay_harness import Relay, SOURCE  # noqa: E402

DATA = os.path.join(SOURCE, 'tests', 'data', 'messages')


def read(name):
    with open(os.path.join(DATA, name), 'rb') as f:
        return f.read()


class DamagedMail(unittest.TestCase):
    def test_each_damaged_kind_is_delivered_with_its_repair_logged(self):
        relay = Relay(self, 'damaged')
        sink = relay.start_sink()
        relay.configure()
        relay.put('uu.eml', read('own-uuencode-malformed-block.eml'))
        relay.put('signed.eml', read('own-list-flattened-pgp-signature.eml'), age=50)
        result = relay.run()
        log = relay.log()
        self.assertEqual(result.returncode, 0, log)
        self.assertEqual(relay.listing('drop'), [], log)
        messages = {m['Subject']: m for m in sink.messages()}
        self.assertEqual(sorted(messages), ['[team] minutes of Friday', 'report for the quarter'], log)

        uu = messages['report for the quarter']
        self.assertIn('i;b!o<f1e<bx@5&ae', uu.get_body(('plain',)).get_content(), 'the damaged rest as text')
        self.assertEqual([(a.get_filename(), a.get_content()) for a in uu.iter_attachments()],
                         [('report.txt', 'The report for the quarter: all figures are i')])
        self.assertIn('Письмо прочитано с исправлением: message: uuencoded block "report.txt" is damaged at line 14', log)

        signed = messages['[team] minutes of Friday']
        names = [part.get_filename() for part in signed.iter_attachments()]
        types = [part.get_content_type() for part in signed.iter_attachments()]
        self.assertNotIn('signature.asc', names)
        self.assertNotIn('application/pgp-signature', types)
        self.assertIn('Письмо прочитано с исправлением: message[1]: detached signature application/pgp-signature', log)


if __name__ == '__main__':
    unittest.main()
