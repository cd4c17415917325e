"""Shared set-up for the integration tests of the relay queue: a scratch tree with drop, temp,
archive and received folders, the recording SMTP server (smtp_sink.py) made to fail on purpose,
the INI and profiles files, and runs of the real droprelay binary without a display."""

import email
import email.policy
import os
import shutil
import subprocess
import tempfile
import time

BIN = os.environ['DROPRELAY_BIN']
SOURCE = os.environ['DROPRELAY_SOURCE_DIR']
SINK = os.path.join(SOURCE, 'tests', 'integration', 'smtp_sink.py')


class Sink:
    """smtp_sink.py in a child process: the server droprelay submits to."""

    def __init__(self, folder, *options):
        os.makedirs(folder, exist_ok=True)
        self.folder = folder
        self.process = subprocess.Popen(['/usr/bin/python3', SINK, '--dir', folder, *options],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline().split()
        assert line and line[0] == 'PORT', line
        self.port = int(line[1])

    def count(self):
        n = 0
        while os.path.exists(os.path.join(self.folder, '%d.envelope' % (n + 1))):
            n += 1
        return n

    def messages(self):
        found = []
        for n in range(1, self.count() + 1):
            with open(os.path.join(self.folder, '%d.eml' % n), 'rb') as f:
                found.append(email.message_from_bytes(f.read(), policy=email.policy.default))
        return found

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(timeout=10)
        self.process.stdout.close()


class Relay:
    """One scratch tree and its configuration."""

    def __init__(self, test, name='relay'):
        self.root = tempfile.mkdtemp(prefix='droprelay-%s-' % name)
        os.chmod(self.root, 0o755)
        test.addCleanup(shutil.rmtree, self.root, True)
        self.test = test
        for sub in ('drop', 'temp', 'archive'):
            os.mkdir(self.path(sub))
        self.drop = self.path('drop')
        self.ini = self.path('relay.ini')
        self.log_file = self.path('relay.log')
        self.sink = None

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def start_sink(self, *options):
        self.sink = Sink(self.path('received'), *options)
        self.test.addCleanup(self.sink.stop)
        return self.sink

    def configure(self, port=None, extra='', send_mail=1, temppath=None, moveto=None, copy_to='',
                  interval_ms=200):
        # A short cycle keeps the suite quick; these tests are about outcomes, not the specified
        # pace (which test_shell_cycles checks). A cycle_interval_ms in `extra` comes first and wins.
        port = port if port is not None else self.sink.port
        with open(self.path('profiles.ini'), 'w') as f:
            f.write('[Profiles]\nDefaultProfile=office\n\n[office]\nurl=smtp://127.0.0.1:%d\n'
                    'from=relay@corp.example\n' % port)
        with open(self.ini, 'w') as f:
            f.write('[System]\nSmtp_DropMail_path=%s/\ndomain_name=corp.example\nsend_copy_to=%s\n\n'
                    'send_mail=%d\ntemppath=%s\nmoveto_path=%s\n%scycle_interval_ms=%d\n'
                    % (self.drop, copy_to, send_mail, temppath or self.path('temp') + '/',
                       moveto or self.path('archive'), extra, interval_ms))

    def env(self):
        env = dict(os.environ, DROPRELAY_PROFILES=self.path('profiles.ini'), QT_QPA_PLATFORM='offscreen')
        env.pop('DISPLAY', None)
        env.pop('WAYLAND_DISPLAY', None)
        return env

    def put(self, name, data, age=60):
        """A complete drop file, written elsewhere and renamed in, `age` seconds old."""
        staging = self.path('staging')
        os.makedirs(staging, exist_ok=True)
        tmp = os.path.join(staging, name)
        with open(tmp, 'wb') as f:
            f.write(data)
        then = time.time() - age
        os.utime(tmp, (then, then))
        os.rename(tmp, os.path.join(self.drop, name))

    def command(self, config=None):
        return [BIN, '--config', config or self.ini]

    def run(self, timeout=300, config=None):
        return subprocess.run(self.command(config), env=self.env(), timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def flush(self):
        """--flush: every waiting file due now."""
        subprocess.run(self.command() + ['--flush'], env=self.env(), check=True, timeout=60,
                       stdout=subprocess.DEVNULL)

    def start(self, config=None):
        return subprocess.Popen(self.command(config), env=self.env(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def log(self):
        if not os.path.exists(self.log_file):
            return ''
        with open(self.log_file, 'rb') as f:
            return f.read().decode('utf-8', 'replace')

    def listing(self, sub):
        folder = self.path(sub)
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


def plain(to, subject='hello', body='body\r\n', extra_headers=b''):
    head = (b'From: sender@example.net\r\n' + (b'To: ' + to + b'\r\n' if to is not None else b'')
            + b'Subject: ' + subject.encode() + b'\r\n' + extra_headers)
    return head + b'\r\n' + body.encode()


def with_attachment(to, name, content, subject='with attachment'):
    import base64
    return (b'From: sender@example.net\r\nTo: ' + to + b'\r\nSubject: ' + subject.encode() + b'\r\n'
            b'MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary="b1"\r\n\r\n'
            b'--b1\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nsee attached\r\n'
            b'--b1\r\nContent-Type: application/octet-stream; name="' + name.encode() + b'"\r\n'
            b'Content-Disposition: attachment; filename="' + name.encode() + b'"\r\n'
            b'Content-Transfer-Encoding: base64\r\n\r\n' + base64.encodebytes(content).replace(b'\n', b'\r\n')
            + b'--b1--\r\n')
