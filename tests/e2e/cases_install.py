"""Install mode end to end: the download dialog over a paced download, the
saved installer compared byte for byte with what was served (the installer is
the stand-in itself, so its elevated start is recorded), Cancel and Esc in
the middle of a transfer, a failed and a cut-short download, a second
launcher while the dialog is open, and "/DoUpdate" with the App installed."""
import os
import time

import signing
from rig import Case, Route, INSTALLER_URL, STAGED_INSTALLER, press, esc

STAGING = r'C:\ProgramData\Ironbark\Meridian\Temporary\meridian_mainmini'
DIALOG = 'Downloading Corvid App'
DIALOG_TEXTS = ['Cancel', 'Downloading, please wait...', '']
CANCELLED = ('The automatic retrieving of the App was canceled.\n\n'
             'Would you like to download it through your Internet browser?')
FAILED = ('There was a problem retrieving the App automatically.\n\n'
          'Would you like to download it through your Internet browser?')
EARLIER = b'MZ an installer from an earlier run'
PARTIAL = STAGING + r'\meridian_setupfull.partial'


def serve_standin(extra=0, sample='maker'):
    """The installer route is held until the case has put the stand-in, signed
    by the maker (or another sample of signing.py), into it (the rig knows
    where the build is); extra bytes announced beyond the body cut the
    transfer short."""
    def during(ctx):
        body = signing.installer_sample(ctx.rig.standin_file(), sample)
        route = ctx.case.routes[INSTALLER_URL]
        route.body = body
        if extra:
            route.length = len(body) + extra
        ctx.result.served = body
        release_when_shown(ctx)
    return during


def release_when_shown(ctx):
    """Lets the held installer route answer once the dialog has been seen (a
    quick answer could close it before it is reported), then keeps what the
    launcher leaves at the installer path."""
    deadline = time.time() + 20
    while not dialogs(ctx.result) and time.time() < deadline:
        time.sleep(0.05)
    ctx.release(INSTALLER_URL)
    keep_staged(ctx)


def keep_staged(ctx):
    """After the launcher has ended, keeps what lies at the installer path
    (None when nothing) in result.staged."""
    deadline = time.time() + ctx.case.timeout
    while ctx.result.exit_code is None and not ctx.result.timed_out and time.time() < deadline:
        time.sleep(0.1)
    path = ctx.rig.unix(STAGED_INSTALLER)
    ctx.result.staged = path.read_bytes() if path.exists() else None
    ctx.result.partial_left = ctx.rig.unix(PARTIAL).exists()


def ends_quietly(r):
    assert not r.timed_out, 'timed out'
    assert not r.crashes, 'crashed: %s' % r.crashes
    assert r.exit_code == 0, 'exit code %s' % r.exit_code


def dialogs(r):
    return [w for w in r.windows if w['caption'] == DIALOG]


def questions(r):
    return [w for w in r.windows if w['caption'] == 'Corvid App']


def dialog_shown(r):
    shown = dialogs(r)
    assert len(shown) == 1, 'windows: %s' % [w['caption'] for w in r.windows]


def dialog_as_built(r):
    """The download dialog as the release shows it (its texts are asserted
    here only)."""
    installer_started(r)
    shown = dialogs(r)[0]
    assert r.texts(shown) == DIALOG_TEXTS, r.texts(shown)
    classes = [c['class'].lower() for c in shown['controls']]
    assert classes == ['button', 'static', 'msctls_progress32'], classes


def installer_started(r):
    """Saved byte for byte as served, started once elevated from the staging
    folder, no question asked."""
    ends_quietly(r)
    dialog_shown(r)
    assert r.staged == r.served, 'saved %s bytes, served %s' % (
        None if r.staged is None else len(r.staged), len(r.served))
    starts = r.started('meridian_setupfull.exe')
    assert len(starts) == 1, 'starts: %s' % r.starts
    assert starts[0]['verb'] == 'runas', starts[0]
    assert starts[0]['cwd'].rstrip('\\').lower() == STAGING.lower(), starts[0]['cwd']
    assert starts[0]['tail'] == '', starts[0]['tail']
    assert not questions(r), 'question asked'
    assert not r.started('CorvidApp.exe') and not r.started('browser.exe'), r.starts
    assert [q['url'] for q in r.requests] == [INSTALLER_URL], r.requests


