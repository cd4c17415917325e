#!/usr/bin/python3
"""A backlog of N small stored messages relayed by one run of the real droprelay binary
(cycle_interval_ms=0, sending into a pickup folder, files deleted), for several N: the cost per
message should not grow with the backlog. Wall and CPU time of the run, per message.

    bench/backlog_bench.py --bin build/headless/droprelay-headless [--sizes 1000,10000,100000] [--work DIR]

--work puts the drop, pickup and state folders into DIR (default: the system's temporary folder),
for instance a tmpfs or an ext4 disk. Prints a Markdown table."""

import argparse
import os
import shutil
import subprocess
import tempfile
import time


def message(n):
    return ('From: sender@example.net\r\nTo: user%d@elsewhere.example\r\nSubject: backlog %d\r\n\r\n'
            'Message number %d of the backlog.\r\n' % (n, n, n)).encode()


def run(binary, root, count):
    work = tempfile.mkdtemp(dir=root)
    try:
        drop, pickup = os.path.join(work, 'drop'), os.path.join(work, 'pickup')
        os.mkdir(drop)
        os.mkdir(pickup)
        old = time.time() - 60
        for n in range(count):
            path = os.path.join(drop, 'm%07d.eml' % n)
            with open(path, 'wb') as f:
                f.write(message(n))
            os.utime(path, (old, old))
        with open(os.path.join(work, 'profiles.ini'), 'w') as f:
            f.write('[Profiles]\nDefaultProfile=pickup\n\n[pickup]\nurl=file://%s/\nfrom=relay@corp.example\n'
                    % pickup)
        ini = os.path.join(work, 'relay.ini')
        with open(ini, 'w') as f:
            f.write('[System]\nSmtp_DropMail_path=%s/\ndomain_name=corp.example\nsend_mail=1\nDelete_or_move=1\n'
                    'temppath=%s/\ncycle_interval_ms=0\nhtml_wait_ms=0\nMax_log_length=50\n' % (drop, work))
        os.chmod(ini, 0o640)
        env = dict(os.environ, DROPRELAY_PROFILES=os.path.join(work, 'profiles.ini'))
        start = time.perf_counter()
        process = subprocess.Popen([binary, '--config', ini], env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        code = os.waitstatus_to_exitcode(status)
        sent = len(os.listdir(pickup))
        if code != 0 or sent != count or os.listdir(drop):
            raise SystemExit('run of %d ended with %d, %d sent, %d left: %s'
                             % (count, code, sent, len(os.listdir(drop)), process.stderr.read()[-500:]))
        return wall, usage.ru_utime + usage.ru_stime
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--bin', required=True)
    parser.add_argument('--sizes', default='1000,10000,100000')
    parser.add_argument('--work', default=None)
    args = parser.parse_args()
    root = args.work or tempfile.gettempdir()
    print('| messages | wall s | messages/s | wall µs per message | CPU µs per message |')
    print('|---:|---:|---:|---:|---:|')
    for count in (int(n) for n in args.sizes.split(',')):
        wall, cpu = run(args.bin, root, count)
        print('| %d | %.1f | %.0f | %.0f | %.0f |' % (count, wall, count / wall, wall / count * 1e6, cpu / count * 1e6),
              flush=True)


if __name__ == '__main__':
    main()
