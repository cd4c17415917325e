"""The life of a drop file with the real binary: an accepted message whose file cannot be archived is
never quarantined nor sent again, the folders are fixed for a run, and an exposed secret stops
the start before anything is created."""

import json
import os
import subprocess
import time
import unittest

from relay_harness import Relay, plain


def mount_tmpfs(folder, size):
    os.makedirs(folder, exist_ok=True)
    subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=%s' % size, 'tmpfs', folder], check=True)


def fill(folder, leave):
    """Fills `folder`'s file system but for `leave` bytes: room for the start-up's write probe,
    none for a message."""
    stat = os.statvfs(folder)
    with open(os.path.join(folder, 'filler'), 'wb') as f:
        f.write(b'x' * (stat.f_bavail * stat.f_frsize - leave))


class AcceptedButNotDisposed(unittest.TestCase):
    def test_a_full_archive_never_makes_an_accepted_message_expire_or_go_twice(self):
        relay = Relay(self, 'lifecycle')
        sink = relay.start_sink()
        archive = relay.path('small-archive')
        mount_tmpfs(archive, '64k')
        self.addCleanup(subprocess.run, ['umount', '-l', archive])
        fill(archive, 8192)
        # max_queue_days=0: any waiting file is past its age at once, yet an accepted one never expires.
        relay.configure(moveto=archive, extra='max_queue_days=0\ndisposal_wait_ms=10\n')
        relay.put('m.eml', plain(b'user@elsewhere.example', body='x' * 20000 + '\r\n'))

        first = relay.run()
        self.assertEqual(first.returncode, 73, first.stderr)
        self.assertEqual(sink.count(), 1)
        self.assertEqual(relay.listing('drop'), ['m.eml'])
        self.assertIn('Файл m.eml принят сервером, но не удален/перемещен', relay.log())

        queue = subprocess.run(relay.command() + ['--queue', '--json'], env=relay.env(), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=60)
        waiting = json.loads(queue.stdout)['waiting']
        self.assertEqual([(w['name'], w['accepted']) for w in waiting], [('m.eml', True)])
        check = subprocess.run(relay.command() + ['--check'], env=relay.env(), stdout=subprocess.PIPE, timeout=60)
        self.assertEqual(check.returncode, 2, check.stdout)
        self.assertIn(b'1 accepted but not disposed of', check.stdout)

        # Due again and long past max_queue_days: tried again, neither sent nor quarantined.
        relay.flush()
        second = relay.run()
        self.assertEqual(second.returncode, 73, second.stderr)
        self.assertEqual(sink.count(), 1)
        self.assertEqual(relay.listing('failed'), [])
        self.assertIn('уже принят к отправке ранее, повторно не отправляется', relay.log())

        # Room in the archive again: disposed of, still without a second copy.
        os.remove(os.path.join(archive, 'filler'))
        relay.flush()
        third = relay.run()
        self.assertEqual(third.returncode, 0, third.stderr)
        self.assertEqual(sink.count(), 1)
        self.assertEqual(relay.listing('drop'), [])
        self.assertIn('m.eml', os.listdir(archive))


class FoldersFixedForTheRun(unittest.TestCase):
    def test_an_ini_naming_another_drop_folder_waits_for_the_next_run(self):
        relay = Relay(self, 'folders')
        sink = relay.start_sink()
        relay.configure(interval_ms=300)
        for n in range(3):
            relay.put('%d.eml' % n, plain(b'user%d@elsewhere.example' % n))
        other = relay.path('other-drop')
        os.mkdir(other)
        relay.put('elsewhere.eml', plain(b'other@elsewhere.example'))
        os.rename(os.path.join(relay.drop, 'elsewhere.eml'), os.path.join(other, 'elsewhere.eml'))

        process = relay.start()
        # Once the first message is out, the INI is edited to name another drop folder.
        deadline = time.monotonic() + 120
        while sink.count() < 1 and process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        with open(relay.ini) as f:
            text = f.read()
        with open(relay.ini, 'w') as f:
            f.write(text.replace('Smtp_DropMail_path=%s/' % relay.drop, 'Smtp_DropMail_path=%s/' % other))
        out, err = process.communicate(timeout=120)
        self.assertEqual(process.returncode, 0, err)
        self.assertEqual(sink.count(), 3)
        self.assertEqual(relay.listing('drop'), [])
        self.assertEqual(os.listdir(other), ['elsewhere.eml'], 'the new folder waits for the next run')
        self.assertEqual(relay.log().count('новые значения действуют со следующего запуска'), 1)
        # The next run takes the new folder, under its own lock and journal.
        following = relay.run()
        self.assertEqual(following.returncode, 0, following.stderr)
        self.assertEqual(sink.count(), 4)