def started_with(*lines):
    def check(r):
        installer_started(r)
        for line in lines:
            assert line in r.debug, 'missing %r in %s' % (line, r.rig_lines())
        assert 'RookMini: No download data' not in r.debug
    return check


def asked(question, staged, browser, *lines):
    """No installer started; the question asked once; the browser opened
    on the full-installer URL only when Yes was pressed; what lies at the
    installer path afterwards."""
    def check(r):
        ends_quietly(r)
        dialog_shown(r)
        assert not r.started('meridian_setupfull.exe'), r.starts
        asked = questions(r)
        assert len(asked) == 1 and question in r.texts(asked[0]), [r.texts(w) for w in asked]
        opened = [s['tail'] for s in r.started('browser.exe')]
        assert opened == (['"%s"' % INSTALLER_URL] if browser else []), opened
        assert r.staged == staged, r.staged
        assert not r.partial_left, 'the partial download was left behind'
        for line in lines:
            assert line in r.debug, 'missing %r in %s' % (line, r.rig_lines())
    return check


def second_launcher(ctx):
    """While the first dialog waits for its held download, a second launcher
    in install mode must end at once without a window."""
    if ctx.wait_request(INSTALLER_URL, timeout=20):
        ctx.run_launcher(args='/DoUpdate')
    else:
        ctx.result.errors.append('the first launcher never asked for the installer')
    ctx.release(INSTALLER_URL)
    keep_staged(ctx)


def check_second(r):
    asked(FAILED, None, False, 'RookMini: 404 Not Found - Setup Exe')(r)
    assert len(r.others) == 1, 'second launcher not run'
    other = r.others[0]
    assert other.exit_code == 0 and not other.timed_out, (other.exit_code, other.timed_out)
    assert not other.windows, [w['caption'] for w in other.windows]
    assert len(r.requests) == 1, r.requests


def after_cancel(r):
    """However silent the host, the download ends within 2 s of Cancel, and
    the question follows within a few seconds (closing a dialog takes Wine
    about 2 s)."""
    asked(CANCELLED, None, True, 'RookMini: Download canceled.',
          'RookMini: No download data')(r)
    cancel = [a for a in r.actions if a['do'] == 'press:Cancel']
    assert cancel and cancel[0]['ok'], r.actions
    ended = [e for e in r.report if e.get('text') == 'RookMini: No download data']
    took = r.at(ended[0]) - r.at(cancel[0])
    assert took < 2, 'the download ended %.1f s after Cancel' % took
    took = r.at(questions(r)[0]) - r.at(cancel[0])
    assert took < 5, 'the question came %.1f s after Cancel' % took


def given_up_on_silence(r):
    """A host silent for 30 s fails the download: the failure question, the
    earlier file gone."""
    asked(FAILED, None, False, 'RookMini: Download stalled, no data for 30 seconds.',
          'RookMini: No download data')(r)
    took = r.at(questions(r)[0]) - r.at(dialogs(r)[0])
    assert 25 < took < 60, 'the question came %.1f s after the dialog' % took


def refused_stranger(r):
    """Saved whole, but signed by a stranger: refused with one line, the
    failure question, and Yes opens the download in the browser."""
    asked(FAILED, r.served, True,
          'RookMini: Installer not started, its publisher is not the maker.')(r)


