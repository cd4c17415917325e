#!/usr/bin/python3
"""Cost of the HTML-to-text step in the real program: `droprelay --inspect` on HTML-only messages,
wall time, CPU time and peak resident memory (the process's ru_maxrss), one process per run.

Cases, generated deterministically into a temporary folder:
- hostile R x E: one HTML-only message whose <style> holds R rules ".aN > .bN ~ .cN {display:block}"
  over E sibling <p> elements under one <div> that bears every class aN; sibling i bears bK and cK
  for K = i mod R. Every rule's subject occurs, and its sibling part matches early. The named case
  (1,000 rules, 20,000 siblings) is 1.3 MB; the others show how the cost grows with R and with E.
  In the "miss" variant the <div> bears none of the aN, so no rule ever matches and every
  sibling before a subject has to be ruled out.
- newsletter N: a large real-looking newsletter (a media-query style sheet of a few hundred rules
  as mail builders write them, nested layout tables, preheader and footer, N article blocks).

    bench/html_cost_bench.py --bin build/headless/droprelay-headless [--runs 3] [--cases NAME...]

Prints a Markdown table: the median of the runs, and every run's wall time."""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time


def hostile(rules, elements, parent_matches=True):
    css = "".join(".a%d > .b%d ~ .c%d {display:block}\n" % (n, n, n) for n in range(rules))
    parent = " ".join("a%d" % n for n in range(rules)) if parent_matches else "x"
    body = []
    for i in range(elements):
        k = i % rules
        body.append('<p class="b%d c%d">item %d, a line of ordinary words</p>\n' % (k, k, i))
    return ("<html><head><style>\n" + css + "</style></head><body>\n<div class=\"" + parent + "\">\n"
            + "".join(body) + "</div></body></html>\n")


def newsletter(articles):
    css = ["body{margin:0;padding:0} table{border-collapse:collapse} img{border:0;display:block}",
           ".preheader{display:none!important;visibility:hidden;mso-hide:all;font-size:1px}",
           "@media only screen and (max-width:600px){.mobile-hide{display:none!important}"
           " .mobile-show{display:block!important} .col{width:100%!important;display:block!important}}"]
    for n in range(300):
        css.append(".s%d td.c%d a.l%d{color:#%06x;text-decoration:none}" % (n, n % 7, n % 11, n * 977 % 0xFFFFFF))
        css.append("#m%d .col > p.t%d{margin:0 0 %dpx 0}" % (n, n % 5, n % 20))
        css.append("div.w%d span + span.k%d{white-space:nowrap}" % (n, n % 9))
    out = ['<!DOCTYPE html PUBLIC "-//W3C//DTD XHTML 1.0 Transitional//EN" '
           '"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd">',
           '<html><head><meta http-equiv="Content-Type" content="text/html; charset=utf-8">',
           "<style type=\"text/css\">\n" + "\n".join(css) + "\n</style></head><body>",
           '<div class="preheader">Новости недели: скидки, события и советы&zwnj;&nbsp;&zwnj;&nbsp;</div>',
           '<table width="100%" cellpadding="0" cellspacing="0" id="m1"><tr><td align="center">',
           '<table width="600" class="s1"><tr><td class="c1"><a class="l1" href="https://example.ru/">'
           '<img src="https://example.ru/logo.png" alt="Logo" width="120"></a></td>'
           '<td class="c2 mobile-hide" style="text-align:right">Открыть в браузере</td></tr></table>']
    for i in range(articles):
        out.append(
            '<table width="600" class="s%d" id="m%d"><tr><td class="col c%d" valign="top" width="200">'
            '<img src="https://example.ru/i/%d.jpg" alt="Статья %d" width="200"></td>'
            '<td class="col c%d" valign="top"><div class="w%d"><h2 style="font-family:Arial;font-size:18px">'
            'Заголовок статьи номер %d</h2><p class="t%d" style="margin:0">Короткий анонс: что нового, '
            'почему это важно и как <b>воспользоваться</b> предложением до конца месяца.</p>'
            '<span>Читать</span> <span class="k%d">далее&nbsp;&rarr;</span></div>'
            '<table><tr><td class="c%d"><a class="l%d" href="https://example.ru/a/%d?utm_source=mail">'
            'Подробнее</a></td><td class="mobile-show" style="display:none">Мобильная ссылка</td>'
            '</tr></table></td></tr></table>'
            % (i % 300, i % 300, i % 7, i, i, i % 7, i % 300, i, i % 5, i % 9, i % 7, i % 11, i))
    out.append('<table width="600"><tr><td style="font-size:11px;color:#999">Вы получили это письмо, '
               'потому что подписаны на рассылку. <a href="https://example.ru/u">Отписаться</a><br>'
               'ООО «Пример», Москва, ул. Примерная, д. 1</td></tr></table></td></tr></table></body></html>')
    return "\n".join(out) + "\n"


