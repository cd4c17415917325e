#!/usr/bin/python3
"""The delivery promise at its edges, with the real binary: a server that stores the message but
whose answer is lost (at most two copies, then quarantined as possibly delivered), journal notes
that cannot be read or park a file for ever, a file the relay died on twice, hard links, files
over the size limit, and a state folder that fills up during a run.

Needs DROPRELAY_BIN and DROPRELAY_SOURCE_DIR (set by CTest)."""

import collections
import datetime
import os
import select
import subprocess
import tempfile
import unittest

import relay_harness
from relay_harness import Relay, plain

LOST_REPLY_SINK = os.path.join(relay_harness.SOURCE, 'tests', 'integration', 'lost_reply_sink.py')


def reason(relay, name):
    with open(relay.path('failed', name + '.reason'), encoding='utf-8') as f:
        return dict(line.split('=', 1) for line in f.read().splitlines())


def make_due(relay, name):
    """Rewrites the deferral record of `name` as due now (its fields: device inode size mtime
    first-failure next-due attempts ...)."""
    path = relay.path('drop.droprelay-state', 'queue', name)
    with open(path) as f:
        fields = f.read().split()
    fields[5] = '0'
    with open(path, 'w') as f:
        f.write(' '.join(fields) + '\n')


class UncertainDeliveries(unittest.TestCase):
    def test_a_lost_answer_on_every_attempt_gives_at_most_two_copies_then_quarantine(self):
        relay = Relay(self, 'lost')
        saved = relay_harness.SINK
        relay_harness.SINK = LOST_REPLY_SINK
        try:
            sink = relay.start_sink('--lose-reply')
        finally:
            relay_harness.SINK = saved
        relay.configure()
        relay.put('m.eml', plain(b'someone@example.net', 'once or twice'))

        run = relay.run()
        self.assertEqual(run.returncode, 75, relay.log())
        self.assertEqual(sink.count(), 1)
        self.assertIn('m.eml отложен до', relay.log())
        self.assertIn('ответ сервера на отправленное письмо не получен', relay.log())

        make_due(relay, 'm.eml')
        run = relay.run()
        log = relay.log()
        self.assertEqual(run.returncode, 0, log)
        self.assertEqual(sink.count(), 2, 'tried exactly once more')
        self.assertEqual(relay.listing('failed'), ['m.eml', 'm.eml.reason'])
        self.assertIn('ответ сервера дважды не получен, письмо могло быть уже доставлено', log)
        self.assertEqual(reason(relay, 'm.eml')['outcome'], 'maybe-delivered')

        relay.run()
        self.assertEqual(sink.count(), 2, 'never a third copy')


class KilledRightAfterTheAnswer(unittest.TestCase):
    def test_kills_0_to_10_ms_after_the_250_lose_nothing_and_send_nothing_more_than_twice(self):
        relay = Relay(self, 'kill-early')
        sink = relay.start_sink('--notify-accepted')
        relay.configure()
        count = 4
        for i in range(count):
            relay.put('m%d.eml' % i, plain(b'someone@example.net', 'message %d' % i))
        delays = [0, 0.001, 0.005, 0.01]
        kills = 0
        for attempt in range(4 * count):
            process = relay.start()
            line = ''
            while process.poll() is None and not line:
                ready, _, _ = select.select([sink.process.stdout], [], [], 0.5)
                if ready:
                    line = sink.process.stdout.readline()
            if line.startswith('ACCEPTED') and process.poll() is None:
                delay = delays[kills % len(delays)]
                if delay:
                    select.select([], [], [], delay)  # the kill's moment, not time to pass
                process.kill()
                kills += 1
                process.communicate(timeout=30)
                continue
            process.communicate(timeout=120)
            if not relay.listing('drop'):
                break
        log = relay.log()
        self.assertEqual(relay.listing('drop'), [], log)
        subjects = collections.Counter(m['subject'] for m in sink.messages())
        self.assertEqual(sorted(subjects), ['message %d' % i for i in range(count)], 'none lost')
        self.assertLessEqual(max(subjects.values()), 2, subjects)
        for name in relay.listing('failed'):
            if not name.endswith('.reason'):
                self.assertEqual(reason(relay, name)['outcome'], 'maybe-delivered', name)
                self.assertEqual(subjects['message ' + name[1]], 2, 'quarantined only after a second copy')


