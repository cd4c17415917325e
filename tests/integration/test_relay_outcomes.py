#!/usr/bin/python3
"""What the relay tells about each file, with the real binary: a quarantined file keeps its reason
in a file beside it (and a release leaves that file behind harmlessly), names are logged readable,
and a file still being written is waited for without flooding the log.

Needs DROPRELAY_BIN and DROPRELAY_SOURCE_DIR (set by CTest)."""

import os
import re
import stat
import unittest

from relay_harness import Relay, plain


def reason_file(path):
    with open(path, 'rb') as f:
        text = f.read().decode('utf-8')
    lines = text.split('\n')
    assert lines[-1] == '', text
    return dict(line.split('=', 1) for line in lines[:-1])


class QuarantineReasons(unittest.TestCase):
    def test_each_quarantined_file_keeps_its_reason_and_a_release_leaves_it_behind(self):
        relay = Relay(self, 'reasons')
        sink = relay.start_sink('--reject-rcpt', '550:bounce@corp.example')
        relay.configure()
        relay.put('счёт-318.eml', plain(b'bounce@example.net', 'refused'))
        relay.put('noto.eml', plain(None))
        os.mkfifo(os.path.join(relay.drop, 'fifo.eml'))
        run = relay.run()
        log = relay.log()
        self.assertEqual(run.returncode, 0, log)
        self.assertEqual(relay.listing('failed'), sorted([
            'fifo.eml', 'fifo.eml.reason', 'noto.eml', 'noto.eml.reason', 'счёт-318.eml', 'счёт-318.eml.reason']))
        # The file name is logged as readable text on every line, the first one included.
        self.assertIn('Найден файл счёт-318.eml', log)

        refused = reason_file(relay.path('failed', 'счёт-318.eml.reason'))
        self.assertEqual(sorted(refused), ['delivered', 'local_time', 'outcome', 'reason', 'reply', 'time'])
        self.assertEqual(refused['outcome'], 'refused')
        self.assertEqual(refused['reason'], 'сервер окончательно отказал в приеме')
        self.assertIn('550 5.1.1 <bounce@corp.example>', refused['reply'])
        self.assertRegex(refused['local_time'], r'^\d\d\.\d\d\.\d{4} \d{1,2}:\d\d:\d\d$')
        self.assertIn(refused['local_time'], log, 'the time of the quarantine line')
        self.assertRegex(refused['time'], r'^\d+$')
        mode = stat.S_IMODE(os.stat(relay.path('failed', 'счёт-318.eml.reason')).st_mode)
        self.assertEqual(mode, 0o640)
        for name, outcome, reason in (('noto.eml', 'no-recipient', 'нет адреса получателя'),
                                      ('fifo.eml', 'not-regular', 'не является обычным файлом')):
            record = reason_file(relay.path('failed', name + '.reason'))
            self.assertEqual((record['outcome'], record['reason']), (outcome, reason), name)
            self.assertNotIn('reply', record, 'no server was asked')

        # Released after the cause is fixed: sent, and the reason file stays behind unharmed.
        os.rename(relay.path('failed', 'noto.eml'), os.path.join(relay.drop, 'noto.eml'))
        with open(os.path.join(relay.drop, 'noto.eml'), 'r+b') as f:
            f.write(plain(b'fixed@example.net', 'fixed'))
        os.utime(os.path.join(relay.drop, 'noto.eml'), (1, 1))
        run = relay.run()
        self.assertEqual(run.returncode, 0, relay.log())
        self.assertEqual([m['subject'] for m in sink.messages()], ['fixed'])
        self.assertIn('noto.eml.reason', relay.listing('failed'))
        self.assertEqual(relay.listing('archive'), ['noto.eml'])

        # Quarantined again under the same name: a new name, and its own reason file.
        relay.put('счёт-318.eml', plain(b'bounce@example.net', 'refused again'))
        relay.run()
        self.assertIn('счёт-318.eml.1', relay.listing('failed'))
        self.assertEqual(reason_file(relay.path('failed', 'счёт-318.eml.1.reason'))['outcome'], 'refused')

    def test_a_broken_attachment_is_relayed_with_its_repair_logged(self):
        relay = Relay(self, 'cause')
        sink = relay.start_sink()
        relay.configure()
        broken = (b'From: a@example.net\r\nTo: x@example.net\r\nSubject: uu\r\nMIME-Version: 1.0\r\n'
                  b'Content-Type: multipart/mixed; boundary="b"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nhi\r\n'
                  b'--b\r\nContent-Type: application/octet-stream; name="a.bin"\r\n'
                  b'Content-Disposition: attachment; filename="a.bin"\r\nContent-Transfer-Encoding: x-uuencode\r\n\r\n'
                  b'begin 644 a.bin\r\n\x7f\x7f\x7f\x7f\r\nend\r\n--b--\r\n')
        relay.put('uu.eml', broken)
        run = relay.run()
        log = relay.log()
        self.assertEqual(run.returncode, 0, log)
        # Damaged mail is read as far as it goes: the repair is told, the message goes out.
        self.assertRegex(log, r'\d Письмо прочитано с исправлением: \S+')
        self.assertNotIn('Success', log, 'no stale process-wide error text')
        self.assertEqual(len(sink.messages()), 1, log)
        self.assertFalse(os.path.exists(relay.path('failed', 'uu.eml.reason')))


class SettlingFiles(unittest.TestCase):
    def test_a_file_still_being_written_is_waited_for_without_scanning_again(self):
        relay = Relay(self, 'settling')
        sink = relay.start_sink()
        # No pause between cycles: without a wait the relay would scan the folder hundreds of times.
        relay.configure(interval_ms=0)
        relay.put('fresh.eml', plain(b'someone@example.net', 'fresh'), age=0)
        run = relay.run(timeout=60)
        log = relay.log()
        self.assertEqual(run.returncode, 0, log)
        self.assertEqual(sink.count(), 1)
        scans = re.findall(r'Просмотр папки', log)
        self.assertEqual(len(scans), 2, 'the scan that waited and the one that found nothing more:\n' + log)


if __name__ == '__main__':
    unittest.main(verbosity=2)
