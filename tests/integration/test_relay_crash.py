#!/usr/bin/python3
"""The real binary killed at the worst moments: kill -9 right after the server has answered 250
to a message with an attachment (then started again, until the drop folder is empty), and
SIGTERM in the middle of the HTML engine's waits. Every message must arrive exactly once.

Needs DROPRELAY_BIN and DROPRELAY_SOURCE_DIR (set by CTest)."""

import collections
import os
import select
import shutil
import signal
import subprocess
import time
import unittest

from relay_harness import Relay, with_attachment, plain


class KilledAfterAcceptance(unittest.TestCase):
    def test_kill_9_after_the_250_never_gives_a_second_copy(self):
        relay = Relay(self, 'kill9')
        sink = relay.start_sink('--notify-accepted')
        relay.configure()
        count = 6
        for i in range(count):
            relay.put('m%d.eml' % i, with_attachment(b'a@example.net', 'part%d.pdf' % i, b'%%PDF %d' % i,
                                                     'message %d' % i))
            # A folder of the same name in the archive makes every move fail until it is removed,
            # so the relay is still busy with the file when it is killed (as with a full archive).
            os.makedirs(relay.path('archive', 'm%d.eml' % i, 'blocker'))
        # How long after the server's 250 the relay dies. Before the relay has read the reply
        # nothing can be known (SMTP's own duplicate window); from then on nothing may be sent again.
        delays = [0.05, 0.3, 1.0, 0.1, 0.6, 0.2]
        kills = 0
        journal = relay.path('drop.droprelay-state', 'sent')
        noted = set()
        for attempt in range(3 * count):
            process = relay.start()
            line = ''
            while process.poll() is None and not line:
                ready, _, _ = select.select([sink.process.stdout], [], [], 0.5)
                if ready:
                    line = sink.process.stdout.readline()
            if line.startswith('ACCEPTED') and process.poll() is None:
                time.sleep(delays[kills % len(delays)])
                process.kill()
                kills += 1
                process.communicate(timeout=30)
                # The archive is repaired before the next start.
                for name in os.listdir(journal):
                    noted.add(name)
                    shutil.rmtree(relay.path('archive', name), ignore_errors=True)
                continue
            process.communicate(timeout=300)
            self.assertEqual(process.returncode, 0, relay.log())
            break
        self.assertEqual(kills, count, relay.log())
        self.assertEqual(len(noted), count, 'every acceptance was on disk when the relay died')
        self.assertEqual(relay.listing('drop'), [], relay.log())
        self.assertEqual(os.listdir(journal), [], 'notes removed after the disposal')
        subjects = collections.Counter(m['subject'] for m in sink.messages())
        self.assertEqual(subjects, collections.Counter('message %d' % i for i in range(count)), relay.log())
        for message in sink.messages():
            self.assertEqual(len(list(message.iter_attachments())), 1)
        self.assertEqual(relay.log().count('уже принят к отправке ранее, повторно не отправляется'), count)


def wait_for_log(relay, process, done):
    """Polls the log until done(log) holds; fails when the run ends first or never gets there."""
    deadline = time.monotonic() + 120
    while not done(relay.log()):
        if process.poll() is not None or time.monotonic() > deadline:
            raise AssertionError('the run never got there:\n' + relay.log())
        time.sleep(0.05)


class StoppedBySignal(unittest.TestCase):
    def test_sigterm_cuts_the_html_waits_short(self):
        relay = Relay(self, 'sigterm')
        sink = relay.start_sink()
        # Two waits of an hour each: a run that sat them out could not end before the guard below.
        relay.configure(extra='html_wait_ms=3600000\n')
        html = (b'From: a@example.net\r\nTo: b@example.net\r\nSubject: html only\r\n'
                b'Content-Type: text/html; charset=utf-8\r\n\r\n<p>Hello</p>\r\n')
        relay.put('h.eml', html)
        relay.put('later.eml', plain(b'c@example.net', 'later'))
        process = relay.start()
        # The HTML message's recipient comes before the engine's waits; a stop asked before a wait
        # has begun ends it as soon as it begins. (The folder's order decides which file is first.)
        wait_for_log(relay, process, lambda log: 'Адресат после обработки: b@corp.example' in log)
        process.send_signal(signal.SIGTERM)
        try:
            process.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            self.fail('the stop did not cut the waits short:\n' + relay.log())
        self.assertGreaterEqual(process.returncode, 0, 'ended in order, not killed by the signal')
        self.assertIn('Получен сигнал завершения', relay.log())
        self.assertTrue(relay.log().rstrip().endswith('Завершение работы...'))
        # The message whose step was under way is either sent and disposed of or left whole;
        # a second run finishes the rest, and nothing arrives twice.
        relay.configure(extra='html_wait_ms=0\n')
        process = relay.start()
        process.communicate(timeout=120)
        self.assertEqual(process.returncode, 0, relay.log())
        self.assertEqual(sorted(m['subject'] for m in sink.messages()), ['html only', 'later'])
        self.assertEqual(relay.listing('drop'), [])


    def test_sigterm_ends_the_disposal_attempts_and_the_file_is_not_sent_again(self):
        relay = Relay(self, 'sigterm-archive')
        sink = relay.start_sink('--notify-accepted')
        relay.configure()
        relay.put('m.eml', plain(b'a@example.net', 'archived later'))
        # The archive cannot take the file: the relay tries the move once a second.
        os.makedirs(relay.path('archive', 'm.eml', 'blocker'))
        process = relay.start()
        self.assertTrue(sink.process.stdout.readline().startswith('ACCEPTED'))
        failed_move = 'Файл m.eml переместить НЕ УДАЛОСЬ!'
        # Two failed attempts logged: the relay is in its attempts, one a second, a hundred at most.
        wait_for_log(relay, process, lambda log: log.count(failed_move) >= 2)
        seen = relay.log().count(failed_move)
        process.send_signal(signal.SIGTERM)
        process.communicate(timeout=300)
        self.assertGreaterEqual(process.returncode, 0, 'ended in order, not killed by the signal')
        # The attempts end with the stop: at most the one under way when it came goes on, never
        # the rest of the hundred.
        self.assertLessEqual(relay.log().count(failed_move), seen + 2, relay.log())
        self.assertEqual(relay.listing('drop'), ['m.eml'])
        shutil.rmtree(relay.path('archive', 'm.eml'))
        run = relay.run()
        self.assertEqual(run.returncode, 0, relay.log())
        self.assertIn('Файл m.eml уже принят к отправке ранее, повторно не отправляется', relay.log())
        self.assertEqual(sink.count(), 1)
        self.assertEqual(relay.listing('archive'), ['m.eml'])


if __name__ == '__main__':
    unittest.main(verbosity=2)
