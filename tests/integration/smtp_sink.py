#!/usr/bin/python3
"""A recording SMTP server for droprelay's tests (Debian's python3-aiosmtpd; run it with
/usr/bin/python3, the interpreter that sees Debian's packages).

    smtp_sink.py --dir DIR [--auth USER:PASSWORD] [--reject-rcpt CODE[:ADDRESS]]
                 [--reject-data CODE] [--drop-data] [--log-commands] [--close-after N]
                 [--stall-rcpt SECONDS] [--stall-data SECONDS] [--notify-data] [--notify-accepted]
                 [--reply VERB[@N]=REPLY ...]
                 [--tls-cert CERT --tls-key KEY (--starttls | --smtps)]
    smtp_sink.py --dir DIR (--never-greet | --hang-up)

Listens on 127.0.0.1 on a free port and prints "PORT <number>" on a line of its own as soon as it
accepts connections. Runs until its standard input reaches end of file (so it dies with the test
that started it) or it gets SIGTERM/SIGINT.

For every accepted message N (1, 2, ...) it writes, in DIR:
  N.eml        the message data exactly as received (CR LF line ends, dot-stuffing undone)
  N.envelope   JSON: {"mail_from": ..., "rcpt_tos": [...], "auth_user": ... or null}
N.eml is complete before N.envelope appears. Every accepted connection appends one line to
DIR/connections.log, so a test can prove that no connection was made at all.

  --auth USER:PASSWORD      offer AUTH PLAIN/LOGIN on the plain connection and require it
  --reject-rcpt CODE[:ADDR] answer RCPT TO with CODE (for ADDR only, or for every address)
  --reject-data CODE        answer the end of DATA with CODE instead of accepting the message
  --drop-data               close the connection in the middle of DATA (after 354 and one line)
  --log-commands            append the verb of every command received (EHLO, AUTH, MAIL, RCPT,
                            DATA, RSET, NOOP, QUIT, ...) to DIR/commands.log, one per line;
                            arguments are never written (AUTH carries the password)
  --close-after N           close a connection, without a word, once N messages went over it
  --stall-rcpt SECONDS      wait that long before answering RCPT TO
  --stall-data SECONDS      wait that long before answering the end of DATA
  --notify-data             print "RECEIVED N" on standard output once the whole data of message N
                            (up to the end of DATA) has arrived, before any --stall-data wait
  --notify-accepted         print "ACCEPTED N" on standard output once the 250 reply to the end of
                            DATA of message N has been written to the connection
  --reply VERB[@N]=REPLY    answer the command VERB (EHLO, AUTH, MAIL, RCPT, RSET, NOOP ...) with
                            REPLY, from its Nth occurrence on (counted over all connections;
                            default 1); for DATA the reply answers the end of the data. After a
                            421 the connection is closed, as RFC 5321 has it. May be repeated.
  --tls-cert/--tls-key      certificate and key for TLS, with --starttls (offer STARTTLS and
                            require it before MAIL) or --smtps (TLS from the first byte)

Servers that are no SMTP server at all (every other option is ignored; connections.log is kept):
  --never-greet             accept connections and never send a byte; print "CONNECTED N" on
                            standard output once connection N is accepted
  --hang-up                 accept connections and close each at once, without a word
"""

import argparse
import asyncio
import functools
import json
import logging
import os
import signal
import ssl
import sys
import threading
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Script:
    """Replies given on the command line (--reply), by verb, from the Nth command of that verb on."""

    def __init__(self, entries):
        self.replies = {}
        self.counts = {}
        for entry in entries or ():
            verb, _, reply = entry.partition('=')
            verb, _, first = verb.partition('@')
            self.replies[verb.upper()] = (int(first or 1), reply)

    def reply(self, verb):
        if verb not in self.replies:
            return None
        self.counts[verb] = self.counts.get(verb, 0) + 1
        first, reply = self.replies[verb]
        return reply if self.counts[verb] >= first else None


class Recorder:
    def __init__(self, folder, reject_rcpt, reject_data, stall_rcpt=0, stall_data=0, notify_data=False,
                 script=None):
        self.script = script or Script(None)
        self.closing = False
        self.folder = folder
        self.count = 0
        self.reject_rcpt = reject_rcpt
        self.reject_data = reject_data
        self.stall_rcpt = stall_rcpt
        self.stall_data = stall_data
        self.notify_data = notify_data
        self.received = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.stall_rcpt:
            await asyncio.sleep(self.stall_rcpt)
        if self.reject_rcpt:
            code, _, only = self.reject_rcpt.partition(':')
            if not only or only == address:
                return f'{code} 5.1.1 <{address}>: recipient rejected by the test'
        envelope.rcpt_tos.append(address)
        return '250 OK'

    async def handle_DATA(self, server, session, envelope):
        self.received += 1
        if self.notify_data:
            print('RECEIVED', self.received, flush=True)
        if self.stall_data:
            await asyncio.sleep(self.stall_data)
        scripted = self.script.reply('DATA')
        if scripted:
            self.closing = scripted.startswith('421')
            return scripted
        if self.reject_data:
            return f'{self.reject_data} 5.6.0 message rejected by the test'
        self.count += 1
        base = os.path.join(self.folder, str(self.count))
        with open(base + '.eml.tmp', 'wb') as f:
            f.write(envelope.original_content or envelope.content)
        os.rename(base + '.eml.tmp', base + '.eml')
        auth = session.auth_data
        record = {
            'mail_from': envelope.mail_from,
            'rcpt_tos': envelope.rcpt_tos,
            'auth_user': auth.login.decode('utf-8', 'replace') if isinstance(auth, LoginPassword) else None,
        }
        with open(base + '.envelope.tmp', 'w') as f:
            json.dump(record, f)
        os.rename(base + '.envelope.tmp', base + '.envelope')
        return '250 OK message accepted'