def refused_namesake(r):
    """Saved whole, signed by a company of the maker's name in another
    country: refused like any other publisher, the signer named."""
    asked(FAILED, r.served, False,
          'RookMini: Installer not started, its publisher is not the maker.')(r)
    named = [line for line in r.debug if line.startswith('RookMini: Installer signed by ')]
    assert len(named) == 1, r.rig_lines()
    assert named[0].startswith("RookMini: Installer signed by 'C=AU, S=Canterbury, "
                               "L=Christchurch, O=Corvid Software, CN=Corvid Software', "
                               "issued by '"), named[0]


def cut_every_try(r):
    """Five tries, each cut short and started over (no validator), then the
    failure question, well under two minutes; nothing left behind."""
    size = len(r.served)
    retries = ['RookMini: Download interrupted at %d of %d bytes, trying again (%d of 5).'
               % (size, size + 5000, n) for n in range(2, 6)]
    asked(FAILED, None, False, *retries,
          'RookMini: Download error, final buffer size != content length')(r)
    assert [q['url'] for q in r.requests] == [INSTALLER_URL] * 5, r.requests
    assert not any('Range' in q['headers'] for q in r.requests), r.requests
    took = r.at(questions(r)[0]) - r.at(dialogs(r)[0])
    assert took < 60, 'the question came %.1f s after the dialog' % took


def write_failed(r):
    """The disk ran out of room: the partial file is gone, nothing started."""
    asked(FAILED, None, False, 'RookMini: File write failed')(r)
    assert 'RookMini: No download data' not in r.debug, r.rig_lines()


def read_only_leftover(rig, case):
    """Before the launcher starts: the earlier installer in the staging
    folder is read-only (Wine shows a file without write permission so)."""
    os.chmod(rig.unix(STAGED_INSTALLER), 0o444)


def fresh_folder_served(r):
    """An earlier installer that cannot be removed: the download goes to a
    fresh private folder, whose installer is started; the leftover stays."""
    ends_quietly(r)
    dialog_shown(r)
    starts = r.started('meridian_setupfull.exe')
    assert len(starts) == 1 and starts[0]['verb'] == 'runas', r.starts
    assert '\\RookMini-' in starts[0]['cwd'], starts[0]['cwd']
    assert r.staged == EARLIER, r.staged
    moved = 'RookMini: Staging folder %s cannot be made private, using ' % STAGING
    assert any(line.startswith(moved) for line in r.debug), r.rig_lines()
    assert not questions(r), 'question asked'


def link_program_data(rig, case):
    """Before the launcher starts: the machine-wide application-data folder
    is a link to a folder elsewhere, as on a machine whose ProgramData lives
    on another volume (its levels below are real folders)."""
    real = rig.unix(r'C:\ProgramData')
    target = rig.work / 'elsewhere' / 'ProgramData'
    target.mkdir(parents=True, exist_ok=True)
    real.rename(real.with_name('ProgramData.rigsave'))
    os.symlink(target, real, target_is_directory=True)


def served_then_unlinked(ctx):
    """Serves the maker's installer; once the launcher has ended, puts the
    real application-data folder back."""
    try:
        serve_standin()(ctx)
    finally:
        real = ctx.rig.unix(r'C:\ProgramData')
        if real.is_symlink():
            real.unlink()
            real.with_name('ProgramData.rigsave').rename(real)


def silent_after(sent):
    """Part of a 400 KB installer, then silence with the connection open."""
    return {INSTALLER_URL: Route(body=b'x' * 400000, stall_after=sent)}


def slow(body=b'x' * 400000):
    """A transfer that takes about 20 s, to be interrupted."""
    return {INSTALLER_URL: Route(body=body, pace=(2000, 0.1))}


def held(**route):
    return {INSTALLER_URL: Route(hold=True, **route)}


