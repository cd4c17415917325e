"""Exactly once from outside one run's view, with the real binary: one drop folder reached by two
names has one lock, and an error the system reports about one drop file (injected with strace)
defers it with the system's words instead of setting a good message aside."""

import os
import subprocess
import time
import unittest

from relay_harness import Relay, plain


class OneFolderTwoNames(unittest.TestCase):
    def test_two_runs_through_a_link_and_dot_send_each_message_once(self):
        relay = Relay(self, 'names')
        sink = relay.start_sink('--stall-data', '0.2')
        relay.configure(interval_ms=0)
        for n in range(20):
            relay.put('m%02d.eml' % n, plain(b'user%d@elsewhere.example' % n))
        os.symlink(relay.drop, relay.path('link'))
        # Two configurations, the default state folders each: the drop folder named through the
        # link, and as "drop/./".
        configs = []
        for name, folder in (('via-link.ini', relay.path('link')), ('via-dot.ini', relay.drop + '/.')):
            with open(relay.ini) as f:
                text = f.read().replace('Smtp_DropMail_path=%s/' % relay.drop, 'Smtp_DropMail_path=%s/' % folder)
            path = relay.path(name)
            with open(path, 'w') as f:
                f.write(text)
            configs.append(path)
        first = relay.start(config=configs[0])
        deadline = time.monotonic() + 60
        while sink.count() < 1 and first.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        second = relay.start(config=configs[1])
        _, second_err = second.communicate(timeout=120)
        _, first_err = first.communicate(timeout=300)
        self.assertEqual(second.returncode, 75, second_err)
        self.assertEqual(first.returncode, 0, first_err)
        self.assertEqual(sink.count(), 20)
        subjects = sorted(m['To'] for m in sink.messages())
        self.assertEqual(len(set(subjects)), 20, 'each message once')
        # One state folder, beside the real folder, whatever name led there.
        self.assertEqual(sorted(n for n in os.listdir(relay.root) if n.endswith('.droprelay-state')),
                         ['drop.droprelay-state'])


class SystemErrorsDefer(unittest.TestCase):
    def test_an_io_error_opening_a_drop_file_defers_it_with_the_error(self):
        relay = Relay(self, 'eio')
        sink = relay.start_sink()
        relay.configure()
        relay.put('m.eml', plain(b'user@elsewhere.example'))
        target = os.path.join(relay.drop, 'm.eml')
        run = subprocess.run(['strace', '-f', '-o', '/dev/null', '-P', target, '-e', 'inject=openat:error=EIO']
                             + relay.command(), env=relay.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             timeout=120)
        self.assertEqual(run.returncode, 75, run.stderr)
        self.assertEqual(sink.count(), 0)
        self.assertEqual(relay.listing('drop'), ['m.eml'])
        self.assertEqual(relay.listing('failed'), [], 'a good message is not set aside')
        self.assertIn('системная ошибка при чтении файла (Input/output error)', relay.log())
        # The error passes: the next run sends it, once.
        relay.flush()
        again = relay.run()
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertEqual(sink.count(), 1)
        self.assertEqual(relay.listing('drop'), [])


if __name__ == '__main__':
    unittest.main()
