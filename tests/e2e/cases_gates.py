"""The two start-up gates end to end, one journey for each way they go: a
framework found, the feature installer (DISM elevated, or Fondue) from the
native system folder, the download page, the unsupported-system question
answered No, and the compiler-hijack error dialog. Which way each Windows
version and each reading leads, and the boxes' texts, are the unit tests'."""
from rig import Case, Route, MANIFEST_URL, SYSTEM32, press

UP_TO_DATE = {MANIFEST_URL: Route(body=b'Minimum Supported Meridian Version: 40.\r\n')}
UPDATE_NEEDED = {MANIFEST_URL: Route(body=b'Minimum Supported Meridian Version: 46.\r\n')}
INSTALLED_45 = {r'HKLM\SOFTWARE\Ironbark\ComponentManager': {'MeridianVersion': 45}}
INSTALLED_46 = {r'HKLM\SOFTWARE\Ironbark\ComponentManager': {'MeridianVersion': 46}}

NET4C = r'HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Client'
CSC_IFEO = (r'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Image File Execution Options'
            r'\csc.exe')
SYSTEM_FONDUE = r'C:\windows\system32\Fondue.exe'
SYSWOW64_FONDUE = r'C:\windows\syswow64\Fondue.exe'
TASKKILL = r'C:\windows\system32\taskkill.exe'

UPGRADE = '.NET Framework Upgrade Required'
INSTALL = '.NET Framework Install'
UNSUPPORTED = 'Unsupported Operating System'
UPDATE = 'Corvid App'
ERROR_CAPTION = 'Corvid App Error'
PAGE_35 = 'http://www.microsoft.com/download/en/details.aspx?id=22'
DISM_TAIL = '/online /enable-feature /featurename:NetFX3'
FONDUE_TAIL = '/enable-feature:NetFX4 /caller-name:Corvid'


def no_dotnet(installed=INSTALLED_46, routes=UP_TO_DATE, **more):
    """Case arguments for a machine without any .NET setup keys; Wine loads a
    dism.exe stand-in instead of its own program of that name."""
    registry = dict(installed)
    registry[r'HKCU\Software\Wine\DllOverrides'] = {'dism.exe': 'native'}
    return dict(dotnet=False, registry=registry, routes=routes, **more)


def ran_clean(r):
    assert not r.timed_out, 'timed out'
    assert not r.crashes, 'crashed: %s' % r.crashes
    assert r.exit_code == 0, 'exit code %s' % r.exit_code


def captions(r):
    return [w['caption'] for w in r.windows]


def app_started(r):
    apps = r.started('CorvidApp.exe')
    assert len(apps) == 1, 'App starts: %s' % apps


def shell_calls(r, file):
    """The launcher's shell calls for that file, as (verb, params, dir, show)."""
    return [(c['verb'], c['params'], c['dir'], c['show']) for c in r.shell
            if (c['file'] or '').lower() == file.lower()]


def started_natively(r, name, verb, tail, other):
    # Started by its path in the native system folder, never by a bare name
    # that would find the copy planted beside the launcher, and in that
    # folder, never in the launcher's; shown normally (1). The 32-bit release
    # switches WOW64 file redirection off for it, so a copy in syswow64 is
    # not reached.
    native = SYSTEM32 + name
    folder = SYSTEM32.rstrip('\\')
    assert shell_calls(r, native) == [(verb, tail, folder, 1)], 'shell calls: %s' % r.shell
    starts = r.started(name)
    assert [(s['path'].lower(), s['tail'], s['cwd'].rstrip('\\').lower()) for s in starts] == \
        [(native.lower(), tail, folder.lower())], '%s starts: %s' % (name, r.starts)
    assert not r.started(other), '%s started too: %s' % (other, r.started(other))
    assert not r.started('browser.exe'), 'browser started'
    app_started(r)


def dism_then_redirection_back(r):
    ran_clean(r)
    assert captions(r) == [UPGRADE, INSTALL, UPDATE], 'windows: %s' % captions(r)
    started_natively(r, 'dism.exe', 'runas', DISM_TAIL, 'fondue.exe')
    # Redirection is back on once DISM has started: the update gate's
    # taskkill, named in system32, is the one of the launcher's own kind.
    kills = r.started('taskkill.exe')
    where = (r.system_folder() + '\\taskkill.exe').lower()
    assert kills and all(k['path'].lower() == where for k in kills), kills


