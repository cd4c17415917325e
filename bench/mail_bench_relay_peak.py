#!/usr/bin/python3
"""Peak memory of the real relay for one large message: droprelay relays the 72 MB message of the
mail bench's case (a) (a text part and a 50 MiB base64 attachment) into a pickup folder, and its
peak resident size (ru_maxrss of the finished child) is set against the file's size.

  bench/mail_bench_relay_peak.py --bin build/app/droprelay [--message FILE] [--runs N]

The message is the one mail_bench generates into $DROPRELAY_BENCH_DIR (default
/tmp/droprelay-mail-bench/a-large-attachment.eml); run mail_bench once first."""

import argparse
import os
import resource
import shutil
import subprocess
import tempfile


DIGEST = """
import email, email.policy, hashlib, sys
with open(sys.argv[1], 'rb') as f:
    message = email.message_from_binary_file(f, policy=email.policy.default)
# A message that is one non-text part is its own attachment.
parts = list(message.iter_attachments()) if message.is_multipart() else [message]
if parts:
    print(hashlib.sha256(parts[0].get_payload(decode=True)).hexdigest())
"""


def first_attachment(path):
    """The SHA-256 of the first attachment's decoded content, as Python's email package reads it.
    In a process of its own: a child forked from this one would start with its resident size, and
    the kernel keeps a peak across exec, so the relays started after it would be charged for it."""
    return subprocess.run(['/usr/bin/python3', '-c', DIGEST, path], capture_output=True, text=True,
                          check=True).stdout.strip() or None


def one_run(binary, message):
    root = tempfile.mkdtemp(prefix='droprelay-peak-')
    try:
        for sub in ('drop', 'temp', 'archive', 'pickup'):
            os.mkdir(os.path.join(root, sub))
        with open(os.path.join(root, 'profiles.ini'), 'w') as f:
            f.write('[Profiles]\nDefaultProfile=office\n\n[office]\nurl=file://%s/pickup/\n'
                    'from=relay@corp.example\n' % root)
        ini = os.path.join(root, 'relay.ini')
        with open(ini, 'w') as f:
            f.write('[System]\nSmtp_DropMail_path=%s/drop/\ndomain_name=corp.example\n'
                    'send_mail=1\ntemppath=%s/temp/\nmoveto_path=%s/archive\n'
                    'cycle_interval_ms=0\nhtml_wait_ms=0\nmax_message_size=0\n' % (root, root, root))
        shutil.copy(message, os.path.join(root, 'drop', 'a.eml'))
        old = os.path.getmtime(message) - 3600
        os.utime(os.path.join(root, 'drop', 'a.eml'), (old, old))
        env = dict(os.environ, DROPRELAY_PROFILES=os.path.join(root, 'profiles.ini'), QT_QPA_PLATFORM='offscreen')
        env.pop('DISPLAY', None)
        env.pop('WAYLAND_DISPLAY', None)
        child = subprocess.Popen([binary, '--config', ini], env=env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        sent = os.listdir(os.path.join(root, 'pickup'))
        same = len(sent) == 1 and first_attachment(os.path.join(root, 'pickup', sent[0])) == first_attachment(message)
        return os.waitstatus_to_exitcode(status), usage.ru_maxrss * 1024, len(sent), same
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--bin', required=True)
    bench_dir = os.environ.get('DROPRELAY_BENCH_DIR', os.path.join(tempfile.gettempdir(), 'droprelay-mail-bench'))
    parser.add_argument('--message', default=os.path.join(bench_dir, 'a-large-attachment.eml'))
    parser.add_argument('--runs', type=int, default=3)
    args = parser.parse_args()
    size = os.path.getsize(args.message)
    print('| run | exit | messages sent | attachment intact | peak RSS | file | peak / file |')
    print('|---|---|---|---|---|---|---|')
    for run in range(1, args.runs + 1):
        code, peak, sent, same = one_run(args.bin, args.message)
        print('| %d | %d | %d | %s | %.1f MB | %.1f MB | %.2f |' %
              (run, code, sent, 'yes' if same else 'NO', peak / 1e6, size / 1e6, peak / size))


if __name__ == '__main__':
    main()
