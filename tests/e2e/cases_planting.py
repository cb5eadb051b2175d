"""Nothing planted beside the launcher or its installer runs: recording DLLs
named after the libraries the launcher loads, or that those load, lie beside
it and are preferred to Wine's own wherever a search finds them, yet launch
mode and install mode still work and none of them loads into the launcher;
and neither a staging folder holding a stranger's DLL nor one reached
through a junction at a level above is used. (Wine has no
KnownDLLs and loads version.dll, dbghelp.dll and uxtheme.dll for its own
libraries from the program's folder, so those names are left out.)"""
import ntpath

from rig import Case, Route, MANIFEST_URL, INSTALLER_URL, STAGED_INSTALLER
from cases_install import held, installer_started, serve_standin
from cases_launch import INSTALLED_46, UP_TO_DATE, started_beside

PLANTED = ['wininet.dll', 'crypt32.dll', 'wintrust.dll', 'msasn1.dll', 'secur32.dll',
           'ws2_32.dll', 'iphlpapi.dll', 'dnsapi.dll', 'bcrypt.dll', 'rsaenh.dll',
           'cryptnet.dll', 'mpr.dll', 'netapi32.dll', 'userenv.dll']
STAGING = ntpath.dirname(STAGED_INSTALLER)
STRANGERS_DLL = STAGING + r'\version.dll'


def nothing_loaded(r):
    into = [dll for dll, program in r.planted_loads
            if ntpath.basename(program).lower() == 'rookmini.exe']
    assert not into, 'planted DLLs loaded into the launcher: %s' % into


def launched(r):
    started_beside('')(r)
    assert [q['url'] for q in r.requests] == [MANIFEST_URL], r.requests
    assert "RookMini: Minimum version '40'" in r.debug, r.rig_lines()
    nothing_loaded(r)


def installed(r):
    installer_started(r)
    nothing_loaded(r)


def started_from_a_fresh_folder(r):
    """Saved and started from a new private folder under the user's own
    temporary folder; the stranger's DLL is left where it was."""
    starts = r.started('meridian_setupfull.exe')
    assert len(starts) == 1 and starts[0]['verb'] == 'runas', r.starts
    folder = starts[0]['cwd'].rstrip('\\')
    assert ntpath.basename(folder).startswith('RookMini-'), folder
    assert '\\temp\\' in folder.lower(), folder
    lines = [l for l in r.rig_lines() if 'cannot be made private' in l]
    assert len(lines) == 1 and folder in lines[0], r.rig_lines()
    assert r.staged_dll == b'MZ a stranger', r.staged_dll


def not_through_the_junction(r):
    """A junction at a middle level: the download goes to a fresh private
    folder, and nothing lands where the junction leads."""
    started_from_a_fresh_folder(r)
    assert r.beyond == [], 'written through the junction: %s' % r.beyond


def keep_beyond_the_junction(ctx):
    serve_standin()(ctx)
    beyond = ctx.rig.unix(ctx.result.folder + '\\elsewhere')
    ctx.result.beyond = sorted(str(p.relative_to(beyond)) for p in beyond.rglob('*'))
    ctx.result.staged_dll = b'MZ a stranger'


def keep_strangers_dll(ctx):
    serve_standin()(ctx)
    path = ctx.rig.unix(STRANGERS_DLL)
    ctx.result.staged_dll = path.read_bytes() if path.exists() else None


CASES = [
    Case('launch mode with DLLs planted beside the launcher: none loads', launched,
         registry=INSTALLED_46, routes=UP_TO_DATE, planted=PLANTED),
    Case('install mode with DLLs planted beside the launcher: none loads', installed,
         app='none', routes=held(), during=serve_standin(), planted=PLANTED),
    Case('staging folder holding a stranger\'s DLL: a fresh private folder instead',
         started_from_a_fresh_folder, app='none', routes=held(), during=keep_strangers_dll,
         files={STRANGERS_DLL: b'MZ a stranger'}),
    Case('a junction in place of a level above the staging folder: a fresh private folder',
         not_through_the_junction, app='none', routes=held(), during=keep_beyond_the_junction,
         links={r'C:\ProgramData\Ironbark\Meridian\Temporary': 'elsewhere'}),
]
