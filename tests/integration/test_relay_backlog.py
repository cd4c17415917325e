#!/usr/bin/python3
"""A backlog relayed by the real binary with cycle_interval_ms=0 and html_wait_ms=0 through the
SMTP sink: one file per cycle in the usual log order, every message delivered once over one
connection (RSET between messages, QUIT at the end); a server that closes the connection now and
then; and a stop request in the middle of a backlog, which must end the run after the current
cycle without losing or doubling a message.

Needs DROPRELAY_BIN and DROPRELAY_SOURCE_DIR (set by CTest)."""

import collections
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo_messages  # noqa: E402

BIN = os.environ['DROPRELAY_BIN']
SOURCE = os.environ['DROPRELAY_SOURCE_DIR']
SINK = os.path.join(SOURCE, 'tests', 'integration', 'smtp_sink.py')


class Sink:
    def __init__(self, folder, *options):
        self.folder = folder
        self.process = subprocess.Popen(['/usr/bin/python3', SINK, '--dir', folder, '--log-commands', *options],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline().split()
        assert line and line[0] == 'PORT', line
        self.port = int(line[1])

    def delivered(self):
        return len([n for n in os.listdir(self.folder) if n.endswith('.envelope')])

    def commands(self):
        with open(os.path.join(self.folder, 'commands.log')) as f:
            return collections.Counter(f.read().split())

    def commands_after_quit(self, deadline_s=10):
        """The commands once the server has read the QUIT: the client need not wait for its reply
        before it exits, so the server may log it a moment after the run has ended."""
        end = time.monotonic() + deadline_s
        while self.commands()['QUIT'] == 0 and time.monotonic() < end:
            time.sleep(0.05)
        return self.commands()

    def connections(self):
        with open(os.path.join(self.folder, 'connections.log')) as f:
            return len(f.read().splitlines())

    def stop(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)
        self.process.stdout.close()


class RelayBacklog(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix='droprelay-backlog-')
        self.addCleanup(shutil.rmtree, self.root, True)
        for sub in ('drop', 'archive', 'temp', 'received'):
            os.mkdir(os.path.join(self.root, sub))
        self.drop = os.path.join(self.root, 'drop')
        self.archive = os.path.join(self.root, 'archive')
        self.ini = os.path.join(self.root, 'droprelay.ini')
        self.log = os.path.join(self.root, 'droprelay.log')

    def start_sink(self, *options, interval=0):
        sink = Sink(os.path.join(self.root, 'received'), *options)
        self.addCleanup(sink.stop)
        profiles = os.path.join(self.root, 'profiles.ini')
        with open(profiles, 'w') as f:
            f.write('[Profiles]\nDefaultProfile=office\n[office]\nurl=smtp://127.0.0.1:%d\n'
                    'from=relay@corp.example\n' % sink.port)
        with open(self.ini, 'w') as f:
            f.write('[System]\nSmtp_DropMail_path=%s/\ndomain_name=corp.example\n'
                    'send_mail=1\ntemppath=%s/\nmoveto_path=%s/\n'
                    'cycle_interval_ms=%d\nhtml_wait_ms=0\n'
                    % (self.drop, os.path.join(self.root, 'temp'), self.archive, interval))
        self.env = dict(os.environ, DROPRELAY_PROFILES=profiles)
        for name in ('DISPLAY', 'WAYLAND_DISPLAY', 'QT_QPA_PLATFORM'):
            self.env.pop(name, None)
        return sink

    def stopped_run(self, ready, then_wait=0.0):
        """Starts the relay, waits until ready() answers true (or the run ends), waits then_wait
        seconds more, sends the stop request a service manager sends, and answers the exit status."""
        relay = subprocess.Popen([BIN, '--config', self.ini], env=self.env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.time() + 120
            while not ready() and relay.poll() is None:
                self.assertLess(time.time(), deadline, 'the relay never got there')
                time.sleep(0.02)
            time.sleep(then_wait)
            relay.send_signal(signal.SIGTERM)
            return relay.wait(timeout=60)
        finally:
            if relay.poll() is None:
                relay.kill()

    def messages(self):
        with open(self.log, 'rb') as f:
            text = f.read().decode('utf-8')
        return [re.sub(r'^\S+ \S+ ', '', line) for line in text.split('\r\n') if line]

    def test_backlog_goes_out_one_file_per_cycle_over_one_connection(self):
        sink = self.start_sink()
        names = demo_messages.write_backlog(self.drop, 24)
        run = subprocess.run([BIN, '--config', self.ini], env=self.env, timeout=240,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(run.returncode, 0, run.stdout)
        self.assertEqual(os.listdir(self.drop), [])
        self.assertEqual(sorted(os.listdir(self.archive)), names)
        self.assertEqual(sink.delivered(), 24)
        self.assertEqual(sink.connections(), 1)
        commands = sink.commands_after_quit()
        self.assertEqual((commands['EHLO'], commands['NOOP'], commands['MAIL'], commands['DATA'],
                          commands['RSET'], commands['QUIT']), (1, 1, 24, 24, 23, 1), commands)

        # Every cycle: the scan, one file found, its sending, its move; then one empty scan.
        messages = self.messages()
        scans = [i for i, m in enumerate(messages) if m.startswith('Просмотр папки ')]
        self.assertEqual(len(scans), 25)
        for start, end in zip(scans, scans[1:]):
            cycle = messages[start:end]
            self.assertEqual(len([m for m in cycle if m.startswith('Найден файл ')]), 1, cycle)
            self.assertTrue(cycle[-1].startswith('Файл ') and ' успешно перемещен в ' in cycle[-1], cycle)
            self.assertTrue(any(m.startswith('Попытка отправки') for m in cycle), cycle)
        self.assertEqual(messages[scans[-1]:], ['Просмотр папки %s/' % self.drop, 'Нет новых файлов',
                                                 'Завершение работы...'])

    def test_server_closing_the_connection_costs_nothing_but_a_new_one(self):
        sink = self.start_sink('--close-after', '3')
        demo_messages.write_backlog(self.drop, 8)
        run = subprocess.run([BIN, '--config', self.ini], env=self.env, timeout=240,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(run.returncode, 0, run.stdout)
        self.assertEqual(os.listdir(self.drop), [])
        self.assertEqual(sink.delivered(), 8)
        self.assertEqual(sink.connections(), 3)
        self.assertFalse([m for m in self.messages() if 'Ошибка' in m or 'Не удалось' in m])

    def test_stop_request_in_the_middle_of_a_backlog(self):
        sink = self.start_sink()
        total = 1000
        demo_messages.write_backlog(self.drop, total)
        self.assertEqual(self.stopped_run(lambda: sink.delivered() >= 10), 0)
        delivered = sink.delivered()
        left = len(os.listdir(self.drop))
        archived = len(os.listdir(self.archive))
        self.assertGreater(left, 0, 'the stop request was not handled before the backlog ran out')
        # Nothing lost, nothing sent twice: every delivered message was archived, the rest wait.
        self.assertEqual(archived, delivered)
        self.assertEqual(delivered + left, total)
        self.assertEqual(self.messages()[-1], 'Завершение работы...')
        # A stop request cuts short whatever command is under way before a message's data (here
        # the RSET or logon for the next file), and with it the connection: the session may then
        # end without its QUIT, never with two.
        self.assertLessEqual(sink.commands_after_quit(deadline_s=2)['QUIT'], 1)

    def test_interval_comes_from_the_setting(self):
        self.start_sink(interval=600000)
        demo_messages.write_backlog(self.drop, 1)
        started = lambda: os.path.exists(self.log) and 'Начало работы...' in self.messages()  # noqa: E731
        # Six seconds, longer than the default interval: a relay that ignored the setting would
        # have looked into the drop folder by then.
        self.assertEqual(self.stopped_run(started, then_wait=6), 0)
        self.assertEqual(self.messages()[-3:],
                         ['Начало работы...', 'Получен сигнал завершения', 'Завершение работы...'])
        self.assertEqual(len(os.listdir(self.drop)), 1)


if __name__ == '__main__':
    unittest.main(verbosity=2)
