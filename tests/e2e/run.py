"""Runs one suite of end-to-end cases (tests/e2e/cases_<suite>.py) with the
rig of a built x64 folder and prints one line per case and a summary. The
first line names the launcher under test: the 32-bit release beside that
folder, or the x64 twin with ROOKMINI_TARGET=x64.

  run.py --build <x64 folder> --suite launch [--case <label>] [--verbose]
  run.py --build <x64 folder> --prepare        create or wake the Wine prefix
"""
import argparse
import importlib
import sys
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import rig  # noqa: E402


NAMES = {'x86': 'the 32-bit release', 'x64': 'the x64 twin'}


def load_suite(name):
    return importlib.import_module('cases_' + name)


def check_case(r, case):
    """Runs the case; answers (ok, reason, result)."""
    result = r.run(case)
    if result.errors:
        return False, 'rig: ' + '; '.join(result.errors), result
    try:
        case.check(result)
    except AssertionError as e:
        return False, 'assertion: %s\n%s' % (e, traceback.format_exc(limit=-1)), result
    except Exception:
        return False, traceback.format_exc(), result
    return True, '', result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', required=True)
    parser.add_argument('--wine')
    parser.add_argument('--suite')
    parser.add_argument('--case', help='run only the case with this label')
    parser.add_argument('--prepare', action='store_true')
    parser.add_argument('--verbose', action='store_true', help='print every result')
    args = parser.parse_args()

    r = None
    try:
        r = rig.Rig(args.build, wine=args.wine)
        print('launcher: %s (%s)' % (r.launcher, NAMES[r.target]), flush=True)
        r.prepare()
        if args.prepare:
            print('prefix ready: %s' % r.prefix)
            return 0
        cases = load_suite(args.suite).CASES
        if args.case:
            cases = [c for c in cases if c.label == args.case]
            if not cases:
                print('no case labelled %r' % args.case)
                return 2
        passed = failed = 0
        for case in cases:
            started = time.time()
            ok, reason, result = check_case(r, case)
            took = time.time() - started
            if ok:
                passed += 1
                print('%-60s ok (%.1f s)' % (case.label, took), flush=True)
                if args.verbose:
                    print(result.dump())
            else:
                failed += 1
                print('%-60s FAIL (%.1f s): %s' % (case.label, took, reason), flush=True)
                print(result.dump(), flush=True)
        print('%d passed, %d failed' % (passed, failed))
        return 1 if failed else 0
    except rig.Unavailable as e:
        print('cannot test: %s' % e, flush=True)
        return 1
    finally:
        if r:
            r.close()


if __name__ == '__main__':
    sys.exit(main())
