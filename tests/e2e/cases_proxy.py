"""Behind a proxy that wants a sign-in, and a connection lost on the way.
Install mode shows Windows' own sign-in prompt (under Wine, Wine's "Enter
Network Password"), owned by the download dialog, and goes on with the
installer once the proxy lets it through; a wrong password asks again, a
Cancel in the prompt ends in the failure question (how many prompts, and
what Wine's prompt answers for Esc or its close box, are unit rows).
Launch mode never prompts: its manifest fetch fails and the App runs on.
During a download, the dialog's line says when the connection was lost and
which try is coming, and goes back once bytes flow again."""
import signing
from rig import Case, Route, INSTALLER_URL, MANIFEST_URL, SIGN_IN_PROMPT, press, sign_in
from cases_install import (FAILED, STAGING, dialogs, ends_quietly, held, questions,
                           release_when_shown, serve_standin)

USER = ('user', 'secret')
RIGHT = 'Basic dXNlcjpzZWNyZXQ='  # user:secret
DOWNLOADING = 'Downloading, please wait...'


def prompts(r):
    return [w for w in r.windows if w['caption'] == SIGN_IN_PROMPT]


def signed_in(count):
    """The prompt shown `count` times; the installer then saved whole and
    started elevated; the first request carried no credentials, the last
    the user's. Nothing of the password in the diagnostics."""
    def check(r):
        ends_quietly(r)
        assert len(dialogs(r)) == 1, [w['caption'] for w in r.windows]
        assert len(prompts(r)) == count, [w['caption'] for w in r.windows]
        assert r.staged == r.served, 'saved %s bytes' % (r.staged and len(r.staged))
        starts = r.started('meridian_setupfull.exe')
        assert len(starts) == 1 and starts[0]['verb'] == 'runas', r.starts
        assert starts[0]['cwd'].rstrip('\\').lower() == STAGING.lower(), starts[0]['cwd']
        assert not questions(r), 'question asked'
        auth = [q['headers'].get('Proxy-Authorization') for q in r.requests]
        assert auth[0] is None and auth[-1] == RIGHT, auth
        assert not any('secret' in line or 'wrong' in line for line in r.debug), r.rig_lines()
    return check


def not_signed_in(line, count):
    """The prompt shown `count` times, then the failure question; nothing
    started."""
    def check(r):
        ends_quietly(r)
        assert len(prompts(r)) == count, [w['caption'] for w in r.windows]
        assert line in r.debug, r.rig_lines()
        assert not r.started('meridian_setupfull.exe'), r.starts
        asked = questions(r)
        assert len(asked) == 1 and FAILED in r.texts(asked[0]), [r.texts(w) for w in asked]
    return check


def launch_behind_the_proxy(r):
    """The App started; the manifest's 407 a failed fetch; no window."""
    ends_quietly(r)
    assert len(r.started('CorvidApp.exe')) == 1, r.starts
    assert not r.windows, [w['caption'] for w in r.windows]
    assert r.rig_lines() == ['RookMini: Version 45 (Registry)',
                             'RookMini: Status was not 200 (Version Info). Status: 407'], \
        r.rig_lines()
    assert [q['status'] for q in r.requests] == [407], r.requests


def serve_in_pieces(ctx):
    """The maker's installer, paced, cut once at half: a lost connection
    and a resumed try that keeps the dialog open long enough to be seen."""
    body = signing.installer_sample(ctx.rig.standin_file(), 'maker')
    route = ctx.case.routes[INSTALLER_URL]
    route.body = body
    route.cuts = [len(body) // 2, None]
    ctx.result.served = body
    release_when_shown(ctx)


def line_lost_and_back(r):
    """The line said the connection was lost and that the second try was
    coming, then went back once bytes flowed again; the installer started."""
    ends_quietly(r)
    assert r.staged == r.served, 'saved %s bytes' % (r.staged and len(r.staged))
    shown = dialogs(r)
    assert len(shown) == 1, [w['caption'] for w in r.windows]
    lines = [texts[1] for texts in r.history(shown[0])]
    lost = 'Connection lost, trying again (2 of 5)...'
    assert lost in lines, lines
    assert lines[0] == DOWNLOADING and lines[-1] == DOWNLOADING, lines
    assert lines.index(lost) < len(lines) - 1, lines
    assert [(q['range'] is not None) for q in r.requests] == [False, True], r.requests


CASES = [
    Case('a proxy that wants a sign-in: the prompt, then the installer', signed_in(1),
         app='none', proxy_auth=USER, routes=held(), during=serve_standin(),
         actions=[sign_in(*USER)]),
    Case('a wrong password, then the right one: asked twice', signed_in(2),
         app='none', proxy_auth=USER, routes=held(), during=serve_standin(),
         actions=[sign_in('user', 'wrong'), sign_in(*USER)]),
    Case('Cancel in the prompt: the failure question',
         not_signed_in('RookMini: Proxy sign-in cancelled.', 1), app='none', proxy_auth=USER,
         routes=held(), during=serve_standin(),
         actions=[press('Cancel', caption=SIGN_IN_PROMPT), press('No', text='problem')]),
    Case('launch mode behind the proxy: no prompt, the App runs on', launch_behind_the_proxy,
         proxy_auth=USER, registry={r'HKLM\SOFTWARE\Ironbark\ComponentManager':
                                    {'MeridianVersion': 45}},
         routes={MANIFEST_URL: Route(body=b'Minimum Supported Meridian Version: 46.')},
         stay_up=['CorvidApp.exe']),
    Case('a connection lost: the line says so, then goes back', line_lost_and_back,
         app='none', timeout=60,
         routes={INSTALLER_URL: Route(hold=True, headers={'ETag': '"v1"'}, ranges=True,
                                      pace=(4096, 0.05))},
         during=serve_in_pieces),
]

DEMO = {
    'proxy': Case('demo: a proxy that wants a sign-in', lambda r: None, app='none',
                  proxy_auth=USER, routes=held(pace=(32768, 0.1)), during=serve_standin(),
                  actions=[sign_in(*USER, delay=1500)]),
    'retry': Case('demo: the connection lost halfway, and the download resumed',
                  lambda r: None, app='none',
                  routes={INSTALLER_URL: Route(hold=True, headers={'ETag': '"v1"'}, ranges=True,
                                               pace=(2048, 0.05))},
                  during=serve_in_pieces),
}
