#!/usr/bin/python3
"""End to end: a real SMTP client hands messages to a local SMTP service that stores each one in the
drop folder; droprelay relays them through a second SMTP server; what arrived there is read back with
Python's email package. Then a server that refuses the message: the drop file must stay.

Needs DROPRELAY_BIN and DROPRELAY_SOURCE_DIR (set by CTest)."""

import email
import email.policy
import email.utils
import os
import random
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from email.message import EmailMessage

from aiosmtpd.controller import Controller

from relay_harness import Sink

BIN = os.environ['DROPRELAY_BIN']
SOURCE = os.environ['DROPRELAY_SOURCE_DIR']



def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


class DropFolderService:
    """The local SMTP service: every accepted message becomes one file in the drop folder, written
    under a temporary name outside it and renamed in, so the relay never sees half a file."""

    def __init__(self, drop, staging):
        self.drop, self.staging, self.count = drop, staging, 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        name = '%d-%d.eml' % (os.getpid(), self.count)
        tmp = os.path.join(self.staging, name)
        with open(tmp, 'wb') as f:
            f.write(envelope.original_content if hasattr(envelope, 'original_content') and envelope.original_content
                    else envelope.content)
        os.rename(tmp, os.path.join(self.drop, name))
        return '250 Queued'


class RelayEndToEnd(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix='droprelay-e2e-')
        self.addCleanup(shutil.rmtree, self.root, True)
        for sub in ('drop', 'staging', 'archive', 'temp', 'received'):
            os.mkdir(os.path.join(self.root, sub))
        self.drop = os.path.join(self.root, 'drop')
        self.ini = os.path.join(self.root, 'droprelay.ini')
        self.log = os.path.join(self.root, 'droprelay.log')
        port = free_port()
        self.service = Controller(DropFolderService(self.drop, os.path.join(self.root, 'staging')),
                                  hostname='127.0.0.1', port=port)
        self.service.start()
        self.addCleanup(self.service.stop)
        self.service_port = port

    def configure(self, sink):
        profiles = os.path.join(self.root, 'profiles.ini')
        with open(profiles, 'w') as f:
            f.write('[Profiles]\nDefaultProfile=office\n\n[office]\nurl=smtp://127.0.0.1:%d\n'
                    'from=relay@corp.example\n' % sink.port)
        with open(self.ini, 'w') as f:
            f.write('[System]\nSmtp_DropMail_path=%s\ndomain_name=corp.example\n'
                    'send_copy_to=copy@corp.example\n\n'
                    'send_mail=1\ntemppath=%s/\nmoveto_path=%s\n'
                    # The path of a message is what is checked here, not the pace (test_shell_cycles
                    # checks that): short cycles and HTML waits keep the run to seconds.
                    'cycle_interval_ms=200\nhtml_wait_ms=500\n'
                    % (self.drop, os.path.join(self.root, 'temp'), os.path.join(self.root, 'archive')))
        env = dict(os.environ, DROPRELAY_PROFILES=profiles, QT_QPA_PLATFORM='offscreen')
        env.pop('DISPLAY', None)
        return env

    def submit(self, message):
        with smtplib.SMTP('127.0.0.1', self.service_port) as client:
            client.send_message(message)

    def submit_raw(self, raw, recipient):
        with smtplib.SMTP('127.0.0.1', self.service_port) as client:
            client.sendmail('sender@example.net', [recipient], raw)

    def read_log(self):
        with open(self.log, 'rb') as f:
            return f.read().decode('utf-8', 'replace')

    def test_messages_are_relayed_rewritten_and_archived(self):
        sink = Sink(os.path.join(self.root, 'received'))
        self.addCleanup(sink.stop)
        env = self.configure(sink)
        rng = random.Random(7)
        report = bytes(rng.randrange(256) for _ in range(5000))

        # Laid out as Thunderbird writes it: the subject folded into two encoded words, the file
        # name both as an encoded word and in RFC 2231 form.
        b64 = __import__('base64')
        subject = 'Отчёт за неделю — итоги'.encode()
        name_word = '=?UTF-8?B?' + b64.b64encode('отчёт.pdf'.encode()).decode() + '?='
        report_b64 = b64.encodebytes(report).replace(b'\n', b'\r\n')
        self.submit_raw(
            b'From: =?UTF-8?B?' + b64.b64encode('Пётр'.encode()) + b'?= <peter@example.net>\r\n'
            b'To: "Ivanov, Ivan" <ivanov@partner.example>, other@partner.example\r\n'
            b'Subject: =?UTF-8?B?' + b64.b64encode(subject[:20]) + b'?=\r\n =?UTF-8?B?'
            + b64.b64encode(subject[20:]) + b'?=\r\n'
            b'MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary="------------b1"\r\n\r\n'
            b'This is a multi-part message in MIME format.\r\n--------------b1\r\n'
            b'Content-Type: text/plain; charset=UTF-8; format=flowed\r\nContent-Transfer-Encoding: 8bit\r\n\r\n'
            + 'Добрый день!\r\nОтчёт во вложении.\r\n'.encode() + b'\r\n--------------b1\r\n'
            b'Content-Type: application/pdf; name="' + name_word.encode() + b'"\r\n'
            b'Content-Disposition: attachment; filename*=UTF-8\'\'%D0%BE%D1%82%D1%87%D1%91%D1%82.pdf\r\n'
            b'Content-Transfer-Encoding: base64\r\n\r\n' + report_b64 + b'\r\n--------------b1\r\n'
            b'Content-Type: text/plain; charset=UTF-8; name="second.txt"\r\n'
            b'Content-Disposition: attachment; filename="second.txt"\r\n\r\nsecond\r\n'
            b'--------------b1--\r\n', 'ivanov@partner.example')

        koi8_subject = 'Привет из KOI8'.encode('koi8-r')
        koi8_body = 'Строка в KOI8-R.\r\n'.encode('koi8-r')
        self.submit_raw(b'From: a@example.net\r\nTo: koi@partner.example\r\nSubject: =?koi8-r?B?'
                        + __import__('base64').b64encode(koi8_subject) + b'?=\r\nMIME-Version: 1.0\r\n'
                        b'Content-Type: text/plain; charset="koi8-r"\r\nContent-Transfer-Encoding: 8bit\r\n\r\n'
                        + koi8_body, 'koi@partner.example')

        cp_subject = 'Счёт № 5'.encode('cp1251')
        self.submit_raw(b'From: a@example.net\r\nTo: win@partner.example\r\nSubject: =?windows-1251?Q?'
                        + ''.join('=%02X' % b for b in cp_subject).encode() + b'?=\r\nMIME-Version: 1.0\r\n'
                        b'Content-Type: text/plain; charset=windows-1251\r\nContent-Transfer-Encoding: 8bit\r\n\r\n'
                        + 'Оплатите счёт.\r\n'.encode('cp1251'), 'win@partner.example')

        h = EmailMessage()
        h['From'] = 'news@example.net'
        h['To'] = 'reader@partner.example'
        h['Subject'] = 'Новости недели'
        h.set_content('<html><head><style>.pre{display:none}</style></head><body>'
                      '<div class="pre">скрытый анонс</div><h1>Главное</h1>'
                      '<table><tr><td>Курс</td><td>90</td></tr></table>'
                      '<p>Подробнее на сайте.</p></body></html>', subtype='html', charset='utf-8')
        self.submit(h)

        uu_data = b'uuencoded payload\n' * 3
        uu_lines = [b'begin 644 data.txt']
        for i in range(0, len(uu_data), 45):
            import binascii
            uu_lines.append(binascii.b2a_uu(uu_data[i:i + 45]).rstrip(b'\n'))
        uu_lines += [b'`', b'end']
        self.submit_raw(b'From: a@example.net\r\nTo: uu@partner.example\r\nSubject: uu\r\n\r\n'
                        b'See the file.\r\n\r\n' + b'\r\n'.join(uu_lines) + b'\r\n', 'uu@partner.example')

        self.assertEqual(len(os.listdir(self.drop)), 5)
        run = subprocess.run([BIN, '--config', self.ini], env=env, timeout=240,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(run.returncode, 0, run.stdout)

        log = self.read_log()
        self.assertEqual(os.listdir(self.drop), [], log)
        self.assertEqual(len(os.listdir(os.path.join(self.root, 'archive'))), 5, log)
        self.assertEqual(os.listdir(os.path.join(self.root, 'temp')), [], 'attachments left behind')
        self.assertIn('Нет новых файлов', log)

        received = sink.messages()
        self.assertEqual(len(received), 5, log)
        by_to = {}
        for message in received:
            tos = [a for _, a in email.utils.getaddresses(message.get_all('to', []))]
            ccs = [a for _, a in email.utils.getaddresses(message.get_all('cc', []))]
            self.assertEqual(len(tos), 1)
            self.assertTrue(tos[0].endswith('@corp.example'), tos)
            self.assertEqual(ccs, ['copy@corp.example'])
            by_to[tos[0]] = message

        first = by_to['ivanov@corp.example']
        self.assertEqual(first['subject'], 'Отчёт за неделю — итоги')
        self.assertEqual(first.get_body(('plain',)).get_content().replace('\r\n', '\n'),
                         'Добрый день!\nОтчёт во вложении.\n')
        attachments = list(first.iter_attachments())
        self.assertEqual(len(attachments), 1, 'only the first attachment is relayed')
        self.assertEqual(attachments[0].get_filename(), 'отчёт.pdf')
        self.assertEqual(attachments[0].get_content(), report)

        self.assertEqual(by_to['koi@corp.example']['subject'], 'Привет из KOI8')
        self.assertEqual(by_to['koi@corp.example'].get_body(('plain',)).get_content().replace('\r\n', '\n'),
                         'Строка в KOI8-R.\n')
        self.assertEqual(by_to['win@corp.example']['subject'], 'Счёт № 5')
        self.assertEqual(by_to['win@corp.example'].get_body(('plain',)).get_content().replace('\r\n', '\n'),
                         'Оплатите счёт.\n')

        html = by_to['reader@corp.example']
        self.assertEqual(html['subject'], 'Новости недели')
        text = html.get_body(('plain',)).get_content()
        self.assertIn('Главное', text)
        self.assertIn('Курс\t90', text)
        self.assertIn('Подробнее на сайте.', text)
        self.assertNotIn('скрытый', text)
        self.assertNotIn('<', text)

        uu = by_to['uu@corp.example']
        uu_attachments = list(uu.iter_attachments())
        self.assertEqual(len(uu_attachments), 1)
        self.assertEqual(uu_attachments[0].get_filename(), 'data.txt')
        self.assertEqual(uu_attachments[0].get_content().encode() if isinstance(uu_attachments[0].get_content(), str)
                         else uu_attachments[0].get_content(), uu_data)

    def test_refused_message_is_set_aside_and_a_deferred_one_stays(self):
        for code, stays in (('554', False), ('451', True)):
            with self.subTest(code=code):
                received = os.path.join(self.root, 'received-' + code)
                os.mkdir(received)
                sink = Sink(received, '--reject-data', code)
                self.addCleanup(sink.stop)
                env = self.configure(sink)
                m = EmailMessage()
                m['From'] = 'a@example.net'
                m['To'] = 'b@partner.example'
                m['Subject'] = 'refused'
                m.set_content('body')
                self.submit(m)
                name = os.listdir(self.drop)[0]
                # Dated back: the relay leaves files modified in the last 2 seconds for later.
                os.utime(os.path.join(self.drop, name), (1, 1))

                run = subprocess.run([BIN, '--config', self.ini], env=env, timeout=120,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                log = self.read_log()
                self.assertIn('Ошибка отправки сообщения "2" (%s ' % code, log)
                self.assertEqual(os.listdir(os.path.join(self.root, 'archive')), [])
                self.assertEqual(sink.messages(), [])
                if stays:
                    self.assertEqual(run.returncode, 75, log)
                    self.assertEqual(os.listdir(self.drop), [name])
                else:
                    self.assertEqual(run.returncode, 0, log)
                    self.assertEqual(os.listdir(self.drop), [])
                    self.assertEqual(sorted(os.listdir(os.path.join(self.root, 'failed'))), [name, name + '.reason'])
                    os.remove(os.path.join(self.root, 'failed', name))

if __name__ == '__main__':
    unittest.main(verbosity=2)
