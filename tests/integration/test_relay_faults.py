#!/usr/bin/python3
"""The real binary against folders that are missing, unwritable or shared, files still being
written, attachments named like things that already stand in the temporary folder, and two runs
started together. Each message must arrive exactly once, nothing outside the relay's own folders
may change, and every configuration error must end the run loudly with its exit status.

Needs DROPRELAY_BIN and DROPRELAY_SOURCE_DIR (set by CTest)."""

import fcntl
import os
import subprocess
import threading
import time
import unittest

from relay_harness import Relay, plain, with_attachment


class TemporaryFolder(unittest.TestCase):
    def test_unusable_temppath_stops_the_run_before_any_file_is_taken(self):
        relay = Relay(self, 'temppath')
        sink = relay.start_sink()
        with open(relay.path('blocker'), 'w') as f:
            f.write('a file where the folder should be')
        relay.configure(temppath=relay.path('blocker', 'tmp') + '/')
        relay.put('m.eml', with_attachment(b'a@example.net', 'report.pdf', b'%PDF'))
        run = relay.run()
        self.assertEqual(run.returncode, 73, relay.log())
        self.assertIn(b'droprelay: cannot write to the folder ' + relay.path('blocker', 'tmp').encode(), run.stderr)
        self.assertIn('Папка недоступна для записи: ' + relay.path('blocker', 'tmp') + '/ (Not a directory)',
                      relay.log())
        self.assertEqual(relay.listing('drop'), ['m.eml'])
        self.assertEqual(sink.count(), 0)

    def test_missing_temppath_is_created_and_names_in_it_are_never_touched(self):
        relay = Relay(self, 'shared-temp')
        sink = relay.start_sink()
        # The README's example folder does not exist yet.
        temp = relay.path('var', 'lib', 'droprelay', 'tmp')
        relay.configure(temppath=temp + '/')
        relay.put('folder.eml', with_attachment(b'a@example.net', '.X11-unix', b'first content', 'folder clash'))
        relay.put('victim.eml', with_attachment(b'b@example.net', 'victim.txt', b'attacker', 'victim clash'))
        relay.put('link.eml', with_attachment(b'c@example.net', 'planted', b'through a link', 'link clash'))
        run = relay.run()
        self.assertEqual(run.returncode, 0, relay.log())
        # Things of the same names stood in the folder while the relay ran.
        received = {m['subject']: m for m in sink.messages()}
        self.assertEqual(sorted(received), ['folder clash', 'link clash', 'victim clash'], relay.log())
        for subject, name, content in (('folder clash', '.X11-unix', b'first content'),
                                       ('victim clash', 'victim.txt', b'attacker'),
                                       ('link clash', 'planted.bin', b'through a link')):
            attachments = list(received[subject].iter_attachments())
            self.assertEqual(len(attachments), 1, subject)
            self.assertEqual(attachments[0].get_filename(), name)
            self.assertEqual(attachments[0].get_payload(decode=True), content)
        self.assertEqual(os.listdir(temp), [], 'each message cleans up its own folder')

    def test_existing_names_in_a_shared_temporary_folder_survive(self):
        relay = Relay(self, 'victims')
        sink = relay.start_sink()
        temp = relay.path('temp')
        os.mkdir(os.path.join(temp, '.X11-unix'))
        with open(os.path.join(temp, 'victim.txt'), 'w') as f:
            f.write('not the relay\'s')
        outside = relay.path('outside.txt')
        with open(outside, 'w') as f:
            f.write('keep')
        # The library names an application/octet-stream part "planted" as "planted.bin".
        os.symlink(outside, os.path.join(temp, 'planted.bin'))
        relay.configure()
        relay.put('folder.eml', with_attachment(b'a@example.net', '.X11-unix', b'x', 'folder clash'))
        relay.put('victim.eml', with_attachment(b'b@example.net', 'victim.txt', b'attacker', 'victim clash'))
        relay.put('link.eml', with_attachment(b'c@example.net', 'planted', b'through a link', 'link clash'))
        run = relay.run()
        self.assertEqual(run.returncode, 0, relay.log())
        self.assertEqual(sink.count(), 3, 'each sent once, with its attachment, not every 5 s')
        self.assertTrue(os.path.isdir(os.path.join(temp, '.X11-unix')))
        with open(os.path.join(temp, 'victim.txt')) as f:
            self.assertEqual(f.read(), 'not the relay\'s')
        with open(outside) as f:
            self.assertEqual(f.read(), 'keep')
        self.assertEqual(sorted(os.listdir(temp)), ['.X11-unix', 'planted.bin', 'victim.txt'])


