"""Stored messages of the four kinds that scripts/demo relays: plain UTF-8 with an encoded
subject, KOI8-R, quoted-printable text with one attachment, and HTML only. Used by the backlog
tests and by bench/relay_bench.py; write_backlog() fills a drop folder with N of them in turn."""

import base64
import os
import time

KINDS = ('plain-utf8', 'koi8-r', 'attachment', 'html-only')


def _b64(text, charset='utf-8'):
    return base64.b64encode(text.encode(charset)).decode()


def message(kind, n):
    """Message number n of the given kind, as bytes with CR LF line ends."""
    if kind == 'plain-utf8':
        head = ('Received: from mail.example.net ([192.0.2.10]) by relay.example.org with SMTP; '
                'Mon, 7 Dec 2026 09:12:01 +0300\n'
                'From: =?UTF-8?B?%s?= <sales@example.net>\n'
                'To: "Иванов Пётр" <p.ivanov%d@example.net>\n'
                'Subject: =?UTF-8?B?%s?=\n'
                'Date: Mon, 7 Dec 2026 09:12:00 +0300\n'
                'Message-ID: <20261207091200.%d@example.net>\n'
                'MIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n'
                'Content-Transfer-Encoding: 8bit\n\n') % (_b64('Отдел продаж'), n, _b64('Отчёт о продажах за ноябрь'), n)
        body = ('Уважаемые коллеги,\n\nотчёт о продажах за ноябрь готов: выручка выросла на 12 %.\n\n'
                '--\nОтдел продаж\n')
        return _crlf_utf8(head + body)
    if kind == 'koi8-r':
        head = ('From: support@example.net\nTo: helpdesk%d@example.net\n'
                'Subject: =?koi8-r?B?%s?=\n'
                'Date: Mon, 7 Dec 2026 09:20:41 +0300\nMIME-Version: 1.0\n'
                'Content-Type: text/plain; charset="koi8-r"\nContent-Transfer-Encoding: 8bit\n\n'
                ) % (n, _b64('Заявка %d: не печатает принтер' % n, 'koi8-r'))
        body = 'Принтер в кабинете 214 не печатает с утра.\nПросьба проверить картридж.\n'
        return (head + body).replace('\n', '\r\n').encode('koi8-r')
    if kind == 'attachment':
        csv = 'Позиция;Количество;Сумма\nБумага А4;10;2500\nКартридж;2;7800\n'.encode()
        csv_b64 = base64.encodebytes(csv).decode()
        name = _b64('счёт-318.csv')
        text = ('From: accounting@example.net\n'
                'To: Petrova Anna <a.petrova%d@example.net>, boss@example.net\n'
                'Subject: =?UTF-8?Q?=D0=A1=D1=87=D1=91=D1=82_=E2=84=96_318?=\n'
                'Date: Mon, 7 Dec 2026 09:31:17 +0300\nMIME-Version: 1.0\n'
                'Content-Type: multipart/mixed; boundary="----=_Part_318"\n\n'
                '------=_Part_318\nContent-Type: text/plain; charset=utf-8\n'
                'Content-Transfer-Encoding: quoted-printable\n\n'
                '=D0=A1=D1=87=D1=91=D1=82 =D0=B2=D0=BE =D0=B2=D0=BB=D0=BE=D0=B6=D0=B5=D0=BD=D0=B8=D0=B8.\n\n'
                '------=_Part_318\nContent-Type: text/csv; name="=?UTF-8?B?%s?="\n'
                'Content-Disposition: attachment; filename="=?UTF-8?B?%s?="\n'
                'Content-Transfer-Encoding: base64\n\n%s------=_Part_318--\n') % (n, name, name, csv_b64)
        return _crlf_utf8(text)
    if kind == 'html-only':
        text = ('From: news@example.net\nTo: all%d@example.net\nSubject: =?UTF-8?B?%s?=\n'
                'Date: Mon, 7 Dec 2026 10:02:55 +0300\nMIME-Version: 1.0\n'
                'Content-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n'
                '<html><head><style>p { margin: 0 }</style></head><body>\n<h1>Новости недели</h1>\n'
                '<p>В пятницу в <b>16:00</b> &mdash; общее собрание.</p>\n'
                '<ul><li>Новый график дежурств</li><li>Итоги квартала</li></ul>\n</body></html>\n'
                ) % (n, _b64('Новости недели'))
        return _crlf_utf8(text)
    raise ValueError(kind)


def _crlf_utf8(text):
    return text.replace('\r\n', '\n').replace('\n', '\r\n').encode('utf-8')


def write_backlog(folder, count):
    """Writes count messages into folder, the four kinds in turn; answers the file names."""
    names = []
    for n in range(count):
        name = 'msg%06d.eml' % n
        path = os.path.join(folder, name)
        with open(path, 'wb') as f:
            f.write(message(KINDS[n % len(KINDS)], n))
        # Written a minute ago, as a finished backlog is: the relay leaves files modified in the
        # last two seconds for a later cycle.
        then = time.time() - 60
        os.utime(path, (then, then))
        names.append(name)
    return names
