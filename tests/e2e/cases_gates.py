"""The two start-up gates end to end: the .NET Framework question and where a
Yes leads on each Windows version (the feature installer, elevated or not, or
the download page in the browser), and the compiler-hijack error dialog with
what ends it. After a gate that lets start-up go on, the App is started."""
from rig import Case, Route, MANIFEST_URL, BROWSER, SYSTEM32, press, esc, close

UP_TO_DATE = {MANIFEST_URL: Route(body=b'Minimum Supported Meridian Version: 40.\r\n')}
INSTALLED_46 = {r'HKLM\SOFTWARE\Ironbark\ComponentManager': {'MeridianVersion': 46}}

NET20 = r'HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v2.0.50727'
NET4C = r'HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Client'
CSC_IFEO = (r'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Image File Execution Options'
            r'\csc.exe')
SYSTEM_FONDUE = r'C:\windows\system32\Fondue.exe'

UPGRADE = '.NET Framework Upgrade Required'
INSTALL = '.NET Framework Install'
QUESTION = ('This application requires .NET Framework 2.0 SP1 or later, which could not be '
            'found on your computer. Do you wish to install it?')
REQUESTED = ('Installation of the .NET Framework has been requested.\nPlease press OK to '
             'continue once the install completes.')
NOTICE_35 = ('Your browser has been opened to the .NET Framework 3.5 SP1 download page.\n'
             'Please download and install dotnetfx35setup.exe and any updates mentioned on '
             'the download page, then press OK to continue.')
PAGE_35 = 'http://www.microsoft.com/download/en/details.aspx?id=22'
DISM_TAIL = '/online /enable-feature /featurename:NetFX3'
FONDUE_TAIL = '/enable-feature:NetFX4 /caller-name:Corvid'

ERROR_CAPTION = 'Corvid App Error'
ERROR_TEXTS = ['OK', 'The Corvid App encountered an error and has been shut down.',
               'For assistance with this issue, please visit:',
               'http://www.corvidapp.example/support',
               'Error: .NET Configuration Issue: CSC.exe']


def no_dotnet(**more):
    """Case arguments for a machine without any .NET setup keys; Wine loads a
    dism.exe stand-in instead of its own program of that name."""
    registry = dict(INSTALLED_46)
    registry[r'HKCU\Software\Wine\DllOverrides'] = {'dism.exe': 'native'}
    return dict(dotnet=False, registry=registry, routes=UP_TO_DATE, **more)


def ran_clean(r):
    assert not r.timed_out, 'timed out'
    assert not r.crashes, 'crashed: %s' % r.crashes
    assert r.exit_code == 0, 'exit code %s' % r.exit_code


def captions(r):
    return [w['caption'] for w in r.windows]


def shown(r, caption, text):
    """The one window with that caption, holding that text."""
    found = [w for w in r.windows if w['caption'] == caption]
    assert len(found) == 1, 'windows captioned %r: %s' % (caption, captions(r))
    assert any(t.replace('\r\n', '\n') == text for t in r.texts(found[0])), \
        'texts of %r: %s' % (caption, r.texts(found[0]))
    return found[0]


def app_started(r):
    apps = r.started('CorvidApp.exe')
    assert len(apps) == 1, 'App starts: %s' % apps


def no_outside_requests(r):
    # The download page goes to the browser only; the launcher fetches
    # nothing but its own manifest.
    urls = [q['url'] for q in r.requests]
    assert urls == [MANIFEST_URL], 'requests: %s' % urls


def shell_calls(r, file):
    """The launcher's shell calls for that file, as (verb, params, dir, show)."""
    return [(c['verb'], c['params'], c['dir'], c['show']) for c in r.shell
            if (c['file'] or '').lower() == file.lower()]