class WritableFolders(unittest.TestCase):
    def test_unusable_archive_stops_the_run_before_sending(self):
        relay = Relay(self, 'archive')
        sink = relay.start_sink()
        with open(relay.path('blocker'), 'w') as f:
            f.write('x')
        relay.configure(moveto=relay.path('blocker', 'archive'))
        relay.put('m.eml', plain(b'a@example.net'))
        run = relay.run()
        self.assertEqual(run.returncode, 73, relay.log())
        self.assertNotEqual(run.stderr, b'')
        self.assertEqual(sink.count(), 0, 'not sent when it could not be archived afterwards')
        self.assertEqual(relay.listing('drop'), ['m.eml'])

    def test_read_only_drop_folder_stops_the_run_before_sending(self):
        relay = Relay(self, 'readonly')
        sink = relay.start_sink()
        relay.configure()
        relay.put('m.eml', plain(b'a@example.net'))
        # Permissions do not stop root: then the relay runs as nobody, which owns everything but the
        # drop folder.
        as_other = os.geteuid() == 0
        if as_other:
            for folder, _, files in os.walk(relay.root):
                for entry in [folder] + [os.path.join(folder, f) for f in files]:
                    os.lchown(entry, 65534, 65534)
            os.chown(relay.drop, 0, 0)
        os.chmod(relay.drop, 0o555)
        command = relay.command()
        if as_other:
            command = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups'] + command
        run = subprocess.run(command, env=relay.env(), timeout=120, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        os.chmod(relay.drop, 0o755)
        self.assertEqual(run.returncode, 73, relay.log())
        self.assertIn(b'cannot write to the folder ' + relay.drop.encode(), run.stderr)
        self.assertEqual(sink.count(), 0)


class ConfigurationErrors(unittest.TestCase):
    def test_missing_folder_or_configuration_is_loud(self):
        relay = Relay(self, 'config')
        relay.configure(port=1)
        with open(relay.ini, 'a') as f:
            f.write('[System]\n')
        # A drop folder that is not there: 66.
        missing = relay.path('nowhere')
        with open(relay.path('missing.ini'), 'w') as f:
            f.write('[System]\nSmtp_DropMail_path=%s/\n' % missing)
        run = relay.run(config=relay.path('missing.ini'))
        self.assertEqual(run.returncode, 66)
        self.assertIn(b'cannot read the drop folder', run.stderr)
        with open(relay.path('missing.log'), encoding='utf-8') as f:
            f.seek(0)
            self.assertIn('Папка не найдена или не читается: %s/ (No such file or directory)' % missing, f.read())
            self.assertNotIn('Нет новых файлов', f.read())
        # A configuration file named on the command line that is missing, or a folder: 78.
        for config in (relay.path('absent.ini'), relay.path('temp')):
            run = relay.run(config=config)
            self.assertEqual(run.returncode, 78, config)
            self.assertIn(b'droprelay: cannot read the configuration file', run.stderr)


class IncompleteFiles(unittest.TestCase):
    def test_files_still_being_written_are_taken_only_when_complete(self):
        relay = Relay(self, 'writing')
        sink = relay.start_sink()
        relay.configure()
        relay.put('first.eml', plain(b'first@example.net', 'first'))
        lines = ''.join('line %02d of the body\r\n' % i for i in range(40))

        def slow_writer(name, lock):
            with open(os.path.join(relay.drop, name), 'wb') as f:
                if lock:
                    fcntl.flock(f, fcntl.LOCK_EX)
                data = plain(b'slow@example.net', name, lines)
                for i in range(0, len(data), len(data) // 12):
                    f.write(data[i:i + len(data) // 12])
                    f.flush()
                    # Pauses longer than the settling time: only the lock tells the file is unfinished.
                    time.sleep(2.5 if lock else 0.5)

        relay_process = relay.start()
        writers = [threading.Thread(target=slow_writer, args=('locked.eml', True)),
                   threading.Thread(target=slow_writer, args=('unlocked.eml', False))]
        for w in writers:
            w.start()
        # A writer's hidden temporary file is never a message.
        with open(os.path.join(relay.drop, '.incoming.tmp'), 'wb') as f:
            f.write(plain(b'hidden@example.net', 'hidden'))
        for w in writers:
            w.join()
        out, err = relay_process.communicate(timeout=300)
        self.assertEqual(relay_process.returncode, 0, relay.log())
        received = {m['subject']: m for m in sink.messages()}
        self.assertEqual(sorted(received), ['first', 'locked.eml', 'unlocked.eml'], relay.log())
        for name in ('locked.eml', 'unlocked.eml'):
            body = received[name].get_body(('plain',)).get_content().replace('\r\n', '\n')
            self.assertEqual(body.count('of the body'), 40, name)
        self.assertEqual(relay.listing('drop'), ['.incoming.tmp'])


class TwoRuns(unittest.TestCase):
    def test_two_runs_started_together_send_each_message_once(self):
        relay = Relay(self, 'two')
        sink = relay.start_sink()
        relay.configure()
        # A second settings file on the same drop folder: each run then keeps a log file of its own
        # (with one file, the log of the run that goes on overwrites the other's line).
        other = relay.path('other.ini')
        with open(relay.ini) as f, open(other, 'w') as o:
            o.write(f.read())
        expected = []
        for round, configs in enumerate(((relay.ini, relay.ini), (relay.ini, other))):
            with self.subTest(configs=configs):
                for i in range(3):
                    relay.put('r%d-m%d.eml' % (round, i), plain(b'a@example.net', 'round %d message %d' % (round, i)))
                    expected.append('round %d message %d' % (round, i))
                runs = [relay.start(c) for c in configs]
                outputs = [p.communicate(timeout=300) for p in runs]
                codes = [p.returncode for p in runs]
                self.assertEqual(sorted(codes), [0, 75], relay.log())
                self.assertEqual(b''.join(o for pair in outputs for o in pair), b'', 'a second run is no error')
                self.assertEqual(sorted(m['subject'] for m in sink.messages()), expected, 'each message once')
        stopped_log = relay.path('other.log') if codes[1] == 75 else relay.log_file
        with open(stopped_log, encoding='utf-8') as f:
            self.assertRegex(f.read(), 'Папка уже обрабатывается другим запуском: ' + relay.drop + '/\r?\n'
                             '\\S+ \\S+ Завершение работы...')


if __name__ == '__main__':
    unittest.main(verbosity=2)
