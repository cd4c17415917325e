#!/usr/bin/python3
"""The queue seen, flushed and released with the real binary: a message deferred against a server
that answers 4xx is listed, --check rates it, --flush makes it due so the next run sends it; one
refused for good is listed from the quarantine with its reason file, released and sent; the
metrics file and the stderr report of each run; 78 when the mail profile cannot be found.

Needs DROPRELAY_BIN and DROPRELAY_SOURCE_DIR (set by CTest)."""

import fcntl
import json
import os
import socket
import subprocess
import unittest

from relay_harness import BIN, Relay, plain


def queue_command(relay, *options):
    return subprocess.run([BIN, '--config', relay.ini, *options], env=relay.env(), timeout=60,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def queue_json(relay):
    listed = queue_command(relay, '--queue', '--json')
    assert listed.returncode == 0, listed.stderr
    return json.loads(listed.stdout)


def metrics(relay):
    """The metrics file as {name: (labels, value)}, checking the exposition format on the way."""
    found = {}
    with open(relay.path('metrics', 'droprelay.prom')) as f:
        lines = f.read().splitlines()
    for line in lines:
        if line.startswith('# HELP ') or line.startswith('# TYPE '):
            continue
        name_labels, value = line.rsplit(' ', 1)
        name, labels = name_labels.split('{', 1)
        found[name] = (labels.rstrip('}'), float(value))
    for name in found:
        assert '# TYPE %s gauge' % name in lines, name
    return found


def write_reason(relay, name, **fields):
    with open(relay.path('failed', name + '.reason'), 'w') as f:
        f.write(''.join('%s=%s\n' % item for item in fields.items()))


class QueueCommands(unittest.TestCase):
    def configure(self, relay, port=None):
        os.makedirs(relay.path('metrics'), exist_ok=True)
        relay.configure(port=port, extra='metrics_path=%s\n' % relay.path('metrics', 'droprelay.prom'))

    def test_deferred_file_is_listed_checked_flushed_and_then_sent(self):
        relay = Relay(self, 'queue')
        relay.start_sink('--reject-data', '451')
        self.configure(relay)
        relay.put('m.eml', plain(b'someone@example.net', 'waits'))

        run = relay.run()
        self.assertEqual(run.returncode, 75, relay.log())
        self.assertEqual(run.stderr.decode().splitlines(),
                         ['droprelay: deferred 1 file (m.eml): сервер временно отказал в приеме'])
        listed = queue_json(relay)
        self.assertEqual(listed['quarantined'], [])
        [waiting] = listed['waiting']
        self.assertEqual((waiting['name'], waiting['size'], waiting['attempts']),
                         ('m.eml', os.path.getsize(os.path.join(relay.drop, 'm.eml')), 1))
        self.assertEqual(waiting['last_reason'], 'сервер временно отказал в приеме')
        self.assertGreater(waiting['next_attempt'], waiting['first_failure'])
        gauges = metrics(relay)
        self.assertEqual({name: value for name, (_, value) in gauges.items()},
                         {'droprelay_waiting_files': 1, 'droprelay_quarantined_files': 0,
                          'droprelay_last_run_relayed_files': 0, 'droprelay_last_run_exit_status': 75,
                          'droprelay_last_run_end_timestamp_seconds': gauges[
                              'droprelay_last_run_end_timestamp_seconds'][1]})
        self.assertGreaterEqual(gauges['droprelay_last_run_end_timestamp_seconds'][1], waiting['first_failure'])
        self.assertEqual(gauges['droprelay_waiting_files'][0], 'drop_folder="%s/"' % relay.drop)

        human = queue_command(relay, '--queue')
        self.assertEqual(human.returncode, 0)
        self.assertIn('m.eml', human.stdout.decode())
        self.assertIn('сервер временно отказал в приеме', human.stdout.decode())

        # The age counts from the first failure: just deferred, it is under any threshold above 0.
        for options, status, word in ((), 0, 'OK'), (('--warn-age', '0'), 1, 'WARNING'), \
                                     (('--warn-age', '0', '--crit-age', '0'), 2, 'CRITICAL'):
            with self.subTest(options=options):
                check = queue_command(relay, '--check', *options)
                self.assertEqual(check.returncode, status, check.stdout)
                self.assertRegex(check.stdout.decode(),
                                 r'^DROPRELAY %s - 1 waiting \(oldest \d+ min\), 0 quarantined \| waiting=1 '
                                 r'quarantined=0 oldest_age=\d+s;\d+;\d+;0\n$' % word)

        # Started again at once, the file is not due; after --flush it is, and the server now takes it.
        relay.sink.stop()
        relay.start_sink()
        self.configure(relay)
        self.assertEqual(relay.run().returncode, 75, 'not yet due')
        self.assertEqual(relay.sink.count(), 0)
        flush = queue_command(relay, '--flush')
        self.assertEqual((flush.returncode, flush.stdout), (0, b'1 waiting file is due now; the next run takes them\n'))
        run = relay.run()
        self.assertEqual((run.returncode, run.stderr), (0, b''), relay.log())
        self.assertEqual([m['subject'] for m in relay.sink.messages()], ['waits'])
        self.assertEqual(queue_json(relay), {'waiting': [], 'quarantined': [], 'config_fault': None})
        self.assertEqual(queue_command(relay, '--check').returncode, 0)
        gauges = metrics(relay)
        self.assertEqual((gauges['droprelay_waiting_files'][1], gauges['droprelay_last_run_relayed_files'][1],
                          gauges['droprelay_last_run_exit_status'][1]), (0, 1, 0))
        self.assertEqual([n for n in os.listdir(relay.path('metrics'))], ['droprelay.prom'],
                         'no temporary file left beside it')

    def test_quarantined_file_is_listed_and_released(self):
        relay = Relay(self, 'release')
        relay.start_sink('--reject-rcpt', '550:bounce@corp.example')
        self.configure(relay)
        relay.put('bounce.eml', plain(b'bounce@example.net'))
        relay.put('fine.eml', plain(b'fine@example.net', 'fine'))
        run = relay.run()
        self.assertEqual(run.returncode, 0, relay.log())
        self.assertEqual(run.stderr.decode().splitlines(),
                         ['droprelay: quarantined 1 file (bounce.eml): сервер окончательно отказал в приеме'])
        self.assertEqual(relay.listing('failed'), ['bounce.eml', 'bounce.eml.reason'])
        with open(relay.path('failed', 'bounce.eml.reason'), encoding='utf-8') as f:
            self.assertIn('outcome=refused\n', f.read())
        # The reason file is replaced with known values; the listing reads what it says and still
        # lists a file without one.
        write_reason(relay, 'bounce.eml', time=1700000000, local_time='14.11.2023 22:13:20', outcome='refused',
                     reason='сервер окончательно отказал в приеме', reply='550 5.1.1 no such user')
        relay.put('noreason.eml', b'x')
        os.rename(os.path.join(relay.drop, 'noreason.eml'), relay.path('failed', 'noreason.eml'))

        listed = queue_json(relay)
        self.assertEqual(listed['waiting'], [])
        self.assertEqual([(q['name'], q['outcome'], q['reason'], q['reply'], q['time']) for q in listed['quarantined']],
                         [('bounce.eml', 'refused', 'сервер окончательно отказал в приеме', '550 5.1.1 no such user',
                           1700000000),
                          ('noreason.eml', None, None, None, listed['quarantined'][1]['time'])])
        self.assertIsInstance(listed['quarantined'][1]['time'], int)
        human = queue_command(relay, '--queue').stdout.decode()
        self.assertIn('550 5.1.1 no such user', human)
        self.assertIn('noreason.eml', human)
        check = queue_command(relay, '--check')
        self.assertEqual(check.returncode, 1, check.stdout)
        self.assertTrue(check.stdout.startswith(b'DROPRELAY WARNING - 0 waiting, 2 quarantined |'))
        self.assertEqual(metrics(relay)['droprelay_quarantined_files'][1], 1, 'as the run left it')

        # A drop file of the same name is never replaced; the others are released.
        relay.put('noreason.eml', b'another message of that name')
        release = queue_command(relay, '--release', 'bounce.eml', 'noreason.eml', 'missing.eml')
        self.assertEqual(release.returncode, 1)
        self.assertEqual(release.stdout.decode(), 'released bounce.eml into %s/\n' % relay.drop)
        self.assertEqual(len(release.stderr.decode().splitlines()), 2, release.stderr)
        self.assertEqual(relay.listing('failed'), ['noreason.eml'], 'the reason file goes with its message')
        with open(os.path.join(relay.drop, 'noreason.eml'), 'rb') as f:
            self.assertEqual(f.read(), b'another message of that name')
        os.remove(os.path.join(relay.drop, 'noreason.eml'))
        # A message that may have reached its recipient goes back only when asked for with --force.
        relay.put('unanswered.eml', b'y')
        os.rename(os.path.join(relay.drop, 'unanswered.eml'), relay.path('failed', 'unanswered.eml'))
        write_reason(relay, 'unanswered.eml', time=1700000000, outcome='maybe-delivered', delivered='maybe')
        self.assertIn(b'may have been delivered already', queue_command(relay, '--queue').stdout)
        release = queue_command(relay, '--release', '--all')
        self.assertEqual(release.returncode, 1, release.stderr)
        self.assertIn(b'unanswered.eml not released: it may have been delivered already', release.stderr)
        self.assertEqual(relay.listing('failed'), ['unanswered.eml', 'unanswered.eml.reason'])
        release = queue_command(relay, '--release', '--force', 'unanswered.eml')
        self.assertEqual(release.returncode, 0, release.stderr)
        self.assertEqual(relay.listing('failed'), [])
        self.assertEqual(relay.listing('drop'), ['bounce.eml', 'noreason.eml', 'unanswered.eml'])
        self.assertEqual(queue_command(relay, '--check').returncode, 0)

    def test_state_changes_refused_while_a_run_holds_the_folder(self):
        relay = Relay(self, 'busy')
        relay.start_sink()
        self.configure(relay)
        os.makedirs(relay.path('drop.droprelay-state'))
        os.makedirs(relay.path('failed'))
        relay.put('m.eml', b'x')
        os.rename(os.path.join(relay.drop, 'm.eml'), relay.path('failed', 'm.eml'))
        with open(relay.path('drop.droprelay-state', 'lock'), 'w') as lock:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            for options in (['--flush'], ['--release', '--all']):
                with self.subTest(options=options):
                    busy = queue_command(relay, *options)
                    self.assertEqual(busy.returncode, 75)
                    self.assertIn(b'a run is at work on', busy.stderr)
            self.assertEqual(relay.listing('failed'), ['m.eml'], 'nothing released')
            # Reading needs no lock.
            self.assertEqual(queue_command(relay, '--queue').returncode, 0)
            self.assertEqual(queue_command(relay, '--check').returncode, 1)
            # A run locked out reports nothing and leaves the metrics of the run at work alone.
            run = relay.run()
            self.assertEqual((run.returncode, run.stderr), (75, b''))
            self.assertFalse(os.path.exists(relay.path('metrics', 'droprelay.prom')))

    def test_usage_errors_and_missing_folders(self):
        relay = Relay(self, 'usage')
        self.configure(relay, port=1)
        for options, status in ((['--check', '--warn-age', 'x'], 3), (['--check', '--warn-age', '90', '--crit-age', '60'], 3),
                                (['--release'], 2), (['--flush', '--json'], 2), (['--queue', '--flush'], 2),
                                (['--warn-age', '5'], 2)):
            with self.subTest(options=options):
                self.assertEqual(queue_command(relay, *options).returncode, status)
        # A quarantine that cannot be listed is not an empty one.
        with open(relay.path('failed'), 'w') as f:
            f.write('not a folder')
        check = queue_command(relay, '--check')
        self.assertEqual(check.returncode, 3, check.stdout)
        self.assertTrue(check.stdout.startswith(b'DROPRELAY UNKNOWN - cannot read the folder'), check.stdout)
        os.remove(relay.path('failed'))
        os.rmdir(relay.drop)
        check = queue_command(relay, '--check')
        self.assertEqual(check.returncode, 3)
        self.assertTrue(check.stdout.startswith(b'DROPRELAY UNKNOWN - cannot read the drop folder'))
        self.assertEqual(queue_command(relay, '--queue').returncode, 66)
        missing = subprocess.run([BIN, '--config', relay.path('none.ini'), '--queue'], env=relay.env(),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(missing.returncode, 78)


class FailuresOnStandardError(unittest.TestCase):
    def test_unreachable_server_is_said_once_per_reason_and_a_clean_run_is_silent(self):
        relay = Relay(self, 'unreachable')
        with socket.socket() as s:
            s.bind(('127.0.0.1', 0))
            port = s.getsockname()[1]
        relay.configure(port=port)
        relay.put('a.eml', plain(b'a@example.net'))
        relay.put('b.eml', plain(b'b@example.net'))
        run = relay.run()
        self.assertEqual(run.returncode, 75, relay.log())
        self.assertEqual(run.stdout, b'')
        self.assertEqual(run.stderr.decode(), 'droprelay: deferred 2 files (a.eml, b.eml): нет соединения с сервером\n')
        self.assertEqual([w['name'] for w in queue_json(relay)['waiting']], ['a.eml', 'b.eml'])

        relay.start_sink()
        relay.configure()
        self.assertEqual(queue_command(relay, '--flush').returncode, 0)
        run = relay.run()
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b'', b''), relay.log())
        self.assertEqual(relay.sink.count(), 2)