def message(html):
    return ("From: sender@example.org\r\nTo: ivan@example.org\r\nSubject: bench\r\n"
            "MIME-Version: 1.0\r\nContent-Type: text/html; charset=utf-8\r\n"
            "Content-Transfer-Encoding: 8bit\r\n\r\n" + html.replace("\n", "\r\n")).encode("utf-8")


CASES = {
    "hostile-1000x20000": lambda: hostile(1000, 20000),
    "hostile-500x20000": lambda: hostile(500, 20000),
    "hostile-2000x20000": lambda: hostile(2000, 20000),
    "hostile-1000x10000": lambda: hostile(1000, 10000),
    "hostile-1000x40000": lambda: hostile(1000, 40000),
    "hostile-miss-1000x20000": lambda: hostile(1000, 20000, False),
    "newsletter-400": lambda: newsletter(400),
    "newsletter-1600": lambda: newsletter(1600),
}


def measure(binary, ini, path):
    """One run in a fresh process: exit status, wall s, CPU s, peak RSS MB, warning logged."""
    start = time.perf_counter()
    with open(os.devnull, "wb") as null:
        process = subprocess.Popen([binary, "--config", ini, "--inspect", path],
                                   stdout=null, stderr=subprocess.PIPE)
        err = process.stderr.read()
        _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    return (os.waitstatus_to_exitcode(status), wall, usage.ru_utime + usage.ru_stime,
            usage.ru_maxrss / 1024.0, err)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--cases", nargs="*", default=list(CASES))
    parser.add_argument("--budget-ms", type=int, default=None,
                        help="html_time_budget_ms for the runs (default: the program's default)")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="droprelay-html-bench-")
    ini = os.path.join(work, "bench.ini")
    with open(ini, "w") as f:
        f.write("[system]\nhtml_wait_ms=0\n")
        if args.budget_ms is not None:
            f.write("html_time_budget_ms=%d\n" % args.budget_ms)
    print("| case | size | wall (median) | CPU (median) | peak RSS (max) | budget warning | runs (wall) |")
    print("|---|---:|---:|---:|---:|---|---|")
    for name in args.cases:
        path = os.path.join(work, name + ".eml")
        data = message(CASES[name]())
        with open(path, "wb") as f:
            f.write(data)
        walls, cpus, peaks, warned = [], [], [], False
        for _ in range(args.runs):
            code, wall, cpu, peak, err = measure(args.bin, ini, path)
            if code != 0:
                sys.exit("%s: exit status %d\n%s" % (name, code, err.decode("utf-8", "replace")))
            walls.append(wall)
            cpus.append(cpu)
            peaks.append(peak)
            warned = warned or b"html_time_budget_ms" in err
        print("| %s | %.2f MB | %.2f s | %.2f s | %.0f MB | %s | %s |" % (
            name, len(data) / 1e6, statistics.median(walls), statistics.median(cpus), max(peaks),
            "yes" if warned else "no", ", ".join("%.2f" % w for w in walls)))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