def feature_installer(name, verb, tail, other):
    def check(r):
        ran_clean(r)
        shown(r, UPGRADE, QUESTION)
        shown(r, INSTALL, REQUESTED)
        assert captions(r) == [UPGRADE, INSTALL], 'windows: %s' % captions(r)
        # Started by its path in the native system folder, never by a bare
        # name that would find the copy planted beside the launcher; with no
        # folder, shown normally (1). The 32-bit release switches WOW64 file
        # redirection off, so a copy in syswow64 is not reached.
        native = SYSTEM32 + name
        assert shell_calls(r, native) == [(verb, tail, None, 1)], 'shell calls: %s' % r.shell
        starts = r.started(name)
        assert [(s['path'].lower(), s['tail']) for s in starts] == [(native.lower(), tail)], \
            '%s starts: %s' % (name, r.starts)
        assert not r.started(other), '%s started too: %s' % (other, r.started(other))
        assert not r.started('browser.exe'), 'browser started'
        app_started(r)
    return check


def download_page(url, notice):
    def check(r):
        ran_clean(r)
        shown(r, UPGRADE, QUESTION)
        shown(r, INSTALL, notice)
        assert captions(r) == [UPGRADE, INSTALL], 'windows: %s' % captions(r)
        assert shell_calls(r, url) == [('open', None, None, 1)], 'shell calls: %s' % r.shell
        pages = r.started('browser.exe')
        assert [p['tail'] for p in pages] == ['"%s"' % url], 'browser: %s' % pages
        assert not r.started('dism.exe') and not r.started('fondue.exe'), r.starts
        no_outside_requests(r)
        app_started(r)
    return check


def question_declined(r):
    ran_clean(r)
    shown(r, UPGRADE, QUESTION)
    assert captions(r) == [UPGRADE], 'windows: %s' % captions(r)
    assert [s['name'].lower() for s in r.starts] == ['corvidapp.exe'], r.starts


def nothing_shown(r):
    ran_clean(r)
    assert not r.windows, 'windows: %s' % captions(r)
    app_started(r)


YES_THEN_OK = [press('Yes', caption=UPGRADE), press('OK', caption=INSTALL)]
# The system folder's dism.exe is a stand-in (loaded natively through the
# DLL override that no_dotnet writes); another one planted beside the
# launcher must never run.
DISM_BESIDE = ['bin\\dism.exe', SYSTEM32 + 'dism.exe']


def error_dialog_ended(r):
    ran_clean(r)
    dialog = shown(r, ERROR_CAPTION, ERROR_TEXTS[1])
    assert r.texts(dialog) == ERROR_TEXTS, 'texts: %s' % r.texts(dialog)
    assert captions(r) == [ERROR_CAPTION], 'windows: %s' % captions(r)
    assert [a['ok'] for a in r.actions] == [True], 'actions: %s' % r.actions
    assert not r.starts and not r.shell, 'started: %s %s' % (r.starts, r.shell)
    assert not r.requests, 'requests: %s' % r.requests


def error_dialog_stays(r):
    # Escape was delivered and ignored: the dialog was still up when the
    # driver ended the launcher.
    assert r.timed_out, 'the dialog ended (exit code %s)' % r.exit_code
    shown(r, ERROR_CAPTION, ERROR_TEXTS[1])
    assert [(a['do'], a['ok']) for a in r.actions] == [('esc', True)], r.actions
    gone = [e for e in r.report if e.get('event') == 'window_gone']
    assert not gone, 'the dialog went before the time-out'
    assert not r.starts, 'started: %s' % r.starts


def hijack(debugger, **more):
    registry = dict(INSTALLED_46)
    registry[CSC_IFEO] = {'Debugger': debugger}
    return dict(registry=registry, routes=UP_TO_DATE, **more)


