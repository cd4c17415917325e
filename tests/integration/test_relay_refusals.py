#!/usr/bin/python3
"""The real binary against a server and messages that fail on purpose: every message refused for
good is set aside in the quarantine folder with its reason while the run goes on and ends; a
temporary failure is deferred, the run ends with 75 and the file waits for its time.

Needs DROPRELAY_BIN and DROPRELAY_SOURCE_DIR (set by CTest)."""

import os
import random
import re
import socket
import unittest

from relay_harness import Relay, plain


class PermanentFailures(unittest.TestCase):
    def test_each_refused_message_is_quarantined_and_the_rest_delivered_once(self):
        relay = Relay(self, 'refusals')
        sink = relay.start_sink('--reject-rcpt', '550:bounce@corp.example')
        relay.configure()
        outside = relay.path('outside.eml')
        with open(outside, 'wb') as f:
            f.write(plain(b'secret@example.net', 'read through a link'))
        # The good message is listed among the bad ones; none of them may hold it up.
        bad = {
            'rcpt550.eml': plain(b'bounce@example.net'),
            'undisclosed.eml': plain(b'undisclosed-recipients:;'),
            'noto.eml': plain(None),
            'empty.eml': b'',
            'garbage.eml': bytes(random.Random(3).randrange(256) for _ in range(3000)),
            'nul.eml': plain(b'us\0er@example.net'),
            'percent.eml': plain(b'attacker%evil.test@example.net'),
            'bang.eml': plain(b'evil.test!attacker@example.net'),
        }
        for name, data in bad.items():
            relay.put(name, data)
        relay.put('good.eml', plain(b'good@example.net', 'the good one'))
        os.symlink(outside, os.path.join(relay.drop, 'link.eml'))
        os.mkfifo(os.path.join(relay.drop, 'fifo.eml'))

        run = relay.run(timeout=400)
        log = relay.log()
        self.assertEqual(run.returncode, 0, log)
        self.assertEqual(run.stdout, b'')
        # One line per reason on standard error, so cron mails what was set aside.
        self.assertEqual(sorted(run.stderr.decode().splitlines()), sorted([
            'droprelay: quarantined 1 file (rcpt550.eml): сервер окончательно отказал в приеме',
            'droprelay: quarantined 4 files (empty.eml, garbage.eml, noto.eml, undisclosed.eml): нет адреса получателя',
            'droprelay: quarantined 3 files (bang.eml, nul.eml, percent.eml): недопустимые символы в адресе получателя',
            'droprelay: quarantined 2 files (fifo.eml, link.eml): не является обычным файлом']))
        self.assertEqual(relay.listing('drop'), [], log)
        quarantined = list(bad) + ['link.eml', 'fifo.eml']
        self.assertEqual(relay.listing('failed'), sorted(quarantined + [n + '.reason' for n in quarantined]), log)
        self.assertEqual([m['subject'] for m in sink.messages()], ['the good one'])
        self.assertEqual(relay.listing('archive'), ['good.eml'])
        with open(outside, 'rb') as f:
            self.assertIn(b'read through a link', f.read(), 'the link target stays as it was')

        failed = relay.path('failed') + '/'
        reasons = dict(re.findall(r'Файл (\S+) перемещен в карантин ' + re.escape(failed) + r': (.+?)\r?$',
                                  log, re.M))
        self.assertEqual(reasons.get('rcpt550.eml'), 'сервер окончательно отказал в приеме')
        self.assertIn('Ошибка отправки сообщения "14" (550 5.1.1 <bounce@corp.example>', log)
        for name in ('undisclosed.eml', 'noto.eml', 'empty.eml', 'garbage.eml'):
            self.assertEqual(reasons.get(name), 'нет адреса получателя', name)
        for name in ('percent.eml', 'bang.eml', 'nul.eml'):
            self.assertEqual(reasons.get(name), 'недопустимые символы в адресе получателя', name)
        for name in ('link.eml', 'fifo.eml'):
            self.assertEqual(reasons.get(name), 'не является обычным файлом', name)
        self.assertTrue(log.rstrip().endswith('Завершение работы...'))

    def test_refused_data_and_refused_main_recipient_are_permanent(self):
        # (A refused copy address alone no longer holds the message back: test_submission_edges.)
        for option, copy_to in ((('--reject-data', '554'), ''),
                                (('--reject-rcpt', '550:someone@corp.example'), 'copy@corp.example')):
            with self.subTest(option=option):
                relay = Relay(self, 'refused')
                sink = relay.start_sink(*option)
                relay.configure(copy_to=copy_to)
                relay.put('m.eml', plain(b'someone@example.net'))
                run = relay.run()
                self.assertEqual(run.returncode, 0, relay.log())
                self.assertEqual(relay.listing('failed'), ['m.eml', 'm.eml.reason'])
                self.assertIn('m.eml перемещен в карантин', relay.log())
                self.assertEqual(sink.count(), 0)


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


class TemporaryFailures(unittest.TestCase):
    def test_4xx_is_deferred_and_the_run_ends_with_75(self):
        relay = Relay(self, 'deferred')
        sink = relay.start_sink('--reject-data', '451')
        relay.configure()
        relay.put('m.eml', plain(b'someone@example.net'))
        run = relay.run()
        log = relay.log()
        self.assertEqual(run.returncode, 75, log)
        self.assertEqual(run.stderr.decode(), 'droprelay: deferred 1 file (m.eml): сервер временно отказал в приеме\n')
        self.assertRegex(log, r'Файл m\.eml отложен до \S+ \S+ \(попытка 1\): сервер временно отказал в приеме')
        self.assertRegex(log, r'Файл m\.eml ожидает повторной попытки до \S+ \S+\r?\nНет новых файлов'
                         .replace(r'\r?\n', r'\r?\n\S+ \S+ '))
        self.assertEqual(relay.listing('drop'), ['m.eml'])
        self.assertEqual(relay.listing('drop.droprelay-state/queue'), ['m.eml'])

        # The waiting survives the run: started again at once, the relay does not send it.
        with open(os.path.join(sink.folder, 'connections.log')) as f:
            connections = f.read()
        run = relay.run()
        self.assertEqual(run.returncode, 75)
        with open(os.path.join(sink.folder, 'connections.log')) as f:
            self.assertEqual(f.read(), connections, 'not offered again before its time')

    def test_no_server_is_temporary_and_the_maximum_age_quarantines(self):
        relay = Relay(self, 'noserver')
        relay.configure(port=free_port())
        relay.put('m.eml', plain(b'someone@example.net'))
        run = relay.run()
        self.assertEqual(run.returncode, 75, relay.log())
        self.assertIn('Не удалось подключится к MAPI', relay.log())
        # With no age allowed, the second failed attempt sets the file aside (one failure never does).
        relay.configure(port=free_port(), extra='max_queue_days=0\n')
        relay.flush()
        run = relay.run()
        self.assertEqual(run.returncode, 0, relay.log())
        self.assertEqual(relay.listing('failed'), ['m.eml', 'm.eml.reason'])
        self.assertIn('истек срок ожидания в очереди, дней: 0 (нет соединения с сервером)', relay.log())


if __name__ == '__main__':
    unittest.main(verbosity=2)
