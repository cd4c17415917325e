"""The first week's mistakes with the real program: no configuration at all, typos and words in the
configuration, sending left off, and two relays on two drop folders in one parent folder."""

import fcntl
import os
import shutil
import subprocess
import tempfile
import unittest

from relay_harness import BIN, Relay, plain


def run(command, env=None, cwd=None):
    env = dict(env or os.environ, QT_QPA_PLATFORM='offscreen')
    env.pop('DISPLAY', None)
    env.pop('WAYLAND_DISPLAY', None)
    return subprocess.run(command, env=env, cwd=cwd, timeout=120, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


class NoConfiguration(unittest.TestCase):
    def test_a_copy_without_an_ini_touches_nothing(self):
        folder = tempfile.mkdtemp(prefix='droprelay-noini-')
        self.addCleanup(shutil.rmtree, folder, True)
        program = os.path.join(folder, 'droprelay')
        shutil.copy(BIN, program)
        for command in ([program], [program, '--check-config']):
            with self.subTest(command=command[1:]):
                result = run(command)
                self.assertEqual(result.returncode, 78, result.stderr)
                self.assertIn(program + '.ini', result.stderr.decode())
                self.assertEqual(sorted(os.listdir(folder)), ['droprelay'], 'no log, no state, nothing')
        self.assertIn(b'nothing was done', run([program]).stderr)


class ConfigurationChecked(unittest.TestCase):
    def test_mistakes_are_said_once_each_and_the_run_goes_on(self):
        relay = Relay(self, 'checked')
        relay.configure(port=1, send_mail=0)
        with open(relay.ini, 'a') as f:
            f.write('domian_name=typo.example\nDelete_or_move=yes\n[Sytem]\nsend_mail=1\n[system]\nsend_mail=1\n')
        relay.put('m.eml', plain(b'a@example.net'))
        result = relay.run()
        self.assertEqual(result.returncode, 0, result.stderr)
        errors = result.stderr.decode().splitlines()
        base = len(open(relay.ini).read().splitlines()) - 6
        self.assertEqual(errors, [
            'droprelay: warning: %s:%d: unknown key domian_name in [System] (did you mean domain_name? it keeps '
            'its default: example.org); not read' % (relay.ini, base + 1),
            'droprelay: warning: %s:%d: Delete_or_move=yes is not a number (0 or 1); the default 0 is used'
            % (relay.ini, base + 2),
            'droprelay: warning: %s:%d: unknown section [Sytem] (did you mean [System]?); its keys are not read'
            % (relay.ini, base + 3),
            'droprelay: warning: %s:%d: section [system] repeats the section of line 1 and is not read (only the '
            'first is); move its keys there' % (relay.ini, base + 5),
            'droprelay: warning: sending is off (send_mail=0): messages are not sent, their files are moved to '
            + relay.path('archive') + '/',
        ])
        log = relay.log()
        self.assertIn('Предупреждение настроек: %s, строка %d: неизвестный ключ domian_name' % (relay.ini, base + 1), log)
        self.assertIn('Отправка писем выключена (send_mail=0): письма не отправляются, файлы перемещаются в '
                      + relay.path('archive') + '/', log)
        # As the profile rules say: the default (move), not "yes".
        self.assertEqual(relay.listing('archive'), ['m.eml'])

    def test_check_config_lists_settings_and_exits_78_on_any_warning(self):
        relay = Relay(self, 'checkcfg')
        relay.configure(port=1)
        result = run(relay.command() + ['--check-config'], env=relay.env())
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, b'')
        out = result.stdout.decode()
        self.assertIn('\ndomain_name = corp.example  # %s:3\n' % relay.ini, out)
        self.assertIn('\nstate_path = %s.droprelay-state/  # default: named after the drop folder\n' % relay.drop, out)
        self.assertIn('\nsend_mail = 1  # %s:' % relay.ini, out)
        self.assertIn('# profiles file: ' + relay.path('profiles.ini'), out)
        with open(relay.ini, 'a') as f:
            f.write('send_mail=2\nPassword=Secret-5\nhtml_wait_ms=fast\n')
        result = run(relay.command() + ['--check-config'], env=relay.env())
        self.assertEqual(result.returncode, 78)
        self.assertIn(b'key send_mail repeats line', result.stderr)
        self.assertIn(b'html_wait_ms=fast is not a number of 0 or more; the default 7000 is used', result.stderr)
        self.assertNotIn(b'Secret-5', result.stdout + result.stderr)
        self.assertFalse(os.path.exists(relay.log_file), '--check-config writes no log')


class TwoDropFolders(unittest.TestCase):
    def test_two_relays_in_one_parent_run_side_by_side(self):
        relay = Relay(self, 'twodrops')
        sink = relay.start_sink('--notify-accepted')
        relay.configure()
        second_drop = relay.path('drop2')
        os.mkdir(second_drop)
        second_ini = relay.path('second.ini')
        with open(relay.ini) as f, open(second_ini, 'w') as o:
            o.write(f.read().replace(relay.drop + '/', second_drop + '/'))
        relay.put('first.eml', plain(b'a@example.net', 'first folder'))
        relay.put('held.eml', plain(b'a@example.net', 'held by its writer'))
        with open(os.path.join(second_drop, 'second.eml'), 'wb') as f:
            f.write(plain(b'b@example.net', 'second folder'))
        os.utime(os.path.join(second_drop, 'second.eml'), (0, 0))
        # The first relay keeps running (and holding its lock) while a writer holds one of its files.
        writer = open(os.path.join(relay.drop, 'held.eml'), 'rb')
        fcntl.flock(writer, fcntl.LOCK_EX)
        first = relay.start()
        self.assertEqual(sink.process.stdout.readline().split(), ['ACCEPTED', '1'])
        second = relay.run(config=second_ini)
        self.assertEqual((second.returncode, second.stderr), (0, b''), 'the second drop folder is not busy')
        self.assertIsNone(first.poll(), 'both ran at the same time')
        fcntl.flock(writer, fcntl.LOCK_UN)
        writer.close()
        out, err = first.communicate(timeout=120)
        self.assertEqual((first.returncode, err), (0, b''))
        self.assertEqual(sorted(m['subject'] for m in sink.messages()), ['first folder', 'held by its writer', 'second folder'])
        self.assertEqual(sorted(os.listdir(relay.root)), sorted(
            ['archive', 'drop', 'drop.droprelay-state', 'drop2', 'drop2.droprelay-state', 'failed', 'profiles.ini', 'received',
             'relay.ini', 'relay.log', 'second.ini', 'second.log', 'staging', 'temp']))


if __name__ == '__main__':
    unittest.main(verbosity=2)