class ConfigurationFaults(unittest.TestCase):
    """A refusal about the sender or the account stops the run and touches no file; a quota ends it
    with the rest waiting; a refusal of one message's recipient stays that message's."""

    def run_against(self, *reply):
        relay = Relay(self, 'faults')
        sink = relay.start_sink('--reply', *reply) if reply else relay.start_sink()
        relay.configure()
        for n in range(3):
            relay.put('%d.eml' % n, plain(b'user%d@elsewhere.example' % n))
        return relay, sink, relay.run()

    def check(self, relay, fresh=True):
        return subprocess.run(relay.command() + ['--check'], env=relay.env(), stdout=subprocess.PIPE, timeout=60)

    def test_the_sender_or_account_refused_stops_the_run_for_every_file(self):
        cases = [
            ('MAIL=550 5.7.60 SMTP; Client does not have permissions to send as this sender', b'the server refused the sender'),
            ('DATA=554 5.2.0 STOREDRV.Submission.Exception:SendAsDeniedException.MapiExceptionSendAsDenied',
             b'the server refused the sender'),
            ('MAIL=530 5.7.57 Client not authenticated to send mail', b'the server refused the account'),
        ]
        for reply, said in cases:
            with self.subTest(reply=reply):
                relay, sink, result = self.run_against(reply)
                self.assertEqual(result.returncode, 78, result.stderr)
                self.assertIn(b'mail profile "office": ' + said, result.stderr)
                self.assertIn(reply.split('=', 1)[1].encode(), result.stderr)
                self.assertEqual(sink.count(), 0)
                self.assertEqual(relay.listing('drop'), ['0.eml', '1.eml', '2.eml'], 'every file stays')
                self.assertEqual(relay.listing('failed'), [], 'nothing is quarantined')
                self.assertIn('Ошибка настройки, работа остановлена', relay.log())
                check = self.check(relay)
                self.assertEqual(check.returncode, 2, check.stdout)
                self.assertIn(b'configuration fault: mail profile "office"', check.stdout)

    def test_a_quota_defers_one_file_and_leaves_the_rest_for_the_next_run(self):
        relay, sink, result = self.run_against(
            'DATA@2=554 5.2.0 STOREDRV.Submission.Exception:SubmissionQuotaExceededException')
        self.assertEqual(result.returncode, 75, result.stderr)
        self.assertEqual(sink.count(), 1)
        self.assertEqual(relay.listing('drop'), ['1.eml', '2.eml'])
        self.assertEqual(relay.listing('failed'), [])
        self.assertIn('сервер ограничил число писем', relay.log())
        self.assertNotIn('Файл 2.eml отложен', relay.log(), 'the rest is not even tried')

    def test_one_refused_recipient_is_that_messages_refusal_and_a_fixed_profile_clears_the_check(self):
        relay, sink, result = self.run_against('RCPT@2=550 5.1.1 <user@corp.example>: Recipient address rejected')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sink.count(), 1)
        self.assertEqual(relay.listing('failed'), ['1.eml', '1.eml.reason', '2.eml', '2.eml.reason'])
        # A fault noted by an earlier run goes once mail goes out again.
        with open(relay.path('drop.droprelay-state', 'config-fault'), 'w') as f:
            f.write('mail profile "office": the server refused the sender: 550 5.7.60\n')
        self.assertEqual(self.check(relay).returncode, 2)
        relay.put('3.eml', plain(b'user3@elsewhere.example'))
        self.assertEqual(relay.run().returncode, 0)
        self.assertFalse(os.path.exists(relay.path('drop.droprelay-state', 'config-fault')))


class SecretsFirst(unittest.TestCase):
    def run_with(self, extra):
        relay = Relay(self, 'secrets')
        relay.configure(port=9, extra=extra + 'failed_path=%s\n' % relay.path('quarantine'),
                        moveto=relay.path('archive-new'))
        os.chmod(relay.ini, 0o644)
        relay.put('a.eml', plain(b'user@elsewhere.example'))
        result = relay.run()
        return relay, result

    def test_an_exposed_password_stops_the_start_before_any_folder_is_made(self):
        cases = [
            ('Password=secret\ncorrect_scheduled_time=1\n', b'holds a Password'),
            ('ConnectionString=Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=9;Database=x;UID=u;PWD=hunter2\n',
             b'database password'),
            ('ConnectionString=Provider=SQLOLEDB.1;Data Source=db;User ID=u;Password=hunter2\n', b'database password'),
        ]
        for extra, said in cases:
            with self.subTest(extra=extra):
                relay, result = self.run_with(extra)
                self.assertEqual(result.returncode, 78, result.stderr)
                self.assertIn(said, result.stderr)
                self.assertNotIn(b'hunter2', result.stderr)
                for made in ('quarantine', 'archive-new', 'drop.droprelay-state'):
                    self.assertFalse(os.path.exists(relay.path(made)), made)
                self.assertEqual(relay.listing('drop'), ['a.eml'])
                self.assertNotIn('hunter2', relay.log())


if __name__ == '__main__':
    unittest.main()
