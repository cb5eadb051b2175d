"""Launch mode end to end: where the App is found, what it is started with,
which command lines choose install mode instead, the single-instance guard and
the guard against starting the launcher itself. Every run ends with exit code
0 and shows no window."""
from rig import Case, Route, MANIFEST_URL, INSTALLER_URL, press

UP_TO_DATE = {MANIFEST_URL: Route(body=b'Minimum Supported Meridian Version: 40.\r\n')}
INSTALLED_46 = {r'HKLM\SOFTWARE\Ironbark\ComponentManager': {'MeridianVersion': 46}}


def quiet_exit(r):
    """Exit code 0, no crash, no time-out and no window on every path."""
    assert not r.timed_out, 'timed out'
    assert not r.crashes, 'crashed: %s' % r.crashes
    assert r.exit_code == 0, 'exit code %s' % r.exit_code
    assert not r.windows, 'windows shown: %s' % [w['caption'] for w in r.windows]


def app_started_once(r, path, cwd, tail):
    quiet_exit(r)
    apps = r.started('CorvidApp.exe')
    assert len(apps) == 1, 'App starts: %s' % apps
    app = apps[0]
    assert app['path'].lower() == path.lower(), 'App path %r' % app['path']
    assert app['cwd'].lower().rstrip('\\') == cwd.lower(), 'App folder %r' % app['cwd']
    assert app['tail'] == tail, 'App tail %r, expected %r' % (app['tail'], tail)
    assert app['verb'] == '', 'App started with verb %r' % app['verb']


def started_beside(tail):
    def check(r):
        app_started_once(r, r.folder + r'\bin\CorvidApp.exe', r.folder + r'\bin', tail)
    return check


def check_above(r):
    # Windows hands the started program the resolved path and folder; the
    # shell call itself carries the path with "\..\" kept, and the folder
    # is that path cut at its last backslash.
    app_started_once(r, r.folder + r'\CorvidApp.exe', r.folder, '')
    calls = [c for c in r.shell if c['file'].lower().endswith('corvidapp.exe')]
    assert len(calls) == 1, 'shell calls: %s' % r.shell
    assert calls[0]['file'] == r.folder + r'\bin\..\CorvidApp.exe', calls[0]
    assert calls[0]['dir'] == r.folder + r'\bin\..', calls[0]
    assert calls[0]['verb'] is None and calls[0]['show'] == 1, calls[0]  # default verb, SW_SHOWNORMAL


# Install mode with a download that fails: the browser question is answered
# No, so the run ends without starting anything.
NO_INSTALLER = {INSTALLER_URL: Route(status=404, body=b'gone')}
DECLINE_BROWSER = [press('No', text='through your Internet browser')]


def install_mode_chosen(r):
    assert not r.timed_out and not r.crashes and r.exit_code == 0, r.exit_code
    assert not r.started('CorvidApp.exe'), 'App started: %s' % r.started('CorvidApp.exe')
    assert [q['url'] for q in r.requests] == [INSTALLER_URL], 'requests: %s' % r.requests


def nothing_started(r):
    # Ends before the App's start and so before the update check.
    quiet_exit(r)
    assert not r.starts and not r.shell, 'started: %s %s' % (r.starts, r.shell)
    assert not r.requests, 'requests: %s' % r.requests


def second_launcher(ctx):
    # The first launcher sits in the update gate while the manifest is held;
    # a second one started now must end at once without starting the App.
    if ctx.wait_request(MANIFEST_URL, timeout=20):
        ctx.run_launcher(args='second')
    else:
        ctx.result.errors.append('the first launcher never asked for the manifest')
    ctx.release(MANIFEST_URL)


def check_second(r):
    quiet_exit(r)
    assert len(r.others) == 1, 'second launcher not run'
    other = r.others[0]
    assert other.exit_code == 0 and not other.timed_out and not other.windows, other.exit_code
    tails = [s['tail'] for s in r.started('CorvidApp.exe')]
    assert tails == ['first'], 'App starts: %s' % tails


HELD = {MANIFEST_URL: Route(body=UP_TO_DATE[MANIFEST_URL].body, hold=True)}

CASES = [
    Case('App beside, no arguments', started_beside(''), app='beside',
         registry=INSTALLED_46, routes=UP_TO_DATE),
    Case('App beside, tail passed exactly', started_beside('-a  "b c" /x=1 "d'),
         args='-a  "b c" /x=1 "d', registry=INSTALLED_46, routes=UP_TO_DATE),
    Case('App only one folder above', check_above, app='above',
         registry=INSTALLED_46, routes=UP_TO_DATE),
    Case('second launcher during the update check ends at once', check_second,
         args='first', registry=INSTALLED_46, routes=HELD, during=second_launcher),
    Case('launcher named corvidapp.exe starts nothing', nothing_started, app='none',
         launcher='corvidapp.exe', registry=INSTALLED_46, routes=UP_TO_DATE),
]

DEMO = {
    'launch': Case('App beside the launcher, version manifest up to date', started_beside('--demo "hello world"'),
                   args='--demo "hello world"',
                   registry=INSTALLED_46, routes=UP_TO_DATE),
}
