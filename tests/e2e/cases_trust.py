"""The installer's trust check end to end: install mode downloads an installer
signed at test time (signing.py) and starts it elevated only when its
signature is intact and names the maker. An unsigned installer, a stranger's
and one changed after signing are each refused with one diagnostic line, and
the failure question follows.

Wine's verification finds a changed digest and reads the signer, but does not
insist on a trusted root certificate or on the code-signing usage the way
Windows does; so the test authority needs no installing in the prefix, and the
publisher check is what these cases can prove about the signer.
"""
import signing
from rig import Case, Route, INSTALLER_URL, STAGED_INSTALLER, press

FAILURE_TEXT = 'There was a problem retrieving the App automatically.'
REFUSED = 'RookMini: Installer not started, '
BAD_SIGNATURE = REFUSED + 'signature check failed. Status: 0x'
OTHER_PUBLISHER = REFUSED + 'its publisher is not the maker.'


def serving(sample):
    """The installer route answers with the named sample once it is made."""
    def during(ctx):
        ctx.case.routes[INSTALLER_URL].body = signing.installer_sample(ctx.rig.standin_file(), sample)
        ctx.release(INSTALLER_URL)
    return dict(routes={INSTALLER_URL: Route(hold=True)}, during=during)


def ended_cleanly(r):
    assert not r.timed_out, 'timed out'
    assert not r.crashes, 'crashed: %s' % r.crashes
    assert r.exit_code == 0, 'exit code %s' % r.exit_code
    assert [q['url'] for q in r.requests] == [INSTALLER_URL], 'requests: %s' % r.requests


def refusal_lines(r):
    return [line for line in r.rig_lines() if line.startswith(REFUSED)]


def failure_questions(r):
    return [w for w in r.windows
            if w['caption'] == 'Corvid App' and any(FAILURE_TEXT in t for t in r.texts(w))]


def check_started(r):
    ended_cleanly(r)
    setups = r.started('meridian_setupfull.exe')
    assert len(setups) == 1, 'installer starts: %s' % r.starts
    setup = setups[0]
    assert setup['path'].lower() == STAGED_INSTALLER.lower(), 'installer path %r' % setup['path']
    assert setup['cwd'].lower().rstrip('\\') == STAGED_INSTALLER.lower().rsplit('\\', 1)[0], \
        'installer folder %r' % setup['cwd']
    assert setup['verb'] == 'runas', 'installer verb %r' % setup['verb']
    assert setup['tail'] == '', 'installer tail %r' % setup['tail']
    assert not refusal_lines(r), 'refused: %s' % refusal_lines(r)
    assert not failure_questions(r), 'failure question shown'


def refused(expect_line, browser):
    """Not started, one line that names the reason, the failure question;
    the browser opens the download only when the question was answered Yes."""
    def check(r):
        ended_cleanly(r)
        assert not r.started('meridian_setupfull.exe'), 'installer started: %s' % r.starts
        lines = refusal_lines(r)
        assert len(lines) == 1, 'refusal lines: %s' % lines
        assert lines[0] == expect_line, 'line %r, expected %r' % (lines[0], expect_line)
        assert len(failure_questions(r)) == 1, \
            'windows: %s' % [(w['caption'], r.texts(w)) for w in r.windows]
        browsers = r.started('browser.exe')
        if browser:
            assert len(browsers) == 1 and INSTALLER_URL in browsers[0]['tail'], \
                'browser starts: %s' % browsers
        else:
            assert not browsers, 'browser started: %s' % browsers
    return check


ANSWER_NO = [press('No', text='through your Internet browser')]
ANSWER_YES = [press('Yes', text='through your Internet browser')]

CASES = [
    Case("maker's installer: started elevated from the staging folder", check_started,
         app='none', **serving('maker')),
    Case('unsigned installer: refused, failure question', refused(BAD_SIGNATURE + '800B0100', False),
         app='none', **serving('unsigned'), actions=ANSWER_NO),
    Case("stranger's installer: refused, Yes opens the download in the browser",
         refused(OTHER_PUBLISHER, True),
         app='none', **serving('stranger'), actions=ANSWER_YES),
    Case('installer changed after signing: refused, failure question',
         refused(BAD_SIGNATURE + '80096010', False),
         app='none', **serving('tampered'), actions=ANSWER_NO),
]
