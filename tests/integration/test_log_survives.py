#!/usr/bin/python3
"""The log file against kills, a second run and hostile text, with the real binary:

- killed with SIGKILL again and again while it relays a backlog, over a history of several hundred
  lines: the file is never empty, always holds the newest lines up to the bound (and at most a
  tenth more), and loses nothing in between;
- a second run started while the first holds the drop folder: its lines stay in the file after the
  first run has gone on writing and trimming;
- control characters from every source (a subject, the body, a file name, an attachment name, the
  server's reply, a folder named in a system error) reach neither the log file nor the syslog copy.

Needs DROPRELAY_BIN and DROPRELAY_SOURCE_DIR (set by CTest)."""

import base64
import fcntl
import os
import select
import socket
import threading
import time
import unittest

from relay_harness import Relay, plain, with_attachment

HISTORY_STAMP = '01.12.2026 8:00:00 '
WIDTH = 94  # the window's log box wraps here, and the bound counts the wrapped lines


def displayed(line):
    """How many lines of the box one log line takes (the relay's own wrapping rule)."""
    count, start = 0, 0
    while len(line) - start > WIDTH:
        blank = line[start:start + WIDTH + 1].rfind(' ')
        start = start + blank + 1 if blank >= 0 else start + WIDTH
        count += 1
    return count + 1


def file_lines(relay):
    """The log's lines (a last line without CR LF, cut by a kill, counts as a line)."""
    with open(relay.log_file, 'rb') as f:
        data = f.read()
    text = data.decode('utf-8', 'replace')
    lines = text.split('\r\n')
    if lines and lines[-1] == '':
        lines.pop()
    return data, lines


def write_config(relay, port, extra='', archive=None):
    """One [System] section with everything, as an administrator would write it."""
    with open(relay.path('profiles.ini'), 'w') as f:
        f.write('[Profiles]\nDefaultProfile=office\n\n[office]\nurl=smtp://127.0.0.1:%d\n'
                'from=relay@corp.example\n' % port)
    with open(relay.ini, 'w') as f:
        f.write('[System]\nSmtp_DropMail_path=%s/\ndomain_name=corp.example\nsend_mail=1\ntemppath=%s/\n'
                'moveto_path=%s/\n%s' % (relay.drop, relay.path('temp'), archive or relay.path('archive'), extra))


