"""Installer-path benchmark: the launcher's whole install mode under Wine
(the progress dialog, the download into the file, the signature check, until
it has started the installer and ended) against a yardstick program that
does the same work bare: a WinINet loop writing each read to a file, then
WinVerifyTrust on it. Both fetch a maker-signed installer (the stand-in,
padded; signing.padded_installer) from the e2e rig's loopback server, which
the bench's Wine prefix uses as its proxy, with and without a Content-Length.

Each run is timed from the program's start to its end by watch.exe, which
starts it as its child and samples its private bytes every millisecond.
The median time of small (1 MiB) runs is taken off the median of the large
ones on each side, so that only the time that grows with the size is
compared; the small runs themselves are the fixed cost, compared on their
own (the launcher's start, dialog and signature check against the bare
loop's). The bench's prefix has the test prefixes' settings: no crash
dialog, and windows left to Wine, as Xvfb has no window manager (hiding a
managed window would wait 2 s for one). The launcher's peak is its private bytes while the download dialog
is shown above those when it first appeared.

The launcher is the x64 twin with the x64 yardstick, or with --target x86
the 32-bit release with a 32-bit yardstick. A run fails the bench unless the
installer was saved whole and (for the launcher) started.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / 'e2e'))
import rig  # noqa: E402
import signing  # noqa: E402

MIB = 1 << 20
SMALL_MIB = 1    # the run whose time is the fixed cost
JUDGED_MIB = 64  # the smallest size on which the targets are judged
RATIO_TARGET = 1.1
FIXED_TARGET = 1.5  # the launcher's fixed cost (the 1 MiB run) against the yardstick's
PEAK_TARGET_MIB = 16
DIALOG = 'Downloading Corvid App'
QUESTION = 'Corvid App'  # the launcher's question after a failure: ends the run
INSTALLER = 'meridian_setupfull.exe'
RUN_TIMEOUT = 900  # a 32-bit run is emulated: generous

BENCH = 'C:\\bench'
LAUNCHER = BENCH + '\\bin\\RookMini.exe'  # nothing named CorvidApp.exe beside or above
YARDSTICK_FILE = BENCH + '\\yardstick.bin'
STANDIN_LOG = BENCH + '\\standins.jsonl'
STAGING_ROOT = 'C:\\ProgramData\\Ironbark'

CASES = [('with Content-Length', 'auto'), ('without Content-Length', None)]


class Failed(Exception):
    pass


class Bench:
    def __init__(self, build, wine, target):
        self.build = Path(build).resolve()  # Wine wants an absolute WINEPREFIX
        self.target = target
        self.wine = wine
        self.wineserver = str(Path(wine).with_name('wineserver'))
        self.prefix = self.build / 'prefix-bench'
        self.drive_c = self.prefix / 'drive_c'
        self.launcher = (self.build if target == 'x64' else self.build.parent / 'x86') / \
            'RookMini.exe'
        arch_folder = self.build if target == 'x64' else self.build / 'rig-x86'
        self.yardstick = arch_folder / 'yardstick.exe'
        self.standin = arch_folder / 'standin.exe'
        env = {k: v for k, v in os.environ.items()
               if k.lower() not in ('http_proxy', 'https_proxy', 'no_proxy', 'all_proxy')
               and not k.startswith('RIG_')}
        self.env = dict(env, WINEPREFIX=str(self.prefix), WINEDEBUG='-all',
                        WINEDLLOVERRIDES='mscoree,mshtml=', RIG_STANDIN_LOG=STANDIN_LOG)
        self.server = None

    def unix(self, winpath):
        return self.drive_c.joinpath(*winpath[3:].split('\\'))

    def wine_run(self, *args, timeout=300):
        return subprocess.run([self.wine, *args], env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=timeout)

    def prepare(self):
        for program in (self.launcher, self.yardstick, self.standin, self.build / 'watch.exe'):
            if not program.exists():
                raise Failed('%s is missing (scripts/bench builds it)' % program)
        syswow64 = self.drive_c / 'windows' / 'syswow64'
        if self.target == 'x86' and (self.prefix / 'system.reg').exists() and \
                not any(syswow64.glob('*.dll')):
            # Made before Wine's 32-bit half was there: it cannot run 32-bit programs.
            self.wineserver_run('-k')
            shutil.rmtree(self.prefix)
        if not (self.prefix / 'system.reg').exists():
            self.wine_run('wineboot', '-i')
        self.wineserver_run('-k')  # a launcher left by an interrupted run holds its mutex
        self.wineserver_run('-p60')  # one server for every run
        self.server = rig.Server()
        bench = self.unix(BENCH)
        shutil.rmtree(bench, ignore_errors=True)
        (bench / 'bin').mkdir(parents=True)
        shutil.copyfile(self.launcher, self.unix(LAUNCHER))
        # The prefix's proxy is the loopback server, so the launcher's built-in
        # URL reaches it unchanged; .NET 2.0 SP1 lets the start-up gate pass.
        dotnet = rig._reg_root(r'HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v2.0.50727',
                               view32=self.target == 'x86')
        lines = ['[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\'
                 'Internet Settings]', '"ProxyEnable"=dword:00000001',
                 '"ProxyServer"=' + rig._reg_string('127.0.0.1:%d' % self.server.port),
                 '"ProxyOverride"=-', '',
                 '[' + dotnet + ']', rig._reg_value('Install', 1), rig._reg_value('SP', 1), '',
                 # As in the test prefixes: a crash ends its run at once, and
                 # hiding a window does not wait for a window manager.
                 '[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]',
                 rig._reg_value('ShowCrashDialog', 0), '',
                 '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]',
                 rig._reg_value('Managed', 'N'), '']
        reg = bench / 'bench.reg'
        text = 'Windows Registry Editor Version 5.00\r\n\r\n' + '\r\n'.join(lines) + '\r\n'
        reg.write_bytes(b'\xff\xfe' + text.encode('utf-16-le'))
        self.wine_run('regedit', '/S', BENCH + '\\bench.reg')

    def close(self):
        if self.server:
            self.server.stop()
        self.wineserver_run('-k')
        # The saved installers are as large as the served one.
        shutil.rmtree(self.unix(STAGING_ROOT), ignore_errors=True)
        if self.unix(YARDSTICK_FILE).exists():
            self.unix(YARDSTICK_FILE).unlink()

    def wineserver_run(self, option):
        # The server may stay: it must not hold a pipe of ours open.
        subprocess.run([self.wineserver, option], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def watch(self, caption, stop, folder, command):
        done = self.wine_run(str(self.build / 'watch.exe'), caption, stop, folder, command,
                             timeout=RUN_TIMEOUT)
        lines = [l for l in done.stdout.splitlines() if l.startswith('{')]
        if not lines or not json.loads(lines[-1])['ok']:
            raise Failed('watch.exe %s: %r %r' % (command, done.stdout, done.stderr))
        return json.loads(lines[-1])

    def serve(self, installer, length):
        self.server.reset({rig.INSTALLER_URL: rig.Route(file=installer, length=length)})

    def run_launcher(self, installer):
        shutil.rmtree(self.unix(STAGING_ROOT), ignore_errors=True)
        log = self.unix(STANDIN_LOG)
        if log.exists():
            log.unlink()
        result = self.watch(DIALOG, QUESTION, BENCH + '\\bin', '"%s"' % LAUNCHER)
        # The launcher does not wait for the installer: wait for its record.
        deadline = time.time() + (0 if result['stopped'] else 60)
        while not log.exists() and time.time() < deadline:
            time.sleep(0.05)
        starts = [json.loads(l) for l in log.read_text(encoding='utf-8').splitlines()
                  if l.strip()] if log.exists() else []
        staged = self.unix(rig.STAGED_INSTALLER)
        saved = staged.stat().st_size if staged.exists() else None
        if result['stopped'] or saved != installer.stat().st_size or \
                [s['name'] for s in starts] != [INSTALLER]:
            raise Failed('launcher: saved %s of %d bytes, started %s, dialog shown %s, failure '
                         'question %s, requests %s'
                         % (saved, installer.stat().st_size, starts, result['shown'] >= 0,
                            result['stopped'], self.requests()))
        return result

    def run_yardstick(self, installer):
        saved = self.unix(YARDSTICK_FILE)
        if saved.exists():
            saved.unlink()
        result = self.watch('', '', BENCH, '"%s" %s %s' % (signing.windows_path(self.yardstick),
                                                           rig.INSTALLER_URL, YARDSTICK_FILE))
        size = saved.stat().st_size if saved.exists() else None
        if result['exit'] != 0 or size != installer.stat().st_size:
            raise Failed('yardstick: exit %d (1: download, 2: signature), saved %s of %d bytes, '
                         'requests %s' % (result['exit'], size, installer.stat().st_size,
                                          self.requests()))
        return result

    def requests(self):
        with self.server.lock:
            return [(e['url'], e['status'], e['sent']) for e in self.server.log]


def median(runs, key):
    return statistics.median(r[key] for r in runs)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', required=True, help='the x64 build folder')
    parser.add_argument('--wine', default='/usr/lib/wine/wine64')
    parser.add_argument('--mib', type=int, default=256)
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--target', choices=('x64', 'x86'), default='x64',
                        help='x64: the twin; x86: the 32-bit release')
    args = parser.parse_args()
    sizes = [args.mib] + ([SMALL_MIB] if args.mib > SMALL_MIB else [])

    bench = Bench(args.build, args.wine, args.target)
    try:
        installers = {mib: signing.padded_installer(bench.standin, mib * MIB) for mib in sizes}
        bench.prepare()
        rows = []
        for label, length in CASES:
            runs = {(who, mib): [] for who in ('launcher', 'yardstick') for mib in sizes}
            # Interleaved, so that a slow phase of the machine hits both sides.
            for _ in range(args.runs):
                for mib in sizes:
                    bench.serve(installers[mib], length)
                    runs['launcher', mib].append(bench.run_launcher(installers[mib]))
                    runs['yardstick', mib].append(bench.run_yardstick(installers[mib]))
            rows.append((label, runs))
    except (Failed, subprocess.TimeoutExpired) as e:
        print('bench: FAILED: %s' % e)
        return 1
    finally:
        bench.close()

    big = installers[args.mib].stat().st_size
    subtract = len(sizes) > 1
    print('installer path: %s (%s) against the yardstick %s; a maker-signed installer of %d '
          'bytes from a loopback server through the prefix proxy; median of %d runs'
          % (bench.launcher, 'the x64 twin' if args.target == 'x64' else 'the 32-bit release',
             bench.yardstick, big, args.runs))
    print('grown: the time less that of a %d MiB installer (the fixed cost); ratio: launcher / '
          'yardstick of that; fixed: launcher / yardstick of the %d MiB run; peak: the '
          'launcher\'s private bytes while its download dialog is shown above those when it '
          'appeared (base)' % (SMALL_MIB, SMALL_MIB) if subtract else
          'no fixed cost taken off: the installer is the small one; fixed: launcher / yardstick')
    print('%-24s %-10s %9s %9s %9s %6s %6s %9s %9s' % (
        '', 'program', '%d MiB s' % args.mib, '%d MiB s' % SMALL_MIB if subtract else '',
        'grown s' if subtract else '', 'ratio', 'fixed', 'peak MiB', 'base MiB'))
    judged, fixed_judged = [], []
    for label, runs in rows:
        line = {}
        grown = {}
        fixed = {}
        for who in ('launcher', 'yardstick'):
            large = median(runs[who, args.mib], 'seconds')
            small = median(runs[who, SMALL_MIB], 'seconds') if subtract else None
            fixed[who] = small if subtract else large
            grown[who] = large - small if subtract else large
            line[who] = '%-24s %-10s %9.2f %9s %9s' % (
                label if who == 'launcher' else '', who, large,
                '%.2f' % small if subtract else '', '%.2f' % grown[who] if subtract else '')
        ratio = grown['launcher'] / grown['yardstick'] if grown['yardstick'] > 0 else None
        launched = runs['launcher', args.mib]
        peak = statistics.median(r['peak_shown'] - r['base'] for r in launched) / MIB
        fixed_ratio = fixed['launcher'] / fixed['yardstick'] if fixed['yardstick'] > 0 else None
        print(line['launcher'] + ' %6s %6s %9.1f %9.1f' % (
            '-' if ratio is None else '%.2f' % ratio,
            '-' if fixed_ratio is None else '%.2f' % fixed_ratio,
            peak, median(launched, 'base') / MIB))
        print(line['yardstick'])
        fixed_judged.append(('%s: fixed cost, launcher / yardstick <= %.1f'
                             % (label, FIXED_TARGET),
                             fixed_ratio is not None and fixed_ratio <= FIXED_TARGET,
                             '-' if fixed_ratio is None else '%.2f' % fixed_ratio))
        judged.append(('%s: launcher / yardstick <= %.1f' % (label, RATIO_TARGET),
                       ratio is not None and ratio <= RATIO_TARGET,
                       '-' if ratio is None else '%.2f' % ratio))
        judged.append(('%s: launcher peak <= %d MiB' % (label, PEAK_TARGET_MIB),
                       peak <= PEAK_TARGET_MIB, '%.1f MiB' % peak))
    if args.mib < JUDGED_MIB:
        # Start-up and the fixed cost outweigh the transfer on a small installer.
        print('targets on the grown time and the peak: not judged under %d MiB' % JUDGED_MIB)
        judged = []
    for label, met, figure in fixed_judged + judged:
        print('%-58s %10s  %s' % (label, figure, 'met' if met else 'NOT MET'))
    return 0


if __name__ == '__main__':
    sys.exit(main())