class ConfigurationErrors(unittest.TestCase):
    def test_missing_profiles_file_or_profile_ends_the_run_with_78(self):
        for case in ('no profiles file', 'unknown profile'):
            with self.subTest(case=case):
                relay = Relay(self, 'profiles')
                relay.start_sink()
                relay.configure()
                if case == 'no profiles file':
                    os.remove(relay.path('profiles.ini'))
                else:
                    with open(relay.ini) as f:
                        text = f.read()
                    with open(relay.ini, 'w') as f:
                        f.write(text.replace('[System]\n', '[System]\nMAPIProfile=nosuch\n'))
                relay.put('m.eml', plain(b'someone@example.net'))
                run = relay.run()
                self.assertEqual(run.returncode, 78, relay.log())
                self.assertRegex(run.stderr.decode(),
                                 r'^droprelay: (cannot read the mail profiles file .*profiles\.ini \(No such file'
                                 r'|cannot use the mail profile "nosuch" \(Mail profile "nosuch" not found)')
                self.assertIn('Ошибка настройки, работа остановлена (файл оставлен в папке): профиль почты не найден',
                              relay.log())
                # Untouched and not waiting: once fixed, the next run takes it at once.
                self.assertEqual(relay.listing('drop'), ['m.eml'])
                self.assertEqual(relay.listing('drop.droprelay-state/queue'), [])
                relay.configure()
                run = relay.run()
                self.assertEqual(run.returncode, 0, relay.log())
                self.assertEqual(relay.sink.count(), 1)


if __name__ == '__main__':
    unittest.main(verbosity=2)