def fondue_started(r):
    ran_clean(r)
    assert captions(r) == [UPGRADE, INSTALL], 'windows: %s' % captions(r)
    started_natively(r, 'fondue.exe', 'open', FONDUE_TAIL, 'dism.exe')


def download_page(r):
    ran_clean(r)
    assert captions(r) == [UPGRADE, INSTALL], 'windows: %s' % captions(r)
    assert shell_calls(r, PAGE_35) == [('open', None, None, 1)], 'shell calls: %s' % r.shell
    pages = r.started('browser.exe')
    assert [p['tail'] for p in pages] == ['"%s"' % PAGE_35], 'browser: %s' % pages
    assert not r.started('dism.exe') and not r.started('fondue.exe'), r.starts
    # The page goes to the browser only; the launcher fetches nothing but its
    # own manifest.
    urls = [q['url'] for q in r.requests]
    assert urls == [MANIFEST_URL], 'requests: %s' % urls
    app_started(r)


def stopped_after_no(r):
    ran_clean(r)
    assert captions(r) == [UPGRADE, UNSUPPORTED], 'windows: %s' % captions(r)
    assert [a['ok'] for a in r.actions] == [True, True], 'actions: %s' % r.actions
    assert not r.starts and not r.shell, 'started: %s %s' % (r.starts, r.shell)
    assert not r.requests, 'requests: %s' % r.requests


def nothing_shown(r):
    ran_clean(r)
    assert not r.windows, 'windows: %s' % captions(r)
    app_started(r)


def error_dialog_ended(r):
    ran_clean(r)
    assert captions(r) == [ERROR_CAPTION], 'windows: %s' % captions(r)
    assert [a['ok'] for a in r.actions] == [True], 'actions: %s' % r.actions
    assert not r.starts and not r.shell, 'started: %s %s' % (r.starts, r.shell)
    assert not r.requests, 'requests: %s' % r.requests


YES_THEN_OK = [press('Yes', caption=UPGRADE), press('OK', caption=INSTALL)]
# The system folder's dism.exe is a stand-in (loaded natively through the
# DLL override that no_dotnet writes); the copies planted beside the
# launcher must never run.
PLANTED = ['bin\\dism.exe', 'bin\\fondue.exe', SYSTEM32 + 'dism.exe']


def hijack(debugger, **more):
    registry = dict(INSTALLED_46)
    registry[CSC_IFEO] = {'Debugger': debugger}
    return dict(registry=registry, routes=UP_TO_DATE, **more)


CASES = [
    # The .NET Framework gate.
    Case('4 Client alone: nothing shown', nothing_shown, dotnet=False,
         registry={**INSTALLED_46, NET4C: {'Install': 1}}, routes=UP_TO_DATE),
    Case('no .NET, Yes on Windows 8 without Fondue.exe: DISM, then redirection back on',
         dism_then_redirection_back, winver='win8', standins=PLANTED + [TASKKILL],
         files={SYSTEM_FONDUE: None}, actions=YES_THEN_OK + [press('No', caption=UPDATE)],
         **no_dotnet(installed=INSTALLED_45, routes=UPDATE_NEEDED)),
    # Fondue.exe only in the native system folder: the 32-bit release finds
    # it with redirection off.
    Case('no .NET, Yes on Windows 8 with Fondue.exe: Fondue started with open', fondue_started,
         winver='win8', standins=PLANTED + [SYSTEM_FONDUE],
         files={SYSWOW64_FONDUE: None}, actions=YES_THEN_OK, **no_dotnet()),
    Case('no .NET, Yes on Server 2003 SP2: the 3.5 SP1 page', download_page,
         winver='win2003', standins=PLANTED, actions=YES_THEN_OK, **no_dotnet()),
    Case('no .NET, Yes on Windows 2000 SP4, No to the unsupported system: stop', stopped_after_no,
         winver='win2k', standins=PLANTED,
         actions=[press('Yes', caption=UPGRADE), press('No', caption=UNSUPPORTED)],
         **no_dotnet()),

    # The compiler-hijack gate.
    Case('csc.exe hijacked by svchost.exe: OK ends the dialog, the App is not started',
         error_dialog_ended, actions=[press('OK', caption=ERROR_CAPTION)],
         **hijack('svchost.exe')),
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
