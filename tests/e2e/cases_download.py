"""The installer download end to end, what only the whole program shows: a
drop at 40 % that resumes with Range and If-Range and is saved whole; a
cache that answers the rest from a newer version, which is never spliced
on; redirects, followed only to a host on the Internet, and no cookies;
and a 1.3 GiB installer (beyond what a 32-bit process could hold in one
block), with and without a Content-Length, streamed to disk, verified and
started.
The installers are the stand-in padded to size and signed by the maker at
test time (signing.padded_installer); the served file and the saved one are
compared by digest."""
import hashlib
import time

import signing
from rig import Case, Route, INSTALLER_URL, STAGED_INSTALLER, press
from cases_install import FAILED, STAGING, dialogs, ends_quietly, questions

MIB = 1 << 20
BIG = 1300 * MIB


def digest(path):
    h = hashlib.sha256()
    with open(path, 'rb') as f:
        for block in iter(lambda: f.read(8 * MIB), b''):
            h.update(block)
    return h.hexdigest()


def installer(size, cut_at=None, **route):
    """Before the launcher starts: a signed installer of about `size` bytes
    on the installer URL (cut once at that fraction, if given)."""
    def before(rig, case):
        path = signing.padded_installer(rig.standin_file(), size)
        if cut_at is not None:
            route['cuts'] = [int(path.stat().st_size * cut_at), None]
        case.routes = {INSTALLER_URL: Route(file=path, **route)}
        case.served = (path.stat().st_size, digest(path))
    return before


def keep_saved(ctx):
    """After the launcher has ended, keeps the digests of what was served
    and what was saved (and where a case cut the first answer)."""
    ctx.result.served = ctx.case.served
    ctx.result.cut = getattr(ctx.case, 'cut', None)
    deadline = time.time() + ctx.case.timeout
    while ctx.result.exit_code is None and not ctx.result.timed_out and time.time() < deadline:
        time.sleep(0.2)
    saved = ctx.rig.unix(STAGED_INSTALLER)
    ctx.result.saved = (saved.stat().st_size, digest(saved)) if saved.exists() else None


def saved_and_started(r):
    """Saved whole (the same digest as served), verified and started once,
    elevated from the staging folder, no question."""
    ends_quietly(r)
    assert len(dialogs(r)) == 1, [w['caption'] for w in r.windows]
    assert r.saved == r.served, 'saved %s, served %s' % (r.saved, r.served)
    starts = r.started('meridian_setupfull.exe')
    assert len(starts) == 1 and starts[0]['verb'] == 'runas', r.starts
    assert starts[0]['cwd'].rstrip('\\').lower() == STAGING.lower(), starts[0]['cwd']
    assert not questions(r), 'question asked'
    assert 'RookMini: No download data' not in r.debug, r.rig_lines()


def resumed(r):
    """The second request asks for the rest from where the first was cut,
    with the validator; the file is whole, not spliced."""
    saved_and_started(r)
    ranges = [(q['range'], q['if_range']) for q in r.requests]
    cut = int(r.served[0] * 0.4)
    assert ranges == [(None, None), ('bytes=%d-' % cut, '"v1"')], ranges
    line = ('RookMini: Download interrupted at %d of %d bytes, trying again (2 of 5).'
            % (cut, r.served[0]))
    assert line in r.debug, r.rig_lines()


def splicing_cache(rig, case):
    """Before the launcher starts: version 1 is cut at 40 %; a cache between
    then answers the Range from version 2 whatever the If-Range said; a
    plain GET gets version 2 whole."""
    v1 = signing.padded_installer(rig.standin_file(), 8 * MIB)
    v2 = signing.padded_installer(rig.standin_file(), 8 * MIB, version=2)
    cut = v1.stat().st_size * 4 // 10
    case.routes = {INSTALLER_URL: [
        Route(file=v1, headers={'ETag': '"v1"'}, ranges=True, cuts=[cut]),
        Route(file=v2, headers={'ETag': '"v2"'}, ranges=True, if_range=False),
        Route(file=v2, headers={'ETag': '"v2"'}, ranges=True)]}
    case.served = (v2.stat().st_size, digest(v2))
    case.cut = cut


def newer_saved_whole(r):
    """The rest from another version is dropped: the next try asks for the
    whole, and the newer version is saved whole (its digest) and started."""
    saved_and_started(r)
    ranges = [(q['range'], q['if_range']) for q in r.requests]
    cut = r.cut
    assert ranges == [(None, None), ('bytes=%d-' % cut, '"v1"'), (None, None)], ranges
    assert 'RookMini: The rest sent is of another version, starting over.' in r.debug, \
        r.rig_lines()


CDN_URL = 'http://cdn.corvidapp.example/corvidapp/pc/meridian_setupfull.exe'
INTRANET_URL = 'http://corvidfiles/corvidapp/pc/meridian_setupfull.exe'
COOKIE = {'Set-Cookie': 'visitor=7; path=/'}


def redirected(location):
    """Before the launcher starts: the installer URL redirects (setting a
    cookie) to `location`, where a maker-signed installer is served."""
    def before(rig, case):
        path = signing.padded_installer(rig.standin_file(), MIB)
        case.routes = {INSTALLER_URL: Route(status=302, headers=dict(COOKIE, Location=location)),
                       location: Route(file=path, headers=COOKIE)}
        case.served = (path.stat().st_size, digest(path))
    return before


def followed_to_the_cdn(r):
    """Followed to the maker's other host, saved and started; no request
    carries a cookie."""
    saved_and_started(r)
    assert [q['url'] for q in r.requests] == [INSTALLER_URL, CDN_URL], r.requests
    assert not any('Cookie' in q['headers'] for q in r.requests), r.requests


def intranet_refused(r):
    """Never requested: the failure question instead, nothing saved."""
    ends_quietly(r)
    assert [q['url'] for q in r.requests] == [INSTALLER_URL], r.requests
    assert "RookMini: Redirect refused: '%s'" % INTRANET_URL in r.debug, r.rig_lines()
    assert not r.started('meridian_setupfull.exe'), r.starts
    asked = [w for w in questions(r) if FAILED in r.texts(w)]
    assert len(asked) == 1, [r.texts(w) for w in r.windows]
    assert r.saved is None, r.saved


def big(r):
    saved_and_started(r)
    assert [q['url'] for q in r.requests] == [INSTALLER_URL], r.requests


CASES = [
    Case('a drop at 40 %: the rest asked for with Range and If-Range, saved whole', resumed,
         app='none', timeout=120, during=keep_saved,
         before=installer(8 * MIB, headers={'ETag': '"v1"'}, ranges=True, cut_at=0.4)),
    Case('a cache splices in another version: the newer one saved whole and started',
         newer_saved_whole, app='none', timeout=120, during=keep_saved, before=splicing_cache),
    Case('a redirect to the maker\'s other host: followed, no cookie sent back',
         followed_to_the_cdn, app='none', timeout=60, during=keep_saved,
         before=redirected(CDN_URL)),
    Case('a redirect to an intranet name: never requested, the failure question',
         intranet_refused, app='none', timeout=60, during=keep_saved,
         before=redirected(INTRANET_URL), actions=[press('No', text='problem')]),
    Case('a 1.3 GiB installer with a Content-Length: streamed, saved whole, started', big,
         app='none', timeout=600, during=keep_saved, before=installer(BIG)),
    Case('a 1.3 GiB installer without a Content-Length: saved whole, started', big,
         app='none', timeout=600, during=keep_saved, before=installer(BIG, length=None)),
]