class JournalFaults(unittest.TestCase):
    def test_unreadable_notes_are_no_proof_and_far_future_records_do_not_park_a_file(self):
        relay = Relay(self, 'journal')
        sink = relay.start_sink()
        relay.configure()
        relay.run()  # creates the state folder
        sent = relay.path('drop.droprelay-state', 'sent')
        for name, note in (('garbage.eml', b'\x00\xffnot a note'), ('empty.eml', b'')):
            relay.put(name, plain(b'someone@example.net', name))
            with open(os.path.join(sent, name), 'wb') as f:
                f.write(note)
        relay.put('folder.eml', plain(b'someone@example.net', 'folder.eml'))
        os.mkdir(os.path.join(sent, 'folder.eml'))
        relay.put('parked.eml', plain(b'someone@example.net', 'parked.eml'))
        st = os.stat(os.path.join(relay.drop, 'parked.eml'))
        with open(relay.path('drop.droprelay-state', 'queue', 'parked.eml'), 'w') as f:
            # Failed first a minute ago, due in ten years: a clock that jumped, a hand edit.
            f.write('%d %d %d %d %d %d 1\n' % (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns,
                                               int(st.st_mtime) + 0, 2 ** 40))
        run = relay.run()
        log = relay.log()
        self.assertEqual(run.returncode, 75, log)
        self.assertEqual(sink.count(), 0, 'nothing archived as sent, nothing sent')
        self.assertEqual(relay.listing('archive'), [])
        self.assertEqual(relay.listing('failed'), sorted(
            n + s for n in ('garbage.eml', 'empty.eml', 'folder.eml') for s in ('', '.reason')))
        for name in ('garbage.eml', 'empty.eml', 'folder.eml'):
            self.assertEqual(reason(relay, name)['outcome'], 'journal-unreadable', name)
        self.assertTrue(os.path.isdir(os.path.join(sent, '.aside-folder.eml')))
        self.assertRegex(log, r'Файл parked\.eml ожидает повторной попытки до \S+ \S+')
        # At most the longest wait (an hour) ahead, whatever the record said.
        line = [line for line in log.splitlines() if 'parked.eml ожидает' in line][-1]
        logged = datetime.datetime.strptime(' '.join(line.split()[:2]), '%d.%m.%Y %H:%M:%S')
        due = datetime.datetime.strptime(line.split(' до ')[1].strip(), '%d.%m.%Y %H:%M:%S')
        self.assertLessEqual((due - logged).total_seconds(), 3601, line)

        # A later file of the name the folder stood at is relayed normally.
        relay.put('folder.eml', plain(b'someone@example.net', 'folder again'))
        relay.run()
        self.assertEqual([m['subject'] for m in sink.messages()], ['folder again'])

    def test_a_file_the_relay_died_on_twice_is_set_aside(self):
        relay = Relay(self, 'poison')
        sink = relay.start_sink()
        relay.configure()
        relay.run()
        relay.put('poison.eml', plain(b'someone@example.net', 'poison'))
        relay.put('next.eml', plain(b'someone@example.net', 'next'))
        st = os.stat(os.path.join(relay.drop, 'poison.eml'))
        facts = '%d %d %d %d' % (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
        # What a relay killed while parsing this file leaves behind, the second time.
        with open(relay.path('drop.droprelay-state', 'sent', 'poison.eml'), 'w') as f:
            f.write('W 1 0 %s\n' % facts)
        run = relay.run()
        log = relay.log()
        self.assertEqual(run.returncode, 0, log)
        self.assertEqual([m['subject'] for m in sink.messages()], ['next'], 'the file behind it goes out')
        self.assertEqual(reason(relay, 'poison.eml')['outcome'], 'killed-twice')
        self.assertIn('работа программы дважды прервалась на этом файле', log)


class NotTheRelaysFiles(unittest.TestCase):
    def test_hard_links_and_files_over_the_limit_are_set_aside_unread(self):
        relay = Relay(self, 'links')
        sink = relay.start_sink()
        relay.configure(extra='max_message_size=1000\n')
        secret = relay.path('secret.eml')
        with open(secret, 'wb') as f:
            f.write(plain(b'someone@example.net', 'root only'))
        os.chmod(secret, 0o600)
        os.link(secret, os.path.join(relay.drop, 'linked.eml'))
        os.utime(secret, (1, 1))
        relay.put('big.eml', plain(b'someone@example.net', 'big', 'x' * 2000))
        relay.put('small.eml', plain(b'someone@example.net', 'small'))
        run = relay.run()
        log = relay.log()
        self.assertEqual(run.returncode, 0, log)
        self.assertEqual([m['subject'] for m in sink.messages()], ['small'])
        self.assertEqual(reason(relay, 'linked.eml')['outcome'], 'not-own-file')
        self.assertEqual(reason(relay, 'big.eml')['outcome'], 'too-large')
        self.assertNotIn('root only', log, 'never read')
        with open(secret, 'rb') as f:
            self.assertIn(b'root only', f.read())


class FullStateFolder(unittest.TestCase):
    def test_a_state_folder_that_fills_up_ends_the_run_with_73_and_sends_nothing_twice(self):
        if os.geteuid() != 0:
            self.skipTest('mounting a small tmpfs needs root')
        relay = Relay(self, 'full')
        sink = relay.start_sink()
        state = relay.path('state')
        os.mkdir(state)
        if subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=64k', 'tmpfs', state]).returncode != 0:
            self.skipTest('cannot mount a tmpfs here')
        self.addCleanup(subprocess.run, ['umount', '-l', state])
        relay.configure(extra='state_path=%s\n' % state)
        for i in range(3):
            relay.put('m%d.eml' % i, plain(b'someone@example.net', 'message %d' % i))
        filler = os.path.join(state, '.filler')
        run = relay.run()  # a normal run first: the folder works
        self.assertEqual(run.returncode, 0, relay.log())
        self.assertEqual(sink.count(), 3)
        for i in range(3):
            relay.put('n%d.eml' % i, plain(b'someone@example.net', 'next %d' % i))
        try:
            with open(filler, 'wb') as f:
                while True:
                    f.write(b'x' * 4096)
                    f.flush()
        except OSError:
            pass  # full to the last block
        run = relay.run()
        log = relay.log()
        self.assertEqual(run.returncode, 73, log)
        self.assertEqual(sink.count(), 3, 'no file is taken without its note')
        self.assertIn(b'state', run.stderr)
        os.remove(filler)
        run = relay.run()
        self.assertEqual(run.returncode, 0, relay.log())
        self.assertEqual(sink.count(), 6, 'each message exactly once')


    def test_a_full_archive_is_found_at_start_up_before_anything_is_sent(self):
        if os.geteuid() != 0:
            self.skipTest('mounting a small tmpfs needs root')
        relay = Relay(self, 'full-archive')
        sink = relay.start_sink()
        archive = relay.path('archive')
        if subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=64k', 'tmpfs', archive]).returncode != 0:
            self.skipTest('cannot mount a tmpfs here')
        self.addCleanup(subprocess.run, ['umount', '-l', archive])
        try:
            with open(os.path.join(archive, '.filler'), 'wb') as f:
                while True:
                    f.write(b'x' * 4096)
                    f.flush()
        except OSError:
            pass  # full to the last block; an empty file would still fit
        relay.configure()
        relay.put('m.eml', plain(b'someone@example.net', 'waits for room'))
        run = relay.run(timeout=60)
        self.assertEqual(run.returncode, 73, relay.log())
        self.assertIn('Папка недоступна для записи: ' + archive, relay.log())
        self.assertEqual(sink.count(), 0)
        self.assertEqual(relay.listing('drop'), ['m.eml'])

if __name__ == '__main__':
    unittest.main(verbosity=2)
