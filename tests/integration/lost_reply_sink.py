#!/usr/bin/python3
"""smtp_sink.py with one more fault, for the relay's uncertain deliveries:

    lost_reply_sink.py --lose-reply [any smtp_sink.py option ...]

--lose-reply stores every message (N.eml, N.envelope as smtp_sink.py does) and then closes the
connection without answering the end of DATA: the server has the message, the client never
learns it."""

import asyncio
import sys

import smtp_sink

LOSE = '--lose-reply' in sys.argv
if LOSE:
    sys.argv.remove('--lose-reply')

_store = smtp_sink.Recorder.handle_DATA


async def handle_DATA(self, server, session, envelope):
    result = await _store(self, server, session, envelope)
    if LOSE and result.startswith('250'):
        server.transport.abort()  # stored; the answer is lost with the connection
    return result

smtp_sink.Recorder.handle_DATA = handle_DATA

if __name__ == '__main__':
    asyncio.run(smtp_sink.main())
