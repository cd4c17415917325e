#!/usr/bin/python3
"""The real binary against a server that breaks the dialogue: a connection cut in the middle of a
message's data or after its final dot is never used again (the next message opens a new one),
and the end of a run never waits long for the answer to QUIT, nor at all once a stop was asked.
What each connection saw is read from the sink's event log (smtp_sink.py --log-events).

Needs DROPRELAY_BIN and DROPRELAY_SOURCE_DIR (set by CTest)."""

import os
import signal
import subprocess
import unittest

from relay_harness import Relay, plain, with_attachment

UNANSWERED = 'ответ сервера на отправленное письмо не получен'
ENVELOPE = ['connected', 'EHLO', 'NOOP', 'MAIL', 'RCPT']


def events(sink):
    """What each connection saw, by its number."""
    seen = {}
    path = os.path.join(sink.folder, 'events.log')
    with open(path) as f:
        for line in f.read().splitlines():
            number, _, event = line.partition(' ')
            seen.setdefault(int(number), []).append(event)
    return seen


def wait_closed(sink, count):
    """Reads the sink's notices until `count` connections have ended."""
    closed = set()
    while len(closed) < count:
        line = sink.process.stdout.readline()
        if not line:
            raise AssertionError('the sink ended with %d connection(s) closed' % len(closed))
        if line.startswith('CLOSED '):
            closed.add(line.split()[1])


class BrokenConnections(unittest.TestCase):
    def test_a_connection_cut_during_a_message_is_not_used_again(self):
        # Each attachment is larger than what the buffers on the way hold, so a cut in the middle
        # of the data comes before its end, whichever of the two files the run takes first.
        big = os.urandom(12 << 20)
        cases = (
            ('cut in the middle of the data', '--drop-data', False, ['DATA', 'closed']),
            ('cut after the final dot, unanswered', '--drop-after-data', True, ['DATA', 'end-of-data', 'closed']),
        )
        for what, fault, uncertain, broken in cases:
            with self.subTest(what):
                relay = Relay(self, 'breaks')
                sink = relay.start_sink('--log-events', '--notify-ending', '--once', fault)
                relay.configure()
                for name in ('a.eml', 'b.eml'):
                    relay.put(name, with_attachment(b'ivan@example.net', 'data.bin', big, subject=name))
                run = relay.run()
                log = relay.log()
                self.assertEqual(run.returncode, 75, log)
                wait_closed(sink, 2)
                seen = events(sink)
                self.assertEqual(sorted(seen), [1, 2], seen)
                self.assertEqual(seen[1], ENVELOPE + broken)
                self.assertEqual(seen[2], ['connected', 'EHLO', 'RSET', 'MAIL', 'RCPT', 'DATA', 'end-of-data', 'QUIT',
                                           'replied QUIT', 'closed'])
                self.assertEqual(sink.count(), 1, log)
                delivered = sink.messages()[0]['subject']
                self.assertEqual(relay.listing('archive'), [delivered])
                self.assertEqual(relay.listing('drop'), sorted({'a.eml', 'b.eml'} - {delivered}))
                # Only a dot that went out leaves the message in doubt.
                self.assertEqual(UNANSWERED in log, uncertain, log)
                sink.stop()


class EndOfRun(unittest.TestCase):
    def test_a_server_that_does_not_answer_quit_does_not_hold_the_end_of_the_run(self):
        relay = Relay(self, 'quit')
        # The answer would come after a minute; the run does not wait for it.
        sink = relay.start_sink('--log-events', '--notify-ending', '--quit-reply-after', '60')
        relay.configure()
        relay.put('m.eml', plain(b'ivan@example.net', subject='quit unanswered'))
        run = relay.run(timeout=300)
        self.assertEqual(run.returncode, 0, relay.log())
        wait_closed(sink, 1)
        self.assertEqual(events(sink)[1], ENVELOPE + ['DATA', 'end-of-data', 'QUIT', 'closed'])
        self.assertEqual(sink.count(), 1)
        self.assertEqual(relay.listing('archive'), ['m.eml'])

    def test_a_stop_ends_the_run_without_quit(self):
        relay = Relay(self, 'stop-quit')
        sink = relay.start_sink('--log-events', '--notify-ending', '--notify-data', '--stall-data', '2',
                                '--quit-reply-after', '60')
        relay.configure()
        relay.put('m.eml', plain(b'ivan@example.net', subject='stopped after the data'))
        run = relay.start()
        self.assertEqual(sink.process.stdout.readline().split(), ['RECEIVED', '1'])
        run.send_signal(signal.SIGTERM)
        try:
            run.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            run.kill()
            run.communicate()
            self.fail('the run did not end after SIGTERM:\n' + relay.log())
        self.assertGreaterEqual(run.returncode, 0, 'ended in order, not killed by the signal')
        wait_closed(sink, 1)
        # The answer to the data was awaited; then the connection closed without QUIT.
        self.assertEqual(events(sink)[1], ENVELOPE + ['DATA', 'end-of-data', 'closed'])
        self.assertEqual(sink.count(), 1)
        self.assertEqual(relay.listing('archive'), ['m.eml'])
        self.assertIn('Получен сигнал завершения', relay.log())


if __name__ == '__main__':
    unittest.main()
