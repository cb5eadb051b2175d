"""Runs one demo scenario of the end-to-end rig and tells readably what the
launcher did: its diagnostic lines, the windows it showed, what it started
and how, the requests it made and its exit code. Scenarios are the DEMO
dictionaries of the suite files tests/e2e/cases_*.py.

  demo.py --build <x64 folder> [--display] [scenario]   (default: launch)
  demo.py --list

It runs the 32-bit release beside the x64 folder (ROOKMINI_TARGET=x64: the
x64 twin) and names it first.
"""
import argparse
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import rig  # noqa: E402
from run import NAMES, load_suite  # noqa: E402


def scenarios():
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


def show(case, result):
    print('Scenario: %s' % case.label)
    where = {'beside': 'beside the launcher', 'above': 'one folder above the launcher',
             'both': 'beside and above the launcher', 'none': 'nowhere'}[case.app]
    print('  launcher: %s\\bin\\%s %s' % (result.folder, case.launcher, case.args))
    print('  App stand-in: %s' % where)
    for url, route in case.routes.items():
        print('  server: %s -> %d, %d bytes' % (url, route.status, len(route.body)))
    print()
    print('Diagnostic lines:')
    for line in result.debug:
        print('  %r' % line)
    if not result.debug:
        print('  (none)')
    print('Windows shown:')
    for w in result.windows:
        print('  [%s] (%s)' % (w['caption'], w['class']))
        for c in w['controls']:
            if c['text']:
                print('      %s %d: %r' % (c['class'], c['id'], c['text']))
    if not result.windows:
        print('  (none)')
    for a in result.actions:
        print('  action %s: %s' % (a['do'], 'done' if a['ok'] else 'failed'))
    print('Shell calls by the launcher:')
    for c in result.shell:
        print('  verb=%s file=%s params=%r dir=%s show=%d' % (
            c['verb'] or '(default)', c['file'], c['params'], c['dir'], c['show']))
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
        print('  %s %s (User-Agent: %s)' % (q['method'], q['url'], q['headers'].get('User-Agent')))
    if not result.requests:
        print('  (none)')
    print('Exit code: %s%s%s' % (result.exit_code, ' (timed out)' if result.timed_out else '',
                                 ' (crashed)' if result.crashes else ''))
    for e in result.errors:
        print('Rig problem: %s' % e)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('scenario', nargs='?', default='launch')
    parser.add_argument('--build')
    parser.add_argument('--list', action='store_true')
    parser.add_argument('--display', action='store_true',
                        help='show the windows on $DISPLAY instead of a private Xvfb')
    args = parser.parse_args()
    found = scenarios()
    if args.list:
        for name, (suite, case) in sorted(found.items()):
            print('%-24s %s (cases_%s.py)' % (name, case.label, suite))
        return 0
    if args.scenario not in found:
        print('unknown scenario %r; try --list' % args.scenario)
        return 2
    if not args.build:
        print('--build <x64 folder> is needed')
        return 2
    suite, case = found[args.scenario]
    r = None
    try:
        r = rig.Rig(args.build, own_display=not args.display)
        print('Running %s (%s)' % (r.launcher, NAMES[r.target]), flush=True)
        r.prepare()
        result = r.run(case)
    except rig.Unavailable as e:
        print('Cannot run the demo: %s' % e)
        return 1
    finally:
        if r:
            r.close()
    show(case, result)
    ok = result.exit_code == 0 and not result.errors
    if case.check:
        try:
            case.check(result)
            print("The scenario's checks: passed")
        except AssertionError as e:
            print("The scenario's checks: FAILED: %s" % e)
            ok = False
    return 0 if ok else 1


if __name__ == '__main__':
    sys.exit(main())