class Authenticator:
    def __init__(self, user, password):
        self.user = user.encode()
        self.password = password.encode()

    def __call__(self, server, session, envelope, mechanism, auth_data):
        ok = isinstance(auth_data, LoginPassword) and \
            auth_data.login == self.user and auth_data.password == self.password
        # handled=False lets the server send its own 535 reply; otherwise the client would wait.
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)


def logged(verb):
    # wraps() keeps the markers aiosmtpd reads from its methods (syntax, exemption from AUTH).
    @functools.wraps(getattr(SMTP, 'smtp_' + verb))
    async def command(self, arg):
        if self.log_commands:
            with open(os.path.join(self.folder, 'commands.log'), 'a') as f:
                f.write(verb + '\n')
        scripted = self.event_handler.script.reply(verb)
        if scripted:
            await self.push(scripted)
            if scripted.startswith('421'):
                self.transport.close()
            return
        return await getattr(SMTP, 'smtp_' + verb)(self, arg)
    return command


class SinkSMTP(SMTP):
    def __init__(self, *args, folder, drop_data, log_commands=False, close_after=0, notify_accepted=False,
                 **kwargs):
        super().__init__(*args, **kwargs)
        self.folder = folder
        self.drop_data = drop_data
        self.log_commands = log_commands
        self.close_after = close_after
        self.delivered = 0
        self.notify_accepted = notify_accepted

    for _verb in ('HELO', 'EHLO', 'AUTH', 'STARTTLS', 'MAIL', 'RCPT', 'RSET', 'NOOP', 'QUIT', 'VRFY', 'HELP'):
        locals()['smtp_' + _verb] = logged(_verb)

    def connection_made(self, transport):
        with open(os.path.join(self.folder, 'connections.log'), 'a') as f:
            f.write('connection\n')
        super().connection_made(transport)

    async def smtp_DATA(self, arg):
        if self.log_commands:
            with open(os.path.join(self.folder, 'commands.log'), 'a') as f:
                f.write('DATA\n')
        if not self.drop_data:
            before = self.event_handler.count
            result = await super().smtp_DATA(arg)
            if self.notify_accepted and self.event_handler.count > before:
                await self._writer.drain()
                print('ACCEPTED', self.event_handler.count, flush=True)
            self.delivered += 1
            if self.event_handler.closing or (self.close_after and self.delivered >= self.close_after):
                self.event_handler.closing = False
                self.transport.close()
            return result
        await self.push('354 End data with <CR><LF>.<CR><LF>')
        try:
            await asyncio.wait_for(self._reader.readline(), 10)
        except Exception:
            pass
        self.transport.close()


async def serve_without_smtp(args):
    count = 0
    held = []

    async def accepted(reader, writer):
        nonlocal count
        count += 1
        with open(os.path.join(args.dir, 'connections.log'), 'a') as f:
            f.write('connection\n')
        if args.hang_up:
            writer.close()
            return
        held.append(writer)  # kept open, silent, until the sink ends
        print('CONNECTED', count, flush=True)

    return await asyncio.start_server(accepted, host='127.0.0.1', port=0)


async def main():
    parser = argparse.ArgumentParser(description='Recording SMTP server for tests')
    parser.add_argument('--dir', required=True)
    parser.add_argument('--auth')
    parser.add_argument('--reject-rcpt')
    parser.add_argument('--reject-data')
    parser.add_argument('--drop-data', action='store_true')
    parser.add_argument('--log-commands', action='store_true')
    parser.add_argument('--close-after', type=int, default=0)
    parser.add_argument('--stall-rcpt', type=float, default=0)
    parser.add_argument('--stall-data', type=float, default=0)
    parser.add_argument('--notify-accepted', action='store_true')
    parser.add_argument('--notify-data', action='store_true')
    parser.add_argument('--tls-cert')
    parser.add_argument('--tls-key')
    parser.add_argument('--starttls', action='store_true')
    parser.add_argument('--smtps', action='store_true')
    parser.add_argument('--reply', action='append')
    parser.add_argument('--never-greet', action='store_true')
    parser.add_argument('--hang-up', action='store_true')
    args = parser.parse_args()
    logging.basicConfig(level=logging.CRITICAL)
    warnings.simplefilter('ignore')  # AUTH without TLS is what loopback tests want

    handler = Recorder(args.dir, args.reject_rcpt, args.reject_data, args.stall_rcpt, args.stall_data,
                       args.notify_data, Script(args.reply))
    options = {'decode_data': False, 'hostname': 'sink.test'}
    if args.auth:
        user, _, password = args.auth.partition(':')
        options.update(authenticator=Authenticator(user, password), auth_required=True,
                       auth_require_tls=False)
    else:
        options.update(auth_require_tls=False)
    context = None
    if args.tls_cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.tls_cert, args.tls_key)
        if args.starttls:
            options.update(tls_context=context, require_starttls=True)

    loop = asyncio.get_running_loop()
    if args.never_greet or args.hang_up:
        server = await serve_without_smtp(args)
    else:
        server = await loop.create_server(
            lambda: SinkSMTP(handler, folder=args.dir, drop_data=args.drop_data, log_commands=args.log_commands,
                             close_after=args.close_after, notify_accepted=args.notify_accepted, **options),
            host='127.0.0.1', port=0, ssl=context if args.smtps else None)
    print('PORT', server.sockets[0].getsockname()[1], flush=True)

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)

    def watch_stdin():
        while os.read(sys.stdin.fileno(), 4096):
            pass
        loop.call_soon_threadsafe(stop.set)
    threading.Thread(target=watch_stdin, daemon=True).start()
    await stop.wait()
    server.close()


if __name__ == '__main__':
    asyncio.run(main())
