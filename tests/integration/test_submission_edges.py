#!/usr/bin/python3
"""The real binary at the edges of a submission: a stop signal while the server has not even
greeted, a server that cannot be reached for a run's several files, a refused copy recipient, and
messages that come back to the relay (mail loops).

Needs DROPRELAY_BIN and DROPRELAY_SOURCE_DIR (set by CTest)."""

import email
import email.policy
import json
import os
import signal
import socket
import subprocess
import unittest

from relay_harness import Relay, plain


def quarantined(relay):
    """The messages in the quarantine folder (not the reason files beside them)."""
    return [name for name in relay.listing('failed') if not name.endswith('.reason')]


def connections(sink):
    path = os.path.join(sink.folder, 'connections.log')
    if not os.path.exists(path):
        return 0
    with open(path) as f:
        return len(f.readlines())


class Stops(unittest.TestCase):
    def test_a_stop_signal_ends_a_submission_waiting_for_the_greeting(self):
        for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=signum.name):
                relay = Relay(self, 'stop')
                sink = relay.start_sink('--never-greet')
                relay.configure()
                relay.put('m.eml', plain(b'ivan@example.net'))
                run = relay.start()
                # The relay has connected and waits for a greeting that never comes (up to five
                # minutes): the stop must not wait for that.
                self.assertEqual(sink.process.stdout.readline().split(), ['CONNECTED', '1'])
                run.send_signal(signum)
                try:
                    run.communicate(timeout=60)
                except subprocess.TimeoutExpired:
                    run.kill()
                    run.communicate()
                    self.fail('the run did not end after %s:\n%s' % (signum.name, relay.log()))
                self.assertGreaterEqual(run.returncode, 0, 'ended in order, not killed by the signal')
                log = relay.log()
                self.assertIn('Получен сигнал завершения', log)
                self.assertIn('Stopped by a termination signal before the message was sent', log)
                self.assertEqual(relay.listing('drop'), ['m.eml'], 'the file stays for the next run')
                self.assertEqual(relay.listing('archive'), [])
                self.assertEqual(connections(sink), 1)
                # A stop is no failed attempt: the next run sends the file at once.
                working = relay.start_sink()
                relay.configure()
                self.assertEqual(relay.run().returncode, 0, relay.log())
                self.assertEqual(working.count(), 1)


class UnreachableServer(unittest.TestCase):
    def test_the_runs_other_files_wait_without_another_attempt(self):
        relay = Relay(self, 'unreachable')
        sink = relay.start_sink('--hang-up')
        relay.configure()
        for name in ('a.eml', 'b.eml', 'c.eml'):
            relay.put(name, plain(b'ivan@example.net', subject=name))
        run = relay.run()
        log = relay.log()
        self.assertEqual(run.returncode, 75, log)
        self.assertEqual(connections(sink), 1, log)
        self.assertEqual(relay.listing('drop'), ['a.eml', 'b.eml', 'c.eml'])
        self.assertEqual(log.count('not tried again in this run'), 2, log)


class CopyRecipient(unittest.TestCase):
    def test_a_refused_copy_does_not_hold_back_the_main_recipient(self):
        relay = Relay(self, 'copy')
        sink = relay.start_sink('--reject-rcpt', '550:archive@copies.example')
        relay.configure(copy_to='archive@copies.example')
        relay.put('m.eml', plain(b'Ivan <ivan@example.net>', subject='to the main recipient'))
        run = relay.run()
        log = relay.log()
        self.assertEqual(run.returncode, 0, log)
        self.assertEqual(sink.count(), 1, log)
        with open(os.path.join(sink.folder, '1.envelope')) as f:
            self.assertEqual(json.load(f)['rcpt_tos'], ['ivan@corp.example'])
        self.assertEqual(sink.messages()[0]['subject'], 'to the main recipient')
        self.assertIn('Копия не доставлена, письмо отправлено без нее: "archive@copies.example" '
                      '(550 5.1.1 <archive@copies.example>: recipient rejected by the test);', log)
        self.assertEqual(relay.listing('archive'), ['m.eml'])
        self.assertEqual(quarantined(relay), [])

    def test_a_refused_main_recipient_still_fails_the_message(self):
        relay = Relay(self, 'main')
        sink = relay.start_sink('--reject-rcpt', '550:ivan@corp.example')
        relay.configure(copy_to='archive@copies.example')
        relay.put('m.eml', plain(b'ivan@example.net'))
        relay.run()
        self.assertEqual(sink.count(), 0, relay.log())
        self.assertEqual(quarantined(relay), ['m.eml'], relay.log())
        self.assertNotIn('Копия не доставлена', relay.log())