CASES = [
    # The .NET Framework gate.
    Case('no .NET, Yes on Windows 7: DISM started elevated', feature_installer(
        'dism.exe', 'runas', DISM_TAIL, 'fondue.exe'),
        winver='win7', standins=DISM_BESIDE + ['bin\\fondue.exe'], actions=YES_THEN_OK,
        **no_dotnet()),
    Case('no .NET, Yes on Windows 7 with Fondue.exe in the system folder: DISM',
         feature_installer('dism.exe', 'runas', DISM_TAIL, 'fondue.exe'),
         winver='win7', standins=DISM_BESIDE + [SYSTEM_FONDUE], actions=YES_THEN_OK,
         **no_dotnet()),
    Case('no .NET, No: nothing else shown, start-up goes on', question_declined,
         winver='win7', standins=DISM_BESIDE, actions=[press('No', caption=UPGRADE)],
         **no_dotnet()),
    Case('no .NET, Yes on Windows 8 without Fondue.exe: DISM', feature_installer(
        'dism.exe', 'runas', DISM_TAIL, 'fondue.exe'),
        winver='win8', standins=DISM_BESIDE, files={SYSTEM_FONDUE: None},
        actions=YES_THEN_OK, **no_dotnet()),
    Case('no .NET, Yes on Windows 8 with Fondue.exe: Fondue started with open', feature_installer(
        'fondue.exe', 'open', FONDUE_TAIL, 'dism.exe'),
        winver='win8', standins=DISM_BESIDE + [SYSTEM_FONDUE], actions=YES_THEN_OK,
        **no_dotnet()),
    Case('no .NET, Yes on Vista SP2: DISM', feature_installer(
        'dism.exe', 'runas', DISM_TAIL, 'fondue.exe'),
        winver='vista', standins=DISM_BESIDE, actions=YES_THEN_OK, **no_dotnet()),
    Case('no .NET, Yes on XP x64 / Server 2003 SP2: the 3.5 SP1 page',
         download_page(PAGE_35, NOTICE_35),
         winver='winxp64', standins=DISM_BESIDE, actions=YES_THEN_OK, **no_dotnet()),
    Case('no .NET, Yes on Server 2003 SP2: the 3.5 SP1 page',
         download_page(PAGE_35, NOTICE_35),
         winver='win2003', standins=DISM_BESIDE, actions=YES_THEN_OK, **no_dotnet()),
    Case('2.0 without SP and 4 Client: the question is shown', question_declined,
         dotnet=False, winver='win7',
         registry={**INSTALLED_46, NET20: {'Install': 1, 'SP': 0}, NET4C: {'Install': 1}},
         routes=UP_TO_DATE, actions=[press('No', caption=UPGRADE)]),
    Case('4 Client alone: nothing shown', nothing_shown, dotnet=False, winver='win7',
         registry={**INSTALLED_46, NET4C: {'Install': 1}}, routes=UP_TO_DATE),
    Case('2.0 with SP 1: nothing shown', nothing_shown, winver='win7',
         registry=INSTALLED_46, routes=UP_TO_DATE),

    # The compiler-hijack gate.
    Case('csc.exe hijacked by svchost.exe: OK ends the dialog, the App is not started',
         error_dialog_ended, actions=[press('OK', caption=ERROR_CAPTION)],
         **hijack('svchost.exe')),
    Case('csc.exe hijacked: the close box ends the dialog', error_dialog_ended,
         actions=[close(caption=ERROR_CAPTION)], **hijack('svchost.exe')),
    Case('csc.exe hijacked: Escape is ignored', error_dialog_stays,
         actions=[esc(caption=ERROR_CAPTION, delay=500)], timeout=8, **hijack('svchost.exe')),
    Case('Debugger SVCHOST.EXE does not match', nothing_shown, **hijack('SVCHOST.EXE')),
    Case('Debugger as a full path does not match', nothing_shown,
         **hijack(r'C:\Windows\System32\svchost.exe')),
    Case('Debugger svchost.exe -k does not match', nothing_shown, **hijack('svchost.exe -k')),
    Case('Debugger longer than 512 bytes does not match', nothing_shown,
         **hijack('svchost.exe' + ' ' * 300)),
]

DEMO = {
    'dotnet': Case('demo: no .NET on Windows 8 with Fondue.exe', lambda r: None,
                   winver='win8', standins=[SYSTEM_FONDUE],
                   actions=[press('Yes', caption=UPGRADE, delay=1500),
                            press('OK', caption=INSTALL, delay=1500)], **no_dotnet()),
    'dotnet-page': Case('demo: no .NET on XP x64', lambda r: None, winver='winxp64',
                        actions=[press('Yes', caption=UPGRADE, delay=1500),
                                 press('OK', caption=INSTALL, delay=1500)], **no_dotnet()),
    'hijack': Case('demo: csc.exe hijacked', lambda r: None,
                   actions=[press('OK', caption=ERROR_CAPTION, delay=3000)],
                   **hijack('svchost.exe')),
}
