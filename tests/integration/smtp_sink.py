#!/usr/bin/python3
"""A recording SMTP server for droprelay's tests (Debian's python3-aiosmtpd; run it with
/usr/bin/python3, the interpreter that sees Debian's packages).

    smtp_sink.py --dir DIR [--auth USER:PASSWORD] [--reject-rcpt CODE[:ADDRESS]]
                 [--reject-data CODE] [--drop-data] [--log-commands] [--close-after N]
                 [--stall-rcpt SECONDS] [--stall-data SECONDS] [--notify-data] [--notify-accepted]
                 [--reply VERB[@N]=REPLY ...] [--log-events] [--notify-ending]
                 [--no-quit-reply | --quit-reply-after SECONDS] [--drop-after-data]
                 [--stall-in-data SECONDS] [--once]
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
  --log-events              append what happened on each connection to DIR/events.log, one
                            "N EVENT" line each (N counts connections from 1): "N connected",
                            "N VERB" for every command as --log-commands writes it, "N end-of-data"
                            once the final dot of a message arrived, "N in-data VERB" for a line
                            RSET, NOOP or QUIT that came inside the data after --stall-in-data,
                            "N replied QUIT" when the 221 is about to go out, "N closed" when the
                            connection ended (whichever side closed it)
  --notify-ending           print "QUIT N" on standard output when connection N receives QUIT, and
                            "CLOSED N" once connection N has ended
  --no-quit-reply           never answer QUIT: the connection stays open until the client closes it
  --quit-reply-after SECS   answer QUIT only after that long
  --drop-after-data         take the whole data with its final dot, then close the connection
                            without an answer; nothing is stored
  --stall-in-data SECONDS   after 354 and the first line of the data, read nothing more for that
                            long; then read the rest and answer its end with 451 (nothing stored).
                            A client that sends nothing for 10 seconds after the stall is noted
                            ("N data-idle") and the connection closed
  --once                    --drop-data, --drop-after-data, --stall-in-data, --stall-rcpt and
                            --stall-data strike once only: the first DATA (or RCPT) over all
                            connections; every later one is served as usual
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
        self.once = False
        self.struck = set()

    def strikes(self, fault):
        """Whether a fault given on the command line applies to this command (see --once)."""
        if not self.once:
            return True
        if fault in self.struck:
            return False
        self.struck.add(fault)
        return True

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.stall_rcpt and self.strikes('stall-rcpt'):
            await asyncio.sleep(self.stall_rcpt)
        if self.reject_rcpt:
            code, _, only = self.reject_rcpt.partition(':')
            if not only or only == address:
                return f'{code} 5.1.1 <{address}>: recipient rejected by the test'
        envelope.rcpt_tos.append(address)
        return '250 OK'

    async def handle_DATA(self, server, session, envelope):
        server.event('end-of-data')
        if server.drop_after_data and self.strikes('drop-after-data'):
            server.transport.abort()  # the whole message arrived; its answer never goes out
            return '451 4.3.0 never sent'
        self.received += 1
        if self.notify_data:
            print('RECEIVED', self.received, flush=True)
        if self.stall_data and self.strikes('stall-data'):
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
        self.note(verb)
        if verb == 'QUIT':
            await self.hold_quit()
        scripted = self.event_handler.script.reply(verb)
        if scripted:
            await self.push(scripted)
            if scripted.startswith('421'):
                self.transport.close()
            return
        if verb == 'QUIT':
            self.event('replied QUIT')
        return await getattr(SMTP, 'smtp_' + verb)(self, arg)
    return command


class SinkSMTP(SMTP):
    opened = 0  # connections accepted so far, over the sink's life

    def __init__(self, *args, folder, drop_data, log_commands=False, close_after=0, notify_accepted=False,
                 log_events=False, notify_ending=False, quit_delay=None, drop_after_data=False,
                 stall_in_data=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.log_events = log_events
        self.notify_ending = notify_ending
        self.quit_delay = quit_delay  # None: QUIT is answered at once; -1: never
        self.drop_after_data = drop_after_data
        self.stall_in_data = stall_in_data
        self.number = 0
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
        SinkSMTP.opened += 1
        self.number = SinkSMTP.opened
        self.event('connected')
        super().connection_made(transport)

    def connection_lost(self, error):
        self.event('closed')
        if self.notify_ending:
            print('CLOSED', self.number, flush=True)
        super().connection_lost(error)

    def event(self, what):
        if self.log_events:
            with open(os.path.join(self.folder, 'events.log'), 'a') as f:
                f.write('%d %s\n' % (self.number, what))

    def note(self, verb):
        if self.log_commands:
            with open(os.path.join(self.folder, 'commands.log'), 'a') as f:
                f.write(verb + '\n')
        self.event(verb)

    async def hold_quit(self):
        if self.notify_ending:
            print('QUIT', self.number, flush=True)
        if self.quit_delay is None:
            return
        # A client that closes the connection meanwhile cancels this wait with the handler.
        if self.quit_delay < 0:
            await asyncio.Event().wait()
        await asyncio.sleep(self.quit_delay)

    async def stalled_data(self):
        await self.push('354 End data with <CR><LF>.<CR><LF>')
        await self._reader.readline()
        await asyncio.sleep(self.stall_in_data)
        while True:
            try:
                line = await asyncio.wait_for(self._reader.readline(), 10)
            except asyncio.TimeoutError:
                self.event('data-idle')  # the client keeps the connection but sends nothing
                self.transport.close()
                return
            if not line or line == b'.\r\n':
                break
            if line.rstrip(b'\r\n').upper() in (b'RSET', b'NOOP', b'QUIT'):
                self.event('in-data ' + line.rstrip(b'\r\n').upper().decode())
        if line:
            await self.push('451 4.3.0 data taken after a stall, not stored')

    async def smtp_DATA(self, arg):
        self.note('DATA')
        if self.stall_in_data is not None and self.event_handler.strikes('stall-in-data'):
            return await self.stalled_data()
        if not self.drop_data or not self.event_handler.strikes('drop-data'):
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
    parser.add_argument('--log-events', action='store_true')
    parser.add_argument('--notify-ending', action='store_true')
    parser.add_argument('--no-quit-reply', action='store_true')
    parser.add_argument('--quit-reply-after', type=float)
    parser.add_argument('--drop-after-data', action='store_true')
    parser.add_argument('--stall-in-data', type=float)
    parser.add_argument('--once', action='store_true')
    args = parser.parse_args()
    logging.basicConfig(level=logging.CRITICAL)
    warnings.simplefilter('ignore')  # AUTH without TLS is what loopback tests want

    handler = Recorder(args.dir, args.reject_rcpt, args.reject_data, args.stall_rcpt, args.stall_data,
                       args.notify_data, Script(args.reply))
    handler.once = args.once
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
                             close_after=args.close_after, notify_accepted=args.notify_accepted,
                             log_events=args.log_events, notify_ending=args.notify_ending,
                             quit_delay=-1 if args.no_quit_reply else args.quit_reply_after,
                             drop_after_data=args.drop_after_data, stall_in_data=args.stall_in_data,
                             **options),
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