class MailLoops(unittest.TestCase):
    def received(self, sink, n):
        with open(os.path.join(sink.folder, '%d.eml' % n), 'rb') as f:
            return f.read()

    def test_a_message_that_comes_back_is_quarantined_and_another_relay_takes_it(self):
        relay = Relay(self, 'loop')
        sink = relay.start_sink()
        relay.configure()
        relay.put('first.eml', plain(b'ivan@example.net', subject='round trip'))
        self.assertEqual(relay.run().returncode, 0, relay.log())
        self.assertEqual(sink.count(), 1)
        sent = self.received(sink, 1)
        trace = 'Received: by %s (droprelay %s/);' % (socket.gethostname().lower(), relay.drop)
        self.assertTrue(sent.startswith(trace.encode() + b'\r\n\t'), sent[:200])

        # The organisation's mail server hands it back into the same drop folder.
        relay.put('back.eml', b'Received: from mx.corp.example by mx.corp.example; Mon, 7 Dec 2026 10:00:00 +0000\r\n'
                  + sent)
        self.assertEqual(relay.run().returncode, 0, relay.log())
        self.assertEqual(sink.count(), 1, 'not sent round again')
        self.assertEqual(quarantined(relay), ['back.eml'])
        self.assertIn('петля пересылки (mail loop)', relay.log())

        # A second relay on another drop folder of the same host is another hop, not a loop.
        other = Relay(self, 'other')
        other.sink = sink
        other.configure(port=sink.port)
        other.put('from-the-first.eml', sent)
        self.assertEqual(other.run().returncode, 0, other.log())
        self.assertEqual(sink.count(), 2, other.log())
        self.assertEqual(quarantined(other), [])
        # It carries both relays' traces, the second's first: back at the first relay, it stops.
        twice = self.received(sink, 2)
        traces = email.message_from_bytes(twice, policy=email.policy.default).get_all('Received')
        self.assertEqual(len(traces), 2, twice[:400])
        self.assertIn('(droprelay %s/)' % other.drop, traces[0])
        self.assertIn('(droprelay %s/)' % relay.drop, traces[1])
        relay.put('round-two.eml', twice)
        self.assertEqual(relay.run().returncode, 0, relay.log())
        self.assertEqual(sink.count(), 2)
        self.assertEqual(quarantined(relay), ['back.eml', 'round-two.eml'])

    def test_more_than_25_hops_is_a_loop(self):
        relay = Relay(self, 'hops')
        sink = relay.start_sink()
        relay.configure()
        for hops in (25, 26):
            lines = b''.join(b'Received: from hop%d by hop%d; Mon, 7 Dec 2026 10:00:00 +0000\r\n' % (i, i + 1)
                             for i in range(hops))
            relay.put('hops-%d.eml' % hops, lines + plain(b'ivan@example.net', subject='%d hops' % hops))
        self.assertEqual(relay.run().returncode, 0, relay.log())
        self.assertEqual([m['subject'] for m in sink.messages()], ['25 hops'], relay.log())
        self.assertEqual(quarantined(relay), ['hops-26.eml'])


if __name__ == '__main__':
    unittest.main()
