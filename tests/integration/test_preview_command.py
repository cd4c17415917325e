#!/usr/bin/python3
"""droprelay --inspect: what would be sent, as text and as JSON, without sending or writing."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

BIN = os.environ['DROPRELAY_BIN']

MESSAGE = ('To: "Иванов" <ivanov@partner.example>\r\n'
           'Subject: =?UTF-8?B?0J/RgNC40LLQtdGC?=\r\n'
           'MIME-Version: 1.0\r\n'
           'Content-Type: multipart/mixed; boundary="b"\r\n\r\n'
           '--b\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nСтрока один\r\nСтрока два\r\n'
           '--b\r\nContent-Type: application/pdf; name="=?UTF-8?B?0L7RgtGH0ZHRgi5wZGY=?="\r\n'
           'Content-Transfer-Encoding: base64\r\n\r\nJVBERi0=\r\n--b--\r\n').encode()


class Inspect(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix='droprelay-inspect-')
        self.addCleanup(shutil.rmtree, self.root, True)
        self.ini = os.path.join(self.root, 'relay.ini')
        with open(self.ini, 'w') as f:
            f.write('[System]\ndomain_name=corp.example\nsend_copy_to=copy@corp.example\n'
                    '[Strings2change]\nstring0=один\n[equivalentStrings]\nstring0=1\n')
        self.message = os.path.join(self.root, 'm.eml')
        with open(self.message, 'wb') as f:
            f.write(MESSAGE)
        self.env = dict(os.environ, QT_QPA_PLATFORM='offscreen')

    def run_inspect(self, *args):
        return subprocess.run([BIN, '--config', self.ini, '--inspect', *args], env=self.env, timeout=60,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def test_json_object_per_file(self):
        empty = os.path.join(self.root, 'empty.eml')
        open(empty, 'wb').close()
        result = self.run_inspect('--json', self.message, empty)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.decode('utf-8').splitlines()
        self.assertEqual(len(lines), 2)
        first, second = (json.loads(line) for line in lines)
        self.assertEqual(first['file'], self.message)
        self.assertEqual(first['recipient'], 'ivanov@corp.example ; copy@corp.example')
        self.assertEqual(first['subject'], 'Привет')
        self.assertEqual(first['body'], 'Строка 1\r\nСтрока два\r\n')
        self.assertEqual(first['attachment'], {'name': 'отчёт.pdf', 'size': 5})
        self.assertEqual(second['attachment'], None)
        self.assertEqual(second['recipient'], '@corp.example ; copy@corp.example')
        # Nothing written: no log file, no saved attachment.
        self.assertEqual(sorted(os.listdir(self.root)), ['empty.eml', 'm.eml', 'relay.ini'])
        self.assertIn('Найден файл m.eml', result.stderr.decode('utf-8'))

    def test_text_for_a_person_and_bad_files(self):
        result = self.run_inspect(self.message, os.path.join(self.root, 'missing.eml'))
        self.assertEqual(result.returncode, 1)
        out = result.stdout.decode('utf-8')
        self.assertIn('Recipient:  ivanov@corp.example ; copy@corp.example', out)
        self.assertIn('Subject:    Привет', out)
        self.assertIn('Attachment: отчёт.pdf (5 bytes)', out)
        self.assertIn('Строка 1\nСтрока два\n', out)
        self.assertIn('missing.eml', result.stderr.decode('utf-8'))

    def test_usage_errors(self):
        for args in (['--inspect'], ['--json']):
            result = subprocess.run([BIN, *args], env=self.env, timeout=60,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.assertEqual(result.returncode, 2, args)


if __name__ == '__main__':
    unittest.main(verbosity=2)