CASES = [
    Case('paced download with a length, saved and started elevated', dialog_as_built,
         app='none', routes=held(pace=(65536, 0.15)), during=serve_standin()),
    Case('paced download without a length, saved and started elevated', started_with(),
         app='none', routes=held(length=None, pace=(65536, 0.1)), during=serve_standin()),
    Case("a stranger's installer: refused, Yes opens the download in the browser",
         refused_stranger, app='none', routes=held(), during=serve_standin(sample='stranger'),
         actions=[press('Yes', text='problem')]),
    Case("the maker's name in another country: refused, the signer named", refused_namesake,
         app='none', routes=held(), during=serve_standin(sample='elsewhere'),
         actions=[press('No', text='problem')]),
    Case('a read-only earlier installer: a fresh private folder, the installer started',
         fresh_folder_served, app='none', files={STAGED_INSTALLER: EARLIER},
         before=read_only_leftover, routes=held(), during=serve_standin()),
    Case('ProgramData a link to another folder: the installer still started', started_with(),
         app='none', routes=held(), before=link_program_data, during=served_then_unlinked),
    Case('a host that cuts every try: the failure question after the fifth', cut_every_try,
         app='none', files={STAGED_INSTALLER: EARLIER}, routes=held(), timeout=90,
         during=serve_standin(extra=5000), actions=[press('No', text='problem')]),
    Case('/DoUpdate with the App installed downloads instead of starting it', started_with(),
         app='beside', args='/DoUpdate', routes=held(), during=serve_standin()),
    Case('Cancel mid-download leaves no installer, Yes opens the browser',
         asked(CANCELLED, None, True, 'RookMini: Download canceled.', 'RookMini: No download data'),
         app='none', files={STAGED_INSTALLER: EARLIER}, routes=slow(), during=keep_staged,
         actions=[press('Cancel', caption=DIALOG, delay=1500), press('Yes', text='canceled')]),
    Case('Esc mid-download, No opens nothing',
         asked(CANCELLED, None, False, 'RookMini: Download canceled.'),
         app='none', files={STAGED_INSTALLER: EARLIER}, routes=slow(), during=keep_staged,
         actions=[esc(caption=DIALOG, delay=1500), press('No', text='canceled')]),
    Case('404 removes the earlier file and asks the failure question',
         asked(FAILED, None, True, 'RookMini: 404 Not Found - Setup Exe', 'RookMini: No download data'),
         app='none', files={STAGED_INSTALLER: EARLIER}, during=release_when_shown,
         routes=held(status=404, body=b'gone'),
         actions=[press('Yes', text='problem')]),
    Case('Cancel while the host is silent: ended within 2 s, then the question', after_cancel,
         app='none', files={STAGED_INSTALLER: EARLIER}, routes=silent_after(300000),
         during=keep_staged, timeout=60,
         actions=[press('Cancel', caption=DIALOG, delay=2500), press('Yes', text='canceled')]),
    Case('host silent from the start: the failure question after 30 s', given_up_on_silence,
         app='none', files={STAGED_INSTALLER: EARLIER}, routes=silent_after(0),
         during=keep_staged, timeout=90, actions=[press('No', text='problem')]),
    Case('no room for the installer: the partial file removed', write_failed,
         app='none', routes=held(), during=serve_standin(), tmpfs={r'C:\ProgramData': 65536},
         actions=[press('No', text='problem')]),
    Case('second launcher in install mode while the dialog is open ends at once', check_second,
         app='none', routes=held(status=404, body=b'gone'), during=second_launcher,
         actions=[press('No', text='problem')]),
]

DEMO = {
    'install': Case('demo: install', started_with(), app='none',
                    routes=held(pace=(32768, 0.1)), during=serve_standin()),
    'cancel': Case('demo: Cancel mid-download, Yes opens the browser',
                   asked(CANCELLED, None, True, 'RookMini: Download canceled.'),
                   app='none', files={STAGED_INSTALLER: EARLIER},
                   routes={INSTALLER_URL: Route(body=b'x' * 400000, pace=(8000, 0.1))},
                   during=keep_staged,
                   actions=[press('Cancel', caption=DIALOG, delay=1500),
                            press('Yes', text='canceled', delay=1000)]),
}
