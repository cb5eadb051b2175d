"""The update gate end to end: the installed build from the registry or the
INI file, the version manifest over HTTP, and what follows: nothing, the beta
note, or the ended App processes with the update question and the browser.
The diagnostics are checked word for word and in order."""

from rig import Case, Route, MANIFEST_URL, UPDATE_PAGE_URL, press

REG_KEY = r'HKLM\SOFTWARE\Ironbark\ComponentManager'
INI = r'C:\ProgramData\Ironbark\Meridian\InstalledXML\meridian_main.ini'
TASKKILL = r'C:\windows\system32\taskkill.exe'
QUESTION = 'A Corvid App update is required.'
MIN_46 = b'Corvid App version information\r\nMinimum Supported Meridian Version: 46.\r\n'
INTRANET_MANIFEST = 'http://corvidfiles/update/meridian_version.txt'


def installed(build):
    return {REG_KEY: {'MeridianVersion': build}}


def ini(version):
    return {INI: '[ApplicationInformation]\r\nVersion=%s\r\n' % version}


def manifest(body, **route):
    return {MANIFEST_URL: Route(body=body, **route)}


def ends_quietly(r):
    assert not r.timed_out, 'timed out'
    assert not r.crashes, 'crashed: %s' % r.crashes
    assert r.exit_code == 0, 'exit code %s' % r.exit_code


def fetched_once(r):
    urls = [q['url'] for q in r.requests]
    assert urls == [MANIFEST_URL], 'requests: %s' % urls
    agent = r.requests[0]['headers'].get('User-Agent')
    assert agent == 'RookMini/1.0', 'user agent %r' % agent


def no_update(lines):
    """Nothing asked, nothing ended: the App keeps running."""
    def check(r):
        ends_quietly(r)
        fetched_once(r)
        assert r.rig_lines() == lines, 'lines: %s' % r.rig_lines()
        assert not r.windows, 'windows: %s' % [w['caption'] for w in r.windows]
        assert r.running('CorvidApp.exe'), 'App ended: %s' % r.processes
        assert not r.started('browser.exe'), 'browser started'
    return check


def update_asked(lines, answer):
    """The App's processes are ended and the question is asked; the update
    page opens in the browser only on Yes."""
    def check(r):
        ends_quietly(r)
        fetched_once(r)
        assert r.rig_lines() == lines, 'lines: %s' % r.rig_lines()
        questions = [w for w in r.windows if any(QUESTION in t for t in r.texts(w))]
        assert len(questions) == 1, 'windows: %s' % r.windows
        assert questions[0]['caption'] == 'Corvid App', questions[0]['caption']
        assert any('Would you like to get this update now?' in t
                   for t in r.texts(questions[0])), r.texts(questions[0])
        assert [a['ok'] for a in r.actions] == [True], 'actions: %s' % r.actions
        assert len(r.started('CorvidApp.exe')) == 1
        assert not r.running('CorvidApp.exe'), 'App still running: %s' % r.processes
        browsers = [s['tail'] for s in r.started('browser.exe')]
        expected = ['"%s"' % UPDATE_PAGE_URL] if answer == 'Yes' else []
        assert browsers == expected, 'browser starts: %s' % browsers
    return check


def check_taskkill_order(r):
    # A stand-in takes the place of taskkill.exe, so its records show the
    # parameters and folder of the three starts, in order. The launcher names
    # %windir%\system32; the 32-bit release reaches syswow64 through WOW64
    # file redirection, which the launcher leaves on here.
    ends_quietly(r)
    kills = r.started('taskkill.exe')
    assert [k['tail'] for k in kills] == [
        '/f /im CorvidApp.exe', '/f /im CorvidNow.exe', '/f /im RookNative.exe'], kills
    assert all(c['file'].lower() == TASKKILL.lower() for c in r.shell
               if c['file'].lower().endswith('taskkill.exe')), r.shell
    where = r.system_folder() + '\\taskkill.exe'
    assert all(k['path'].lower() == where.lower() for k in kills), kills
    assert not r.started('browser.exe')


V45 = 'RookMini: Version 45 (Registry)'
V46 = 'RookMini: Version 46 (Registry)'
M46 = "RookMini: Minimum version '46'"
ZERO = 'RookMini: Download error, 0 bytes downloaded'
STAY = ['CorvidApp.exe']

def ended_by_the_deadline(r):
    """A manifest host that drips a byte every 8 s, never silent for 30 s,
    cannot hold the launcher open: the fetch ends 30 s after the App's start,
    nothing is ended or asked, and the launcher is gone within 35 s."""
    no_update([V45, 'RookMini: Download stopped, its time is up.', 'RookMini: Download failed.',
               ZERO + '\n'])(r)
    ended = next(e for e in r.report if e.get('event') == 'exit')
    assert 29 < r.at(ended) < 35, 'ended %.1f s after its start' % r.at(ended)


CASES = [
    Case('up to date', no_update([V46, M46]), registry=installed(46), routes=manifest(MIN_46),
         stay_up=STAY),
    Case('update required, Yes opens the update page', update_asked([V45, M46], 'Yes'),
         registry=installed(45), routes=manifest(MIN_46), stay_up=STAY,
         actions=[press('Yes', caption='Corvid App')]),
    Case('update required, No: the App is ended all the same', update_asked([V45, M46], 'No'),
         registry=installed(45), routes=manifest(MIN_46), stay_up=STAY,
         actions=[press('No', caption='Corvid App')]),
    Case('taskkill started for the three images in order', check_taskkill_order,
         registry=installed(45), routes=manifest(MIN_46), standins=[TASKKILL],
         actions=[press('No', caption='Corvid App')]),
    Case('INI fallback 1.2.3.45, minimum 46',
         update_asked(['RookMini: Version 45 (Ini)', M46], 'No'),
         files=ini('1.2.3.45'), routes=manifest(MIN_46), stay_up=STAY,
         actions=[press('No', caption='Corvid App')]),
    Case('beta installation is never updated',
         no_update(['RookMini: Version -1 (Registry)', M46,
                    'RookMini: Using Beta of the Corvid App']),
         registry=installed(-1), routes=manifest(MIN_46), stay_up=STAY),
    Case('manifest dripping a byte every 8 s: the launcher ends by its deadline',
         ended_by_the_deadline, registry=installed(45), routes=manifest(MIN_46, pace=(1, 8)),
         stay_up=STAY, timeout=70),
    Case('manifest 404', no_update([V45, 'RookMini: 404 Not Found - Version Info']),
         registry=installed(45), routes=manifest(MIN_46, status=404), stay_up=STAY),
    Case('manifest redirected to an intranet name: never requested, the App runs on',
         no_update([V45, "RookMini: Redirect refused: '%s'" % INTRANET_MANIFEST]),
         registry=installed(45), stay_up=STAY,
         routes=manifest(b'', status=302, headers={'Location': INTRANET_MANIFEST})),
]

DEMO = {
    'update': Case('demo: update required, Yes', lambda r: None, registry=installed(45),
                   routes=manifest(MIN_46), stay_up=STAY,
                   actions=[press('Yes', caption='Corvid App', delay=1500)]),
}
