"""Runs demo scenarios of the end-to-end rig and tells readably what the
launcher did: what was set up, its diagnostic lines, the windows it showed
with a picture of each (pictures.py), what it started and how, the requests
it made and its exit code. Scenarios are the DEMO dictionaries of the suite
files tests/e2e/cases_*.py: a new entry there is a new scenario, pictured
like the others.

  demo.py --build <x64 folder> [--display] [--out DIR] [scenario...]   (default: launch)
  demo.py --build <x64 folder> all [--screenshots]
  demo.py --list
  demo.py --check [scenario...]    only whether the names are known

Pictures go to <out>/<scenario>/ (out: demo/ beside the x64 folder); with
`all` (or --page) the page <out>/index.html tells every scenario run, its
pictures linked by relative paths. --screenshots then copies the README's
pictures into docs/screenshots/. An unknown scenario name prints the list
and exits with 2.

It runs the 32-bit release beside the x64 folder (ROOKMINI_TARGET=x64: the
x64 twin) and names it first.
"""
import argparse
import dataclasses
import shutil
import sys
import time
from pathlib import Path
from typing import Optional

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import demo_page  # noqa: E402
from demo_page import setup_lines, window_lines, shell_line, request_line  # noqa: E402
import rig  # noqa: E402
from pictures import Pictures  # noqa: E402
from run import NAMES, load_suite  # noqa: E402

SCREENSHOTS = HERE.parent.parent / 'docs' / 'screenshots'
# The README's pictures: file name, scenario, the window's caption, and a
# text one of its controls must show ('' for the window as it appeared).
README_PICTURES = [
    ('download_dialog.png', 'install', 'Downloading Corvid App', ''),
    ('download_cancelled_question.png', 'cancel', 'Corvid App', ''),
    ('proxy_sign_in.png', 'proxy', 'Enter Network Password', ''),
    ('connection_lost.png', 'retry', 'Downloading Corvid App', 'Connection lost'),
    ('dotnet_question.png', 'dotnet', '.NET Framework Upgrade Required', ''),
    ('error_dialog.png', 'hijack', 'Corvid App Error', ''),
]


def shows(shot, caption, text):
    """Whether a picture is of that window, showing that text ('': as it
    appeared, before any change)."""
    if not shot.path or shot.window.get('caption') != caption:
        return False
    if not text:
        return not shot.changed
    return any(text in (c.get('text') or '') for c in shot.window.get('controls', []))


@dataclasses.dataclass
class Run:
    """One scenario run: its case as written, the Result, the pictures and
    the verdict of the scenario's own checks ('' when it has none)."""
    name: str
    suite: str
    case: rig.Case
    result: rig.Result
    shots: list
    seconds: float
    checked: str = ''
    problem: Optional[str] = None  # why the run failed, None when it did not

    def shots_of(self, window):
        return [s for s in self.shots if s.window.get('hwnd') == window.get('hwnd')]


def scenarios():
    """{name: (suite, case)} in the order of the suite files and their DEMO."""
    found = {}
    for path in sorted(HERE.glob('cases_*.py')):
        suite = path.stem[len('cases_'):]
        try:
            module = load_suite(suite)
        except Exception as e:  # a suite that needs more than --list gives
            print('(%s skipped: %s)' % (path.name, e), file=sys.stderr)
            continue
        for name, case in getattr(module, 'DEMO', {}).items():
            found[name] = (suite, case)
    return found


def print_list(found, out=sys.stdout):
    for name, (suite, case) in found.items():
        print('%-24s %s (cases_%s.py)' % (name, case.label, suite), file=out)


def shown_path(path):
    """A picture's path as the user typed the command: relative when below
    the current folder."""
    try:
        return str(Path(path).resolve().relative_to(Path.cwd()))
    except ValueError:
        return str(path)


# ---- Text ----------------------------------------------------------------------

def show(run):
    case, result = run.case, run.result
    print('Scenario %s: %s' % (run.name, case.label))
    for line in setup_lines(case, result):
        print('  ' + line)
    print()
    print('Diagnostic lines:')
    for line in result.debug:
        print('  %r' % line)
    if not result.debug:
        print('  (none)')
    print('Windows shown:')
    for w in result.windows:
        print('  [%s] (%s)' % (w['caption'], w['class']))
        for line in window_lines(w):
            print('      ' + line)
        for shot in run.shots_of(w):
            label = 'picture after its texts changed' if shot.changed else 'picture'
            if shot.path:
                print('      %s: %s%s' % (label, shown_path(shot.path),
                                          ' (%s)' % shot.note if shot.note else ''))
            else:
                print('      %s: none, %s' % (label, shot.note))
    if not result.windows:
        print('  (none)')
    for a in result.actions:
        print('  action %s: %s' % (a['do'], 'done' if a['ok'] else 'failed'))
    print('Shell calls by the launcher:')
    for c in result.shell:
        print('  ' + shell_line(c))
    if not result.shell:
        print('  (none)')
    print('Programs started:')
    for s in result.starts:
        print('  %s  command line tail %r' % (s['path'], s['tail']))
        print('      folder %s, verb %s' % (s['cwd'], s['verb'] or '(default)'))
    if not result.starts:
        print('  (none)')
    print('HTTP requests:')
    for q in result.requests:
        print('  ' + request_line(q))
    if not result.requests:
        print('  (none)')
    print('Exit code: %s%s%s' % (result.exit_code, ' (timed out)' if result.timed_out else '',
                                 ' (crashed)' if result.crashes else ''))
    for e in result.errors:
        print('Rig problem: %s' % e)
    if run.checked:
        print("The scenario's checks: %s" % run.checked)
    pictures = [s.path for s in run.shots if s.path]
    print('Pictures:' + ('' if pictures else ' (none)'))
    for path in pictures:
        print('  ' + shown_path(path))
    print()