class KilledWhileLogging(unittest.TestCase):
    def test_sigkill_never_empties_the_log_nor_loses_its_history(self):
        relay = Relay(self, 'log-kill')
        sink = relay.start_sink('--notify-accepted')
        bound = 510
        write_config(relay, sink.port, 'cycle_interval_ms=0\nMax_log_length=%d\n' % bound)
        history = ['история %03d' % n for n in range(450)]
        with open(relay.log_file, 'wb') as f:
            f.write(''.join(HISTORY_STAMP + line + '\r\n' for line in history).encode())
        os.chmod(relay.log_file, 0o640)
        count = 40
        for i in range(count):
            relay.put('m%02d.eml' % i, plain(b'a@example.net', 'message %d' % i))

        kills = trims = 0
        for attempt in range(count):
            process = relay.start()
            # Killed at once after the server's acceptance of the first, second or third message
            # of this run: wherever the relay happens to be in its log lines then.
            wanted, accepted = 1 + attempt % 3, 0
            while process.poll() is None and accepted < wanted:
                ready, _, _ = select.select([sink.process.stdout], [], [], 0.5)
                if ready and sink.process.stdout.readline().startswith('ACCEPTED'):
                    accepted += 1
            if process.poll() is None:
                process.kill()
                kills += 1
            process.communicate(timeout=60)

            data, lines = file_lines(relay)
            self.assertTrue(data, 'the log is never empty')
            old = [line[len(HISTORY_STAMP):] for line in lines if line.startswith(HISTORY_STAMP)]
            # What is left of the history is its newest part, whole, and comes first.
            self.assertEqual(old, history[len(history) - len(old):])
            self.assertEqual(lines[:len(old)], [HISTORY_STAMP + line for line in old])
            shown = sum(displayed(line) for line in lines)
            if len(old) < len(history):
                trims += 1
                # Trimmed back to the bound once, then only grown: never below the bound.
                self.assertGreaterEqual(shown, bound, lines[:3])
            # A tenth over the bound at most, and the one line a kill may have left before its
            # trim (a long line counts for every piece the box wraps it into).
            self.assertLessEqual(shown, bound + bound // 10 + max(displayed(line) for line in lines))
            if kills == 12 or process.returncode >= 0:
                break  # enough kills, or a run that ended by itself (what it delivered is not this test's business)
        self.assertEqual(kills, 12, relay.log())
        self.assertGreater(trims, 0, 'the history was long enough to be trimmed')
        self.assertEqual(os.stat(relay.log_file).st_mode & 0o777, 0o640)


class TwoRunsOneLog(unittest.TestCase):
    def test_the_second_runs_lines_stay_after_the_first_run_trims(self):
        relay = Relay(self, 'log-two-runs')
        sink = relay.start_sink()
        # A small bound and a history near it, so that the first run trims the file soon after the
        # second run's lines, and trims away only lines older than them.
        write_config(relay, sink.port, 'cycle_interval_ms=1000\nMax_log_length=100\n')
        with open(relay.log_file, 'wb') as f:
            f.write(''.join(HISTORY_STAMP + 'история %03d\r\n' % n for n in range(90)).encode())
        relay.put('held.eml', plain(b'a@example.net', 'held by its writer'))
        # Its writer holds the file: the first run keeps looking at it and keeps the drop folder.
        held = open(os.path.join(relay.drop, 'held.eml'), 'rb')
        self.addCleanup(held.close)
        fcntl.flock(held, fcntl.LOCK_EX)
        first = relay.start()
        self.addCleanup(lambda: first.poll() is None and first.kill())
        deadline = time.monotonic() + 60
        while 'held.eml' not in relay.log() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertIn('held.eml', relay.log())

        second = relay.run(timeout=60)
        self.assertEqual(second.returncode, 75, second.stderr)
        busy = 'Папка уже обрабатывается другим запуском: %s/' % relay.drop
        self.assertIn(busy, relay.log())
        trimmed_from = os.stat(relay.log_file).st_ino
        # The first run goes on writing; wait until it has trimmed the file at least once.
        while os.stat(relay.log_file).st_ino == trimmed_from and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertNotEqual(os.stat(relay.log_file).st_ino, trimmed_from, 'the first run trimmed the log')
        fcntl.flock(held, fcntl.LOCK_UN)
        first.communicate(timeout=120)
        self.assertEqual(first.returncode, 0, relay.log())
        log = relay.log()
        self.assertIn(busy, log)
        self.assertEqual(log.count('Начало работы...'), 2, 'both runs')
        self.assertEqual(sink.count(), 1)


class ReplyWithControls:
    """An SMTP server on loopback that refuses every recipient with a reply full of control
    characters (aiosmtpd, as the shared sink)."""

    def __init__(self):
        from aiosmtpd.controller import Controller

        class Handler:
            async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
                return '550 5.7.1 REPLY\x1b[31mred\x07bell\x7fdel\x08back'

        # The controller needs its port before it starts: one the system has just handed out.
        with socket.socket() as probe:
            probe.bind(('127.0.0.1', 0))
            self.port = probe.getsockname()[1]
        self.controller = Controller(Handler(), hostname='127.0.0.1', port=self.port)
        self.controller.start()

    def stop(self):
        self.controller.stop()


def controls_in(text):
    """The control characters in `text` (a str), line ends CR LF excepted."""
    found = []
    for i, ch in enumerate(text):
        code = ord(ch)
        if ch == '\r' and text[i + 1:i + 2] == '\n' or ch == '\n' and text[i - 1:i] == '\r' or ch == '\t':
            continue
        if code < 0x20 or 0x7f <= code <= 0x9f:
            found.append((i, hex(code)))
    return found


class ControlCharacters(unittest.TestCase):
    def setUp(self):
        self.relay = Relay(self, 'log-controls')
        self.socket_path = self.relay.path('syslog.sock')
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.server.bind(self.socket_path)
        self.addCleanup(self.server.close)
        self.datagrams = []
        # Read while the relay runs: it never waits for a full socket, it drops the line.
        self.server.settimeout(0.2)
        self.reading = True
        self.reader = threading.Thread(target=self.read)
        self.reader.start()
        self.addCleanup(self.stop_reading)

    def read(self):
        while self.reading:
            try:
                self.datagrams.append(self.server.recv(65536))
            except socket.timeout:
                pass

    def stop_reading(self):
        self.reading = False
        self.reader.join()

    def check_clean(self, markers):
        with open(self.relay.log_file, 'rb') as f:
            data = f.read()
        text = data.decode('utf-8')  # well-formed UTF-8 throughout, or this raises
        self.assertEqual(controls_in(text), [], text)
        self.stop_reading()
        self.assertTrue(self.datagrams)
        for datagram in self.datagrams:
            line = datagram.decode('utf-8')
            self.assertEqual(controls_in(line), [], line)
        copy = b'\n'.join(self.datagrams).decode('utf-8')
        for marker in markers:
            self.assertIn(marker, text)
            self.assertIn(marker, copy)

    def test_no_control_character_from_the_message_name_or_reply(self):
        server = ReplyWithControls()
        self.addCleanup(server.stop)
        write_config(self.relay, server.port, 'cycle_interval_ms=0\nsyslog=%s\n' % self.socket_path)
        subject = '=?UTF-8?B?' + base64.b64encode('ENC\x1b]0;t\x07\u009b1m\u0085'.encode()).decode() + '?='
        body = 'BODY\x1b[2J\x07\u0085\u009bnext\x00end\r\n'
        message = (b'From: a@example.net\r\nTo: ivan@example.net\r\nSubject: RAW\x1b[1m\x7f ' + subject.encode()
                   + b'\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n' + body.encode())
        self.relay.put('NAME\x1b[31m\x07\n01.12.2026 8:00:00 forged.eml', message)
        self.relay.put('attached.eml', with_attachment(b'b@example.net', 'ATT\x1b[5m\x07.pdf', b'%PDF-1.4'))
        run = self.relay.run(timeout=120)
        self.assertIn(run.returncode, (0, 75), run.stderr)
        # Each source reached the log (line breaks are removed from a message, the rest replaced);
        # the attachment name and the reply may have been made safe on the way already.
        self.check_clean(['RAW?[1m?', 'ENC?]0;t??1m?', 'BODY?[2J???next?end', 'NAME?[31m?01.12.2026 8:00:00 forged.eml',
                          'ATT', 'REPLY'])

    def test_no_control_character_from_a_folder_in_a_system_error(self):
        # An archive folder that cannot be made (a file stands in its path): the start-up check
        # names it, with the system's error text.
        blocker = self.relay.path('ARCHIVE\x1b[7m\x07')
        with open(blocker, 'w'):
            pass
        write_config(self.relay, 1, 'syslog=%s\n' % self.socket_path, archive=blocker + '/sub')
        run = self.relay.run(timeout=60)
        self.assertEqual(run.returncode, 73, run.stderr)
        self.check_clean(['ARCHIVE?[7m?'])


if __name__ == '__main__':
    unittest.main(verbosity=2)
