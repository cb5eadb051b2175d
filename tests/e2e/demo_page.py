"""The demo's words and page: each scenario run told in lines (for the text
and the page), and one HTML file telling every scenario run (what was set
up, the diagnostic lines, the windows with their pictures, what was started
and the requests made), its pictures linked by paths relative to the page so
that the folder can be copied or attached as it is."""
import datetime
import html
import os
from pathlib import Path


WHERE = {'beside': 'beside the launcher', 'above': 'one folder above the launcher',
         'both': 'beside and above the launcher', 'none': 'nowhere'}


# ---- What a run shows, in words (the text and the page) ----------------------

def describe_route(route):
    size = route.size()
    text = '%d, %d bytes' % (route.status, size)
    if route.length is None:
        text += ', no Content-Length'
    elif route.length != 'auto':
        text += ', Content-Length %s' % route.length
    if route.chunked:
        text += ', chunked'
    if route.pace:
        text += ', %d bytes every %g s' % route.pace
    if route.hold:
        text += ', held until the case lets it answer'
    if route.stall_after is not None:
        text += ', silent after %d bytes' % route.stall_after
    if route.cuts:
        text += ', cut after %s bytes' % ' / '.join(str(c) for c in route.cuts)
    if route.ranges:
        text += ', ranges honoured'
    return text


def describe_action(action):
    what = {'esc': 'press Esc', 'close': 'click the close box', 'none': 'leave'}.get(
        action.what, action.what.replace(':', ' ', 1))
    where = 'the next window'
    if action.caption:
        where += ' captioned "%s"' % action.caption
    if action.text:
        where += ' saying "%s"' % action.text
    return '%s in %s%s' % (what, where, ' after %g s' % (action.delay / 1000.0)
                           if action.delay else '')


def setup_lines(case, result):
    """What a scenario set up, one line each (after the run: a case may make
    what its routes serve while it runs)."""
    lines = ['launcher: %s\\bin\\%s %s' % (result.folder, case.launcher, case.args),
             'App stand-in: ' + WHERE[case.app],
             "Windows version: %s" % (case.winver or "Wine's default"),
             '.NET Framework 2.0 SP1: %s' % ('installed' if case.dotnet
                                             else 'only the keys below')]
    for key, values in case.registry.items():
        if values is None:
            lines.append('registry: %s removed' % key)
            continue
        for name, value in values.items():
            lines.append('registry: %s\\%s = %r' % (key, name or '(default)', value))
    for path, content in case.files.items():
        lines.append('file: %s %s' % (path, 'absent' if content is None
                                      else '(%d bytes)' % len(content)))
    for path in case.standins:
        lines.append('stand-in program: %s' % path)
    for url, route in case.routes.items():
        lines.append('server: %s -> %s' % (url, describe_route(route)))
    for action in case.actions:
        lines.append('then: ' + describe_action(action))
    return lines


def window_lines(window):
    return ['%s %d: %r' % (c['class'], c['id'], c['text'])
            for c in window['controls'] if c['text']]


def shell_line(call):
    return 'verb=%s file=%s params=%r dir=%s show=%d' % (
        call['verb'] or '(default)', call['file'], call['params'], call['dir'], call['show'])


def request_line(request):
    return '%s %s -> %s, %d body bytes (User-Agent: %s)' % (
        request['method'], request['url'], request['status'], request['sent'],
        request['headers'].get('User-Agent'))


# ---- The page --------------------------------------------------------------------

STYLE = '''
body { font: 14px/1.4 sans-serif; margin: 2em auto; max-width: 60em; color: #222; }
h2 { border-top: 1px solid #ccc; padding-top: 1em; }
h3 { margin-bottom: .3em; }
ul { margin-top: .2em; }
code, pre { font: 13px/1.35 monospace; }
.window { margin: .6em 0 1.2em; }
.window img { display: block; margin: .4em 0; border: 1px solid #999; }
.note { color: #a33; font-style: italic; }
.failed { color: #a00; font-weight: bold; }
'''


def esc(text):
    return html.escape(str(text), quote=True)


def items(lines, empty='(none)'):
    if not lines:
        return '<p>%s</p>' % esc(empty)
    return '<ul>%s</ul>' % ''.join('<li><code>%s</code></li>' % esc(l) for l in lines)


def window_html(run, window, page_folder):
    parts = ['<div class="window"><h4>%s <small>(%s)</small></h4>'
             % (esc(window['caption']), esc(window['class']))]
    parts.append(items(window_lines(window), '(no texts)'))
    for shot in run.shots_of(window):
        label = 'After its texts changed: ' if shot.changed else ''
        if shot.path:
            src = Path(os.path.relpath(shot.path, page_folder)).as_posix()
            parts.append('<p>%s<img src="%s" alt="%s">%s</p>' % (
                esc(label), esc(src), esc(window['caption']),
                '<span class="note">%s</span>' % esc(shot.note) if shot.note else ''))
        else:
            parts.append('<p class="note">%s%s</p>' % (esc(label), esc(shot.note)))
    return ''.join(parts) + '</div>'


def scenario_html(run, page_folder):
    case, result = run.case, run.result
    out = ['<h2 id="%s">%s</h2><p>%s <small>(cases_%s.py, %.1f s)</small></p>' % (
        esc(run.name), esc(run.name), esc(case.label), esc(run.suite), run.seconds)]
    if run.problem:
        out.append('<p class="failed">FAILED: %s</p>' % esc(run.problem))
    out.append('<h3>Set up</h3>' + items(setup_lines(case, result)))
    out.append('<h3>Diagnostic lines</h3>' + items([repr(l) for l in result.debug]))
    out.append('<h3>Windows</h3>')
    out.append(''.join(window_html(run, w, page_folder) for w in result.windows)
               or '<p>(none)</p>')
    if result.actions:
        out.append(items(['action %s: %s' % (a['do'], 'done' if a['ok'] else 'failed')
                          for a in result.actions]))
    out.append('<h3>Started</h3>' + items(
        ['%s, command line tail %r, folder %s, verb %s'
         % (s['path'], s['tail'], s['cwd'], s['verb'] or '(default)') for s in result.starts]))
    out.append('<h3>Shell calls</h3>' + items([shell_line(c) for c in result.shell]))
    out.append('<h3>Requests</h3>' + items([request_line(q) for q in result.requests]))
    end = 'Exit code %s%s%s' % (result.exit_code, ' (timed out)' if result.timed_out else '',
                                ' (crashed)' if result.crashes else '')
    if run.checked:
        end += "; the scenario's checks: " + run.checked
    out.append('<p>%s</p>' % esc(end))
    out.extend('<p class="failed">Rig problem: %s</p>' % esc(e) for e in result.errors)
    return '\n'.join(out)


def write(path, runs, launcher):
    path = Path(path)
    folder = path.parent
    when = datetime.datetime.now().strftime('%Y-%m-%d %H:%M')
    toc = ''.join('<li><a href="#%s">%s</a>: %s%s</li>' % (
        esc(r.name), esc(r.name), esc(r.case.label),
        ' <span class="failed">FAILED</span>' if r.problem else '') for r in runs)
    body = '\n'.join(scenario_html(r, folder) for r in runs)
    path.write_text(
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
        '<title>RookMini demo</title><style>%s</style></head><body>\n'
        '<h1>RookMini demo</h1><p>%s, under Wine on Xvfb, %s.</p><ul>%s</ul>\n%s\n'
        '</body></html>\n' % (STYLE, esc(launcher), esc(when), toc, body), encoding='utf-8')