# ---- Running -------------------------------------------------------------------

def run_scenario(r, name, suite, case, out):
    folder = out / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    pictures = Pictures(r, folder)
    started = time.time()
    result = r.run(pictures.case(case))
    run = Run(name, suite, case, result, list(pictures.shots), time.time() - started)
    problems = list(result.errors)
    if result.exit_code != 0:
        problems.append('exit code %s' % result.exit_code)
    if case.check:
        try:
            case.check(result)
            run.checked = 'passed'
        except Exception as e:
            run.checked = 'FAILED: %s' % (e or type(e).__name__)
            problems.append('its checks failed')
    run.problem = '; '.join(problems) or None
    return run


def copy_screenshots(runs):
    """Copies the README's pictures from this run into docs/screenshots/;
    answers the ones it could not find."""
    missing = []
    by_name = {run.name: run for run in runs}
    for file, scenario, caption, text in README_PICTURES:
        run = by_name.get(scenario)
        shot = next((s for s in run.shots if shows(s, caption, text)), None) if run else None
        if shot is None:
            missing.append('%s (%s, "%s")' % (file, scenario, caption))
            continue
        SCREENSHOTS.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(shot.path, SCREENSHOTS / file)
        print('screenshot: %s <- %s' % (shown_path(SCREENSHOTS / file), shown_path(shot.path)))
    return missing


def run_demo(build, names, out, own_display=True, page=False, wine=None, quiet=False):
    """Runs the named scenarios with one rig; writes the page when asked.
    Answers (runs, the launcher's description), or raises rig.Unavailable."""
    found = scenarios()
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    runs = []
    r = rig.Rig(build, wine=wine, own_display=own_display)
    try:
        launcher = '%s (%s)' % (r.launcher, NAMES[r.target])
        if not quiet:
            print('Running %s' % launcher, flush=True)
        r.prepare()
        for name in names:
            suite, case = found[name]
            run = run_scenario(r, name, suite, case, out)
            runs.append(run)
            if not quiet:
                show(run)
                sys.stdout.flush()
    finally:
        r.close()
    if page:
        demo_page.write(out / 'index.html', runs, launcher)
    return runs, launcher


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument('scenarios', nargs='*', help='scenario names, or all')
    parser.add_argument('--build')
    parser.add_argument('--list', action='store_true')
    parser.add_argument('--check', action='store_true', help='only check the names')
    parser.add_argument('--out', help='where the pictures and the page go')
    parser.add_argument('--page', action='store_true', help='write the page for these scenarios')
    parser.add_argument('--screenshots', action='store_true',
                        help="with all: copy the README's pictures into docs/screenshots/")
    parser.add_argument('--display', action='store_true',
                        help='show the windows on $DISPLAY instead of a private Xvfb')
    args = parser.parse_args(argv)
    found = scenarios()
    if args.list:
        print_list(found)
        return 0
    names = args.scenarios or ['launch']
    every = names == ['all']
    if every:
        names = list(found)
    unknown = [n for n in names if n not in found]
    if unknown:
        print('unknown scenario %s; the scenarios are:' % ', '.join(repr(n) for n in unknown))
        print_list(found)
        return 2
    if args.screenshots and not every:
        print("--screenshots goes with all: the README's pictures come from every scenario")
        return 2
    if args.check:
        return 0
    if not args.build:
        print('--build <x64 folder> is needed')
        return 2
    out = Path(args.out) if args.out else Path(args.build).resolve().parent / 'demo'
    started = time.time()
    try:
        runs, _ = run_demo(args.build, names, out, own_display=not args.display,
                           page=every or args.page)
    except rig.Unavailable as e:
        print('Cannot run the demo: %s' % e)
        return 1
    status = 0
    for run in runs:
        if run.problem:
            print('Scenario %s: FAILED: %s' % (run.name, run.problem))
            status = 1
    if every or args.page:
        print('Page: %s' % shown_path(out / 'index.html'))
    if args.screenshots:
        missing = copy_screenshots(runs)
        if missing:
            print('no picture for the README: %s' % ', '.join(missing))
            status = 1
    if len(runs) > 1:
        print('%d scenarios in %.0f s' % (len(runs), time.time() - started))
    return status


if __name__ == '__main__':
    sys.exit(main())
