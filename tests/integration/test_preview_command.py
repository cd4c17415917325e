#!/usr/bin/python3
"""droprelay --inspect: what would be sent, as text and as JSON, without sending or writing."""

import json
import os
import re
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


# Anything a terminal acts on: C0 controls but LF and TAB, DEL, and the C1 controls in UTF-8.
CONTROL = re.compile(rb'[\x00-\x08\x0b-\x1f\x7f]|\xc2[\x80-\x9f]')

HOSTILE = ('To: a@partner.example\r\n'
           'Subject: red \x1b[31mALERT\x1b[0m =?UTF-8?Q?clear=1B[2Jnext=0Dline=0Aend?=\r\n'
           'Content-Type: text/plain; charset=utf-8\r\n\r\n'
           'one \x1b]0;title\x07 two\r\nend\r\n').encode()

# Holds a lock on a file from another process until its input closes; says "held" once it has it.
HOLDER = ('import fcntl, sys\n'
          'f = open(sys.argv[1], "rb")\n'
          'fcntl.flock(f, fcntl.LOCK_SH)\n'
          'print("held", flush=True)\n'
          'sys.stdin.read()\n')


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

    def test_nothing_in_a_message_reaches_the_output_as_a_control_character(self):
        hostile = os.path.join(self.root, 'hostile.eml')
        with open(hostile, 'wb') as f:
            f.write(HOSTILE)
        shown = 'red ?[31mALERT?[0m clear?[2Jnext?line?end'
        for json_mode in (False, True):
            result = self.run_inspect(*(['--json'] if json_mode else []), hostile)
            self.assertEqual(result.returncode, 0, result.stderr)
            for name, stream in (('stdout', result.stdout), ('stderr', result.stderr)):
                self.assertIsNone(CONTROL.search(stream), '%s: %r' % (name, stream))
            if json_mode:
                [line] = result.stdout.decode('utf-8').splitlines()
                parsed = json.loads(line)
                self.assertEqual(parsed['subject'], shown)
                self.assertEqual(parsed['body'], 'one ?]0;title? two\r\nend\r\n')
            else:
                out = result.stdout.decode('utf-8')
                self.assertIn('\nSubject:    %s\n' % shown, out)
                self.assertIn('\nBody:\none ?]0;title? two\nend\n', out)
                self.assertIn('Тема: %s' % shown, result.stderr.decode('utf-8'))

    def test_files_it_cannot_read_end_in_status_1_with_the_reason(self):
        link = os.path.join(self.root, 'link.eml')
        os.symlink(self.message, link)
        big = os.path.join(self.root, 'big.eml')
        with open(big, 'wb') as f:
            f.write(MESSAGE + b'x' * 1000)
        with open(self.ini) as f:
            settings = f.read()
        with open(self.ini, 'w') as f:
            f.write(settings.replace('[System]\n', '[System]\nmax_message_size=%d\n' % (len(MESSAGE) + 10)))
        held = os.path.join(self.root, 'held.eml')
        shutil.copy(self.message, held)
        holder = subprocess.Popen(['/usr/bin/python3', '-c', HOLDER, held], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        self.addCleanup(holder.wait, 60)
        self.addCleanup(holder.stdin.close)
        self.assertEqual(holder.stdout.readline(), 'held\n')
        cases = [(link, 'not a regular file: Is a symbolic link'),
                 (os.path.join(self.root, 'gone.eml'), 'locked by another process, or gone: No such file'),
                 (big, 'larger than max_message_size: %d bytes, more than %d' % (len(MESSAGE) + 1000, len(MESSAGE) + 10)),
                 (held, 'locked by another process, or gone: Resource temporarily unavailable')]
        for path, reason in cases:
            for json_mode in (False, True):
                with self.subTest(path=os.path.basename(path), json=json_mode):
                    result = self.run_inspect(*(['--json'] if json_mode else []), path, self.message)
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertIn(('droprelay: %s: %s' % (path, reason)).encode(), result.stderr)
                    # Only the readable file is shown; the other is no empty message.
                    out = result.stdout.decode('utf-8')
                    self.assertNotIn(os.path.basename(path), out)
                    self.assertIn('m.eml', out)
        # Once its holder lets go, the same file is read.
        holder.stdin.close()
        holder.wait(60)
        result = self.run_inspect(held)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn('Subject:    Привет', result.stdout.decode('utf-8'))

    def test_usage_errors(self):
        for args in (['--inspect'], ['--json']):
            result = subprocess.run([BIN, *args], env=self.env, timeout=60,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.assertEqual(result.returncode, 2, args)


if __name__ == '__main__':
    unittest.main(verbosity=2)
