"""The end-to-end rig: runs the launcher under Wine in a prepared machine
state and reports what it did.

A case is plain data (Case) plus a check function that asserts on the Result.
For every case the rig builds a fresh case folder in the shared Wine prefix
with a copy of the launcher and the stand-in programs, resets the registry and
files the launcher reads, serves the maker's URLs from a loopback HTTP server
that the prefix uses as its proxy, runs the launcher under tests/e2e/driver.exe
and collects the driver's report, the stand-ins' start records, the server's
request log and the processes left running. See README.md for the API.

The launcher under test is the 32-bit release (<build>/x86/RookMini.exe,
run through Wine's WoW64) unless ROOKMINI_TARGET=x64 chooses the x64 twin
beside the rig's own programs.
"""
import base64
import binascii
import dataclasses
import http.server
import json
import ntpath
import os
import re
import shutil
import socket
import subprocess
import threading
import time
import traceback
from pathlib import Path
from typing import Callable, Optional

# Exe names of programs the launcher may start in a test; the rig waits for
# them to finish after the launcher has ended and cleans them up between cases.
KNOWN_PROGRAMS = ['CorvidApp.exe', 'CorvidNow.exe', 'RookNative.exe', 'browser.exe',
                  'meridian_setupfull.exe', 'dism.exe', 'fondue.exe', 'taskkill.exe']

BROWSER = r'C:\rig\tools\browser.exe'
MANIFEST_URL = 'http://download.corvidapp.example/update/meridian_version.txt'
INSTALLER_URL = 'http://www.corvidapp.example/downloads/corvidapp/pc/full'
UPDATE_PAGE_URL = 'http://www.corvidapp.example/meridian_update.asp'
SUPPORT_PAGE_URL = 'http://www.corvidapp.example/support#app-troubleshooting-csc'
STAGED_INSTALLER = (r'C:\ProgramData\Ironbark\Meridian\Temporary\meridian_mainmini'
                    r'\meridian_setupfull.exe')
# The caption of the proxy sign-in prompt that InternetErrorDlg shows under Wine.
SIGN_IN_PROMPT = 'Enter Network Password'
PROXY_CHALLENGE = 'Basic realm="RookMini test proxy"'

# Machine state that the launcher reads; removed before every case.
STATE_KEYS = [
    r'HKLM\SOFTWARE\Ironbark',
    r'HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v2.0.50727',
    r'HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Client',
    r'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Image File Execution Options\csc.exe',
]
STATE_FOLDERS = [r'C:\ProgramData\Ironbark']

# The launcher the rig runs: 'x86' (the release) or 'x64' (the twin).
TARGETS = ('x86', 'x64')
TARGET = os.environ.get('ROOKMINI_TARGET') or 'x86'
SYSTEM32 = 'C:\\windows\\system32\\'
SYSWOW64 = 'C:\\windows\\syswow64\\'


class Unavailable(Exception):
    """The machine cannot run the launcher under test; the message is one line."""


# .NET Framework 2.0 with a service pack: the start-up gate lets every case
# through unless the case turns this off (Case.dotnet=False).
DOTNET_PRESENT = {
    r'HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v2.0.50727': {'Install': 1, 'SP': 1},
}


# ---- Cases -------------------------------------------------------------------

@dataclasses.dataclass
class Route:
    """One URL's response. body: the bytes served, or file: a host file
    served instead, read in pieces as it is sent (so an installer of a few
    GiB never sits in memory). length: 'auto' (Content-Length of the body),
    None (no Content-Length: the body ends when the connection closes) or a
    number to announce instead on a whole-body answer (more than the body:
    the connection is cut short). pace: (chunk bytes, seconds between
    chunks). hold: the response waits until the test calls
    ctx.release(url). stall_after: the host falls silent after that many
    body bytes, the connection left open until the case ends. ranges:
    honour "Range: bytes=N-" (and N-M) with If-Range compared with the
    validator (the ETag header, else Last-Modified). if_range=False: the
    range is answered from this body whatever If-Range says, as a cache
    that splices two versions does. cuts: per request answered by this
    route, the body bytes after which the connection is closed (None: not
    cut); requests beyond the list repeat its last entry."""
    status: int = 200
    body: bytes = b''
    length: object = 'auto'
    chunked: bool = False
    pace: Optional[tuple] = None
    hold: bool = False
    headers: dict = dataclasses.field(default_factory=dict)
    stall_after: Optional[int] = None
    file: Optional[Path] = None
    ranges: bool = False
    cuts: Optional[list] = None
    if_range: bool = True

    def size(self):
        return Path(self.file).stat().st_size if self.file is not None else len(self.body)

    def validator(self):
        """What If-Range must equal: the ETag header, else Last-Modified."""
        named = {k.lower(): v for k, v in self.headers.items()}
        return named.get('etag', named.get('last-modified'))

    def answer_range(self, range_header, if_range):
        """(status, first byte, end) for a request with these headers."""
        return choose_range(self.size(), range_header, if_range if self.if_range else None,
                            self.validator())

    def cut(self, number):
        """The body bytes after which the number-th request (from 1) is cut."""
        if not self.cuts:
            return None
        return self.cuts[min(number, len(self.cuts)) - 1]

    def pieces(self, start, end, step):
        """The body's bytes [start, end) in pieces of at most step bytes."""
        if self.file is None:
            view = memoryview(self.body)
            for at in range(start, end, step):
                yield view[at:min(at + step, end)]
            return
        with open(self.file, 'rb') as f:
            f.seek(start)
            at = start
            while at < end:
                piece = f.read(min(step, end - at))
                if not piece:
                    return  # the file got shorter
                at += len(piece)
                yield piece


_RANGE = re.compile(r'bytes=(\d+)-(\d*)')


def choose_range(size, range_header, if_range, validator):
    """How a route that honours ranges answers a request: (status, first
    byte, end). Only one range, "bytes=N-" or "bytes=N-M", is honoured; any
    other form is ignored, as HTTP allows, and so is a range whose If-Range
    is not the current validator: both get the whole body."""
    whole = (200, 0, size)
    match = _RANGE.fullmatch((range_header or '').strip())
    if not match or (if_range is not None and if_range.strip() != validator):
        return whole
    first, last = int(match.group(1)), match.group(2)
    if last and int(last) < first:
        return whole
    if first >= size:
        return (416, 0, 0)
    return (206, first, min(int(last), size - 1) + 1 if last else size)


def route_list(entry):
    """A routes entry as a list: one Route, or the Routes of successive requests."""
    if entry is None:
        return []
    return list(entry) if isinstance(entry, (list, tuple)) else [entry]


def pick_route(entry, number):
    """The Route that answers the number-th request (from 1) to a URL, and
    which of that Route's own requests it is: a list gives its n-th Route
    to the n-th request and its last to every later one. (None, number)
    when the URL has no route."""
    routes = route_list(entry)
    if not routes:
        return None, number
    at = min(number, len(routes)) - 1
    return routes[at], number - at


def proxy_admits(header, auth):
    """Whether a Proxy-Authorization header carries the Basic credentials
    auth = (user, password); any request passes when auth is None."""
    if auth is None:
        return True
    scheme, _, token = (header or '').strip().partition(' ')
    if scheme.lower() != 'basic':
        return False
    try:
        given = base64.b64decode(token.strip(), validate=True)
    except (binascii.Error, ValueError):
        return False
    return given == ('%s:%s' % auth).encode('utf-8')


@dataclasses.dataclass
class Action:
    """What to do with the next window whose caption contains `caption`
    ('' = any window): 'press:<button text without &>', 'esc', 'close',
    'sign_in:<user>:<password>' or 'none'; after `delay` ms. text: only a
    window one of whose controls' texts contains it ('' = any). hold=True
    reports the window and waits for the rig, which takes `screenshot` (a
    host path) if given and calls `on_hold(ctx, window)` if given, before
    the action is done."""
    what: str = 'none'
    caption: str = ''
    delay: int = 0
    hold: bool = False
    screenshot: Optional[str] = None
    on_hold: Optional[Callable] = None
    text: str = ''


def press(button, caption='', delay=0, **kw):
    return Action('press:' + button, caption, delay, **kw)


def esc(caption='', delay=0, **kw):
    return Action('esc', caption, delay, **kw)


def close(caption='', delay=0, **kw):
    return Action('close', caption, delay, **kw)


def sign_in(user, password, caption=SIGN_IN_PROMPT, delay=0, **kw):
    """Fills the proxy sign-in prompt's user name and password and presses OK."""
    if ':' in user or any(c in user + password for c in '\t\r\n'):
        raise ValueError('no ":" in the user name, no tab or line break: %r' % user)
    return Action('sign_in:%s:%s' % (user, password), caption, delay, **kw)


def hold(then='none', caption='', screenshot=None, on_hold=None, delay=0, text=''):
    return Action(then, caption, delay, True, screenshot, on_hold, text)


@dataclasses.dataclass
class Case:
    """One run of the launcher. app: where CorvidApp.exe stands ('beside' the
    launcher, 'above' it, 'both' or 'none'); the launcher is <case>\\bin\\<launcher>
    and the folder above is <case>. args: the command-line tail, verbatim.
    registry: {key: {value: int|str|bytes|None} or None}; key roots HKLM, HKCU,
    HKCR; int -> REG_DWORD, str -> REG_SZ, bytes -> REG_BINARY, None deletes.
    files: {windows path: str|bytes|None}; None makes sure it is absent.
    standins: more stand-in copies, {windows path} absolute or relative to
    the case folder (the file name is the name it records). winver: Wine's
    Windows version for the launcher ('win7', 'win8', 'vista', 'winxp64', ...).
    routes: {url: Route}. actions: [Action], in order. stay_up: stand-in exe
    names that keep running. during: callable(ctx) run on a thread while the
    launcher runs. dotnet: write the .NET 2.0 SP1 keys first. planted: DLL
    names (wininet.dll, ...) under which a recording DLL of the launcher's
    architecture lies beside it, loaded native-first; result.planted_loads
    lists every load of one. tmpfs: {windows folder: bytes}, a small file
    system mounted there for the run (root only), to make writes run out of
    room. proxy_auth: (user, password) the proxy wants in Basic form;
    every other request gets 407 with proxy_challenge (None: no
    Proxy-Authenticate header)."""
    label: str
    check: Callable = None
    app: str = 'beside'
    launcher: str = 'RookMini.exe'
    args: str = ''
    registry: dict = dataclasses.field(default_factory=dict)
    files: dict = dataclasses.field(default_factory=dict)
    standins: list = dataclasses.field(default_factory=list)
    winver: Optional[str] = None
    routes: dict = dataclasses.field(default_factory=dict)
    actions: list = dataclasses.field(default_factory=list)
    stay_up: list = dataclasses.field(default_factory=list)
    during: Optional[Callable] = None
    dotnet: bool = True
    timeout: float = 30.0
    planted: list = dataclasses.field(default_factory=list)
    tmpfs: dict = dataclasses.field(default_factory=dict)
    links: dict = dataclasses.field(default_factory=dict)
    before: Optional[Callable] = None
    proxy_auth: Optional[tuple] = None
    proxy_challenge: Optional[str] = PROXY_CHALLENGE


@dataclasses.dataclass
class Result:
    exit_code: Optional[int] = None
    debug: list = dataclasses.field(default_factory=list)      # debug-output texts
    windows: list = dataclasses.field(default_factory=list)    # window events
    changes: list = dataclasses.field(default_factory=list)    # window_changed events
    actions: list = dataclasses.field(default_factory=list)    # action events
    starts: list = dataclasses.field(default_factory=list)     # stand-in records
    requests: list = dataclasses.field(default_factory=list)   # server log
    processes: list = dataclasses.field(default_factory=list)  # exe names still running
    timed_out: bool = False
    crashes: list = dataclasses.field(default_factory=list)
    report: list = dataclasses.field(default_factory=list)     # raw driver events
    others: list = dataclasses.field(default_factory=list)     # ctx.run_launcher results
    shell: list = dataclasses.field(default_factory=list)      # the launcher's shell starts
    errors: list = dataclasses.field(default_factory=list)     # rig problems
    folder: str = ''                                           # the case folder (Windows)
    target: str = TARGET                                       # 'x86' or 'x64'
    planted_loads: list = dataclasses.field(default_factory=list)  # (dll, program) loaded

    def at(self, event):
        """When a driver event happened, in seconds after the launcher's start."""
        start = next(e for e in self.report if e.get('event') == 'start')
        return (event['tick'] - start['tick']) / 1000.0

    def system_folder(self):
        """%windir%\\system32 as the launcher sees it: the 32-bit release
        reaches syswow64 through WOW64 file redirection."""
        return (SYSWOW64 if self.target == 'x86' else SYSTEM32).rstrip('\\')

    def started(self, name):
        """Start records of the stand-in with that exe name (any letter case)."""
        return [s for s in self.starts if s['name'].lower() == name.lower()]

    def running(self, name):
        return any(p.lower() == name.lower() for p in self.processes)

    def texts(self, window):
        """The texts of a window's controls, in order."""
        return [c['text'] for c in window['controls']]

    def history(self, window):
        """The control texts a window showed: when it appeared, then after each change."""
        return [self.texts(e) for e in [window] + self.changes if e['hwnd'] == window['hwnd']]

    def rig_lines(self):
        """Debug lines written by the launcher (those with its tag)."""
        return [d for d in self.debug if d.startswith('RookMini: ')]

    def dump(self):
        out = {k: v for k, v in dataclasses.asdict(self).items() if k not in ('report', 'others')}
        out['others'] = [{k: v for k, v in dataclasses.asdict(o).items() if k != 'report'}
                         for o in self.others]
        return json.dumps(out, indent=1, ensure_ascii=False)


# ---- The launcher's shell calls, from Wine's exec trace -------------------------

_SHELL_CALL = re.compile(r'trace:exec:SHELL_execute mask=\S+ hwnd=\S+ verb=(.*?) file=(.*?) '
                         r'parm=(.*?) dir=(.*?) show=(0x[0-9a-fA-F]+)')


def _debugstr(text):
    """Decodes Wine's debugstr_w form: L"..." with C escapes, or (null)."""
    if not text.startswith('L"'):
        return None
    body = text[2:]
    body = body[:-1] if body.endswith('"') else body.rstrip('.').rstrip('"')
    out, i = [], 0
    while i < len(body):
        c = body[i]
        if c == '\\' and i + 1 < len(body):
            n = body[i + 1]
            if n == 'x':
                out.append(chr(int(body[i + 2:i + 6], 16)))
                i += 6
                continue
            out.append({'n': '\n', 'r': '\r', 't': '\t'}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return ''.join(out)


def parse_shell_trace(text):
    """Every ShellExecute call in the trace: verb (None for the default),
    file, params, dir (None when not given) and the show command."""
    calls = []
    for line in text.splitlines():
        m = _SHELL_CALL.search(line)
        if m:
            verb, file, params, folder, show = m.groups()
            calls.append({'verb': _debugstr(verb), 'file': _debugstr(file),
                          'params': _debugstr(params), 'dir': _debugstr(folder),
                          'show': int(show, 16)})
    return calls


def attach_verbs(starts, calls):
    """Pairs each stand-in record with the launcher's shell call that started
    it (same resolved path and parameters, or the URL for the browser), marks
    the record "runas" when that call asked for elevation, and puts the
    records in the order of those calls: stand-ins write their records in
    whatever order they get to run."""
    used, order = set(), {}

    def same(path):
        # A 32-bit launcher names system32 and reaches syswow64.
        path = ntpath.normcase(ntpath.normpath(path))
        return SYSTEM32.lower() + path[len(SYSWOW64):] if path.startswith(SYSWOW64.lower()) \
            else path

    def hit(start, call, strict):
        file = call['file']
        if not file:
            return False
        if ':' in file and file[1:2] != ':':
            return start['name'].lower() == 'browser.exe' and file in start['tail']
        if same(file) != same(start['path']):
            return False
        return not strict or (call['params'] or '') == start['tail']

    for strict in (True, False):
        for n, start in enumerate(starts):
            if n in order:
                continue
            for i, call in enumerate(calls):
                if i not in used and hit(start, call, strict):
                    used.add(i)
                    order[n] = i
                    if not start.get('verb'):
                        start['verb'] = 'runas' if (call['verb'] or '').lower() == 'runas' else ''
                    break
    ranked = sorted(range(len(starts)), key=lambda n: (order.get(n, len(calls)), n))
    return [starts[n] for n in ranked]


# ---- Loopback HTTP server acting as the prefix's proxy -----------------------

def normalise_url(url):
    """The URL as the launcher wrote it: WinINet adds the default port when
    it sends a request to a proxy."""
    scheme, sep, rest = url.partition('://')
    host, slash, path = rest.partition('/')
    default = {'http': ':80', 'https': ':443'}.get(scheme.lower())
    if default and host.endswith(default):
        host = host[:-len(default)]
    return scheme + sep + host + slash + path


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server.rig
        url = self.path
        if not url.startswith('http'):
            url = 'http://' + self.headers.get('Host', '') + url
        url = normalise_url(url)
        entry = {'url': url, 'method': self.command, 'headers': dict(self.headers.items()),
                 'range': self.headers.get('Range'), 'if_range': self.headers.get('If-Range'),
                 'time': time.time(), 'status': None, 'sent': 0}
        with server.lock:
            server.log.append(entry)
            admitted = proxy_admits(self.headers.get('Proxy-Authorization'), server.proxy_auth)
            if admitted:
                number = server.counts[url] = server.counts.get(url, 0) + 1
                route, number = pick_route(server.routes.get(url), number)
                event = server.holds.get(url)
            server.changed.notify_all()
        if not admitted:
            self.ask_sign_in(entry, server.challenge)
            return
        if route is None:
            route = Route(status=404, body=b'not found')
        if route.hold and event is not None:
            while not event.wait(0.1):
                if server.stopping:
                    return
        size = route.size()
        status, start, end = route.status, 0, size
        if route.ranges and route.status == 200:
            status, start, end = route.answer_range(self.headers.get('Range'),
                                                    self.headers.get('If-Range'))
        entry['status'] = status
        self.send_response(status)
        for key, value in route.headers.items():
            self.send_header(key, value)
        if status == 206:
            self.send_header('Content-Range', 'bytes %d-%d/%d' % (start, end - 1, size))
        elif status == 416:
            self.send_header('Content-Range', 'bytes */%d' % size)
        short = False
        if route.chunked:
            self.send_header('Transfer-Encoding', 'chunked')
        elif route.length is None:
            self.send_header('Connection', 'close')
            self.close_connection = True
        else:
            announced = end - start
            if route.length != 'auto' and status == 200:
                announced = int(route.length)
            self.send_header('Content-Length', str(announced))
            short = announced > end - start
        self.end_headers()

        # How much of the body goes out: all of it, or up to a cut or a stall.
        cut = route.cut(number)
        if cut is not None and cut >= end - start:
            cut = None  # the whole answer goes out before the cut would come
        limit = min(n for n in (end - start, route.stall_after, cut) if n is not None)
        stall = route.stall_after is not None and (cut is None or cut > route.stall_after)
        short = short or cut is not None
        step, delay = route.pace if route.pace else (1 << 20, 0)
        try:
            for piece in route.pieces(start, start + limit, step):
                self.wfile.write(b''.join((b'%x\r\n' % len(piece), piece, b'\r\n'))
                                 if route.chunked else piece)
                entry['sent'] += len(piece)
                if delay and entry['sent'] < limit:
                    time.sleep(delay)
            if stall:
                # Silence with the connection open until the next case (or
                # the end) lets it go.
                generation = server.generation
                while server.generation == generation and not server.stopping:
                    time.sleep(0.1)
                self.close_connection = True
                return
            if route.chunked and cut is None:
                self.wfile.write(b'0\r\n\r\n')
            self.wfile.flush()
        except OSError:
            self.close_connection = True
            return
        if short or route.length is None:
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def ask_sign_in(self, entry, challenge):
        """407 with the challenge (none when None) and a small body; the
        connection stays open, as a proxy's does."""
        body = b'<html><body>Proxy sign-in required</body></html>'
        entry['status'] = 407
        self.send_response(407)
        if challenge is not None:
            self.send_header('Proxy-Authenticate', challenge)
        self.send_header('Content-Type', 'text/html')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        try:
            self.wfile.write(body)
            self.wfile.flush()
            entry['sent'] = len(body)
        except OSError:
            self.close_connection = True

    do_HEAD = do_GET


class Server:
    def __init__(self):
        self.lock = threading.Lock()
        self.changed = threading.Condition(self.lock)
        self.routes, self.holds, self.log = {}, {}, []
        self.counts = {}  # requests per URL in this case, to pick routes and cuts
        self.proxy_auth, self.challenge = None, None
        self.stopping = False
        self.generation = 0  # one per case: a stalled response lasts as long as its case
        self.httpd = http.server.ThreadingHTTPServer(('127.0.0.1', 0), _Handler)
        self.httpd.daemon_threads = True
        self.httpd.rig = self
        self.port = self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def reset(self, routes, proxy_auth=None, challenge=None):
        with self.lock:
            for event in self.holds.values():
                event.set()
            self.routes = dict(routes)
            self.holds = {url: threading.Event() for url, r in routes.items()
                          if any(one.hold for one in route_list(r))}
            self.proxy_auth, self.challenge = proxy_auth, challenge
            self.log = []
            self.counts = {}
            self.generation += 1

    def release(self, url):
        with self.lock:
            self.holds[url].set()

    def wait_request(self, url, timeout):
        deadline = time.time() + timeout
        with self.lock:
            while not any(e['url'] == url for e in self.log):
                left = deadline - time.time()
                if left <= 0:
                    return False
                self.changed.wait(left)
            return True

    def stop(self):
        self.stopping = True
        self.reset({})
        self.httpd.shutdown()


# ---- The rig -----------------------------------------------------------------

def _reg_root(key, view32=False):
    """The .reg form of a key. view32: as a 32-bit program on 64-bit Windows
    sees it: HKLM\\SOFTWARE is HKLM\\SOFTWARE\\Wow6432Node (Classes and the
    HKCU keys are shared)."""
    root, _, rest = key.partition('\\')
    full = {'HKLM': 'HKEY_LOCAL_MACHINE', 'HKCU': 'HKEY_CURRENT_USER',
            'HKCR': 'HKEY_CLASSES_ROOT'}.get(root, root)
    head, _, tail = rest.partition('\\')
    if view32 and full == 'HKEY_LOCAL_MACHINE' and head.upper() == 'SOFTWARE' and tail \
            and tail.split('\\')[0].lower() not in ('classes', 'wow6432node'):
        rest = head + '\\Wow6432Node\\' + tail
    return full + '\\' + rest


def _reg_string(text):
    return '"' + text.replace('\\', '\\\\').replace('"', '\\"') + '"'


def _reg_value(name, value):
    left = '@' if name == '' else _reg_string(name)
    if value is None:
        return left + '=-'
    if isinstance(value, bool) or isinstance(value, int):
        return left + '=dword:%08x' % (int(value) & 0xFFFFFFFF)
    if isinstance(value, bytes):
        return left + '=hex:' + ','.join('%02x' % b for b in value)
    return left + '=' + _reg_string(str(value))


def _free_display():
    for n in range(90, 200):
        if not os.path.exists('/tmp/.X11-unix/X%d' % n) and not os.path.exists('/tmp/.X%d-lock' % n):
            return n
    raise RuntimeError('no free X display')


class Context:
    """Handed to Case.during and Action.on_hold while the launcher runs."""

    def __init__(self, rig, case, result):
        self.rig, self.case, self.result = rig, case, result

    def wait_request(self, url, timeout=20):
        """Waits until the server has seen a request for url; False on time-out."""
        return self.rig.server.wait_request(url, timeout)

    def release(self, url):
        """Lets a held route answer."""
        self.rig.server.release(url)

    def run_launcher(self, args='', actions=(), timeout=20.0):
        """Runs another launcher from the same case folder to its end and
        returns its Result (debug, windows, exit code); stand-in records are
        collected into the main result."""
        other = Result()
        self.rig._drive(self.case, args, list(actions), other, timeout, tag='other%d' % len(self.result.others))
        self.result.others.append(other)
        return other

    def screenshot(self, path, window=None):
        self.rig.screenshot(path, window)


class Rig:
    def __init__(self, build, wine=None, display=None, own_display=False, verbose=False,
                 target=None):
        """build: the x64 folder with the rig's programs; the release is in
        the x86 folder beside it."""
        self.build = Path(build).resolve()
        self.target = target or TARGET
        if self.target not in TARGETS:
            raise Unavailable('ROOKMINI_TARGET is %r; it must be one of %s'
                              % (self.target, ', '.join(TARGETS)))
        self.launcher = (self.build.parent / 'x86' if self.target == 'x86'
                         else self.build) / 'RookMini.exe'
        self.wine = wine or shutil.which('wine64') or '/usr/lib/wine/wine64'
        self.wineserver = str(Path(self.wine).with_name('wineserver'))
        self.prefix = self.build / 'prefix-e2e'
        self.drive_c = self.prefix / 'drive_c'
        self.work = self.drive_c / 'rig'
        self.verbose = verbose
        self.xvfb = None
        self.display = display or (None if own_display else os.environ.get('DISPLAY'))
        if not self.display:
            n = _free_display()
            self.xvfb = subprocess.Popen(['Xvfb', ':%d' % n, '-screen', '0', '1280x1024x24'],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.display = ':%d' % n
            deadline = time.time() + 10
            while not os.path.exists('/tmp/.X11-unix/X%d' % n) and time.time() < deadline:
                time.sleep(0.05)
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG='-all',
                        WINEDLLOVERRIDES='mscoree,mshtml=', DISPLAY=self.display)
        for name in ('RIG_STANDIN_LOG', 'RIG_STAY_UP', 'RIG_STAY_UP_MS'):
            self.env.pop(name, None)
        self.server = None
        self.launcher_names = {'RookMini.exe'}
        self.previous = {'keys': [], 'files': [], 'standins': []}

    # -- paths --
    def unix(self, winpath):
        """The host path of a Windows path on drive C: or Z:."""
        drive, _, rest = winpath.partition(':')
        parts = [p for p in rest.replace('\\', '/').split('/') if p]
        base = self.drive_c if drive.upper() == 'C' else Path('/')
        return base.joinpath(*parts) if parts else base

    def windows(self, path):
        path = Path(path).resolve()
        try:
            return 'C:\\' + str(path.relative_to(self.drive_c)).replace('/', '\\')
        except ValueError:
            return 'Z:' + str(path).replace('/', '\\')

    # -- Wine --
    def run_wine(self, *args, timeout=120):
        return subprocess.run([self.wine, *args], env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode

    def key(self, key):
        """A key's .reg form in the view of the launcher under test."""
        return _reg_root(key, view32=self.target == 'x86')

    def import_reg(self, lines):
        path = self.work / 'state.reg'
        text = 'Windows Registry Editor Version 5.00\r\n\r\n' + '\r\n'.join(lines) + '\r\n'
        path.write_bytes(b'\xff\xfe' + text.encode('utf-16-le'))
        self.run_wine('regedit', '/S', self.windows(path))

    def prepare(self):
        """Creates or wakes the prefix and installs the fixed handlers: the
        runas verb of exe files marks its starts, web URLs go to the browser
        stand-in, and the HTTP proxy points at the loopback server."""
        if not self.launcher.exists():
            raise Unavailable('no launcher to test: %s is missing' % self.launcher)
        syswow64 = self.drive_c / 'windows' / 'syswow64'
        if self.target == 'x86' and (self.prefix / 'system.reg').exists() and \
                not any(syswow64.glob('*.dll')):
            # Made before Wine's 32-bit half was there: it cannot run 32-bit
            # programs ("could not load kernel32.dll").
            subprocess.run([self.wineserver, '-k'], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            shutil.rmtree(self.prefix)
        fresh = not (self.prefix / 'system.reg').exists()
        subprocess.run([self.wineserver, '-p60'], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        if fresh:
            self.run_wine('wineboot', '-i', timeout=300)
        self.work.mkdir(parents=True, exist_ok=True)
        if self.target == 'x86':
            self.check_32bit()
        self.copy_standin(BROWSER)
        if self.server is None:
            self.server = Server()
        # Where the shell honours the exefile class's runas command, an
        # elevated start is marked on the stand-in's command line. Wine 8
        # starts an exe directly whatever the verb, so the rig also reads
        # the verb from Wine's trace of the launcher's shell calls.
        lines = [
            '[HKEY_CLASSES_ROOT\\exefile\\shell\\runas\\command]',
            '@=' + _reg_string('"%1" /rig-verb=runas %*'), '',
        ]
        for scheme in ('http', 'https'):
            lines += ['[HKEY_CLASSES_ROOT\\%s]' % scheme, '@=' + _reg_string('URL:' + scheme),
                      _reg_string('URL Protocol') + '=""', '',
                      '[HKEY_CLASSES_ROOT\\%s\\shell\\open\\command]' % scheme,
                      '@=' + _reg_string('"%s" "%%1"' % BROWSER), '']
        # No debugger is started for a program that crashes, in either
        # registry view (AeDebug: Auto 1 asks no question, an empty Debugger
        # cannot be started, so Wine ends the program; the launcher itself
        # runs under the driver, which reports its crash); windows are left
        # to Wine, as Xvfb has no window manager (hiding one would otherwise
        # wait 2 s for it).
        for view in ('', 'Wow6432Node\\'):
            lines += ['[HKEY_LOCAL_MACHINE\\Software\\%sMicrosoft\\Windows NT\\CurrentVersion\\AeDebug]'
                      % view, '"Auto"="1"', '"Debugger"=""', '']
        lines += ['[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]', '"Managed"="N"', '']
        lines += self.proxy_lines()
        self.import_reg(lines)
        # Leftovers of an interrupted run would hold the launcher's mutexes.
        left = {p['name'] for p in self.processes()
                if p['name'].lower() in {n.lower() for n in KNOWN_PROGRAMS} | {'rookmini.exe', 'corvidapp.exe'}}
        if left:
            self.kill(sorted(left))

    def check_32bit(self):
        """Raises Unavailable unless a 32-bit Windows program runs here."""
        if not any((self.drive_c / 'windows' / 'syswow64').glob('*.dll')):
            raise Unavailable('32-bit Windows programs cannot run: the Wine prefix %s has no '
                              'syswow64 (is wine32:i386 installed? run scripts/setup)'
                              % self.prefix)
        if not self.standin_file('x86').exists():
            raise Unavailable('no 32-bit stand-in: %s is missing' % self.standin_file('x86'))
        log = self.work / 'probe32.jsonl'
        if log.exists():
            log.unlink()
        env = dict(self.env, RIG_STANDIN_LOG=self.windows(log))
        try:
            subprocess.run([self.wine, str(self.standin_file('x86')), 'probe'], env=env,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=120)
        except subprocess.TimeoutExpired:
            pass
        if not log.exists() or '"probe"' not in log.read_text(encoding='utf-8', errors='replace'):
            raise Unavailable('32-bit Windows programs cannot run: the 32-bit stand-in wrote '
                              'no record (is the qemu-i386 binfmt_misc rule registered? run '
                              'scripts/setup as root)')

    def proxy_lines(self):
        return ['[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings]',
                '"ProxyEnable"=dword:00000001',
                '"ProxyServer"=' + _reg_string('127.0.0.1:%d' % self.server.port),
                '"ProxyOverride"=-', '']

    def close(self):
        if self.server:
            self.server.stop()
            self.server = None
        if self.xvfb:
            subprocess.run([self.wineserver, '-k'], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            self.xvfb.terminate()
            self.xvfb.wait()
            self.xvfb = None

    # -- files --
    def rig_file(self, name, arch=None):
        """A rig program of this build for an architecture (default: the
        launcher's): the x64 ones beside the twin, the 32-bit ones in rig-x86."""
        arch = arch or self.target
        return self.build / name if arch == 'x64' else self.build / 'rig-x86' / name

    def standin_file(self, arch=None):
        return self.rig_file('standin.exe', arch)

    def copy_standin(self, winpath):
        """The stand-in at a Windows path: 64-bit in system32, 32-bit in
        syswow64, elsewhere of the launcher's architecture."""
        folder = winpath.lower()
        arch = 'x64' if folder.startswith(SYSTEM32.lower()) else \
            'x86' if folder.startswith(SYSWOW64.lower()) else None
        target = self.unix(winpath)
        target.parent.mkdir(parents=True, exist_ok=True)
        if target.exists() and not (target.with_name(target.name + '.rigsave')).exists() \
                and not str(winpath).upper().startswith('C:\\RIG\\'):
            target.rename(target.with_name(target.name + '.rigsave'))
        shutil.copyfile(self.standin_file(arch), target)

    def _remove(self, winpath):
        target = self.unix(winpath)
        if target.is_symlink():
            target.unlink()
        elif target.is_dir():
            shutil.rmtree(target, ignore_errors=True)
        elif target.exists():
            target.unlink()
        saved = target.with_name(target.name + '.rigsave')
        if saved.exists():
            saved.rename(target)

    def screenshot(self, path, window=None):
        """Saves the screen, cropped to the window's rectangle when given (a
        window event from the report), as an image at the host path."""
        args = ['import', '-display', self.display, '-window', 'root']
        if window:
            left, top, right, bottom = window['rect']
            args += ['-crop', '%dx%d+%d+%d' % (right - left, bottom - top, max(left, 0),
                                               max(top, 0)), '+repage']
        Path(path).parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(args + [str(path)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=30)

    # -- processes --
    def processes(self):
        out = self.work / 'ps.jsonl'
        if out.exists():
            out.unlink()
        self.run_wine(str(self.build / 'driver.exe'), 'ps', self.windows(out))
        return [json.loads(l) for l in out.read_text(encoding='utf-8').splitlines() if l.strip()]

    def kill(self, names):
        out = self.work / 'kill.jsonl'
        self.run_wine(str(self.build / 'driver.exe'), 'kill', self.windows(out), *names)

    # -- a case --
    def case_folder(self, case):
        slug = ''.join(c if c.isalnum() or c in '-_' else '-' for c in case.label)[:60]
        return 'C:\\rig\\cases\\' + slug

    def _setup(self, case, folder):
        for path in self.previous['standins'] + self.previous['files'] + STATE_FOLDERS:
            self._remove(path)
        shutil.rmtree(self.unix(folder), ignore_errors=True)
        bin_folder = self.unix(folder + '\\bin')
        bin_folder.mkdir(parents=True)
        shutil.copyfile(self.launcher, bin_folder / case.launcher)
        placed = []
        if case.app in ('beside', 'both'):
            placed.append(folder + '\\bin\\CorvidApp.exe')
        if case.app in ('above', 'both'):
            placed.append(folder + '\\CorvidApp.exe')
        for path in case.standins:
            placed.append(path if ':' in path else folder + '\\' + path)
            if self.target == 'x86' and path.lower().startswith(SYSTEM32.lower()):
                # The release reaches system32 only with redirection off; a
                # 32-bit copy in syswow64 answers where it is on, and the
                # record's path tells which was reached.
                placed.append(SYSWOW64 + path[len(SYSTEM32):])
        outside = []
        for path in placed:
            self.copy_standin(path)
            if not path.lower().startswith(folder.lower()):
                outside.append(path)
        for path, content in case.files.items():
            target = self.unix(path)
            if content is None:
                self._remove(path)
                continue
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(content if isinstance(content, bytes) else content.encode('utf-8'))
        for path, to in case.links.items():
            link, target = self.unix(path), self.unix(to if ':' in to else folder + '\\' + to)
            target.mkdir(parents=True, exist_ok=True)
            link.parent.mkdir(parents=True, exist_ok=True)
            os.symlink(target, link, target_is_directory=True)
        self.previous['standins'] = outside
        self.previous['files'] = [p for p in list(case.files) + list(case.links)
                                  if not p.lower().startswith(folder.lower())]

        self.launcher_names.add(case.launcher)
        lines = []
        for key in STATE_KEYS + self.previous['keys'] + list(case.registry):
            lines += ['[-' + self.key(key) + ']', '']
        for name in sorted(self.launcher_names):
            lines += ['[-HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s]' % name, '']
        lines += self.proxy_lines()
        registry = dict(DOTNET_PRESENT) if case.dotnet else {}
        for key, values in case.registry.items():
            if values is None:
                registry.pop(key, None)
            else:
                registry[key] = {**registry.get(key, {}), **values}
        for key, values in registry.items():
            lines.append('[' + self.key(key) + ']')
            lines += [_reg_value(name, value) for name, value in values.items()]
            lines.append('')
        if case.winver:
            lines += ['[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s]' % case.launcher,
                      '"Version"=' + _reg_string(case.winver), '']
        self.previous['keys'] = [k for k in case.registry if k not in STATE_KEYS]
        self.import_reg(lines)

    def _drive(self, case, args, actions, result, timeout, tag, on_poll=None):
        """Runs one launcher under the driver and fills result from the report."""
        folder = result.folder or self.case_folder(case)
        exe = folder + '\\bin\\' + case.launcher
        report = self.report_file(folder, tag)
        config = self.unix(folder) / ('%s.config' % tag)
        release = folder + '\\%s.release' % tag
        lines = ['report=' + self.windows(report), 'exe=' + exe,
                 'cmdline="%s"%s' % (exe, (' ' + args) if args else ''),
                 'cwd=' + folder + '\\bin', 'timeout=%d' % int(timeout * 1000),
                 'release=' + release]
        for a in actions:
            lines.append('action=%s\t%s\t%d\t%d\t%s' % (a.caption, a.what, a.delay,
                                                     1 if a.hold else 0, a.text))
        config.write_text('\n'.join(lines) + '\n', encoding='utf-8')
        out = open(self.unix(folder) / ('%s.driver.out' % tag), 'wb')  # a file, never a pipe
        proc = subprocess.Popen([self.wine, str(self.build / 'driver.exe'), 'run',
                                 self.windows(config)], env=self.run_env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=out)
        seen = 0
        holds = [a for a in actions if a.hold]
        windows = {}
        deadline = time.time() + timeout + 30
        while True:
            finished = proc.poll() is not None
            events = []
            if report.exists():
                with open(report, 'rb') as f:
                    data = f.read()
                complete = data[:data.rfind(b'\n') + 1] if b'\n' in data else b''
                events = [json.loads(l) for l in complete.decode('utf-8').splitlines()[seen:] if l]
                seen += len(events)
            for e in events:
                result.report.append(e)
                kind = e.get('event')
                if kind == 'debug':
                    result.debug.append(e['text'])
                elif kind in ('window', 'window_changed'):
                    (result.windows if kind == 'window' else result.changes).append(e)
                    windows[e['hwnd']] = e
                elif kind == 'action':
                    result.actions.append(e)
                elif kind == 'exit':
                    result.exit_code = e['code']
                elif kind == 'timeout':
                    result.timed_out = True
                elif kind == 'crash':
                    result.crashes.append(e)
                elif kind == 'error':
                    result.errors.append(e.get('text', ''))
                elif kind == 'hold':
                    action = holds[e['index']]
                    window = windows.get(e['hwnd'])
                    try:
                        if action.screenshot:
                            self.screenshot(action.screenshot, window)
                        if action.on_hold:
                            action.on_hold(Context(self, case, result), window)
                    except Exception:
                        result.errors.append('on_hold: ' + traceback.format_exc())
                    self.unix(release + str(e['index'])).write_bytes(b'')
            if finished and not events:
                break
            if time.time() > deadline:
                proc.kill()
                result.errors.append('driver did not end')
                break
            time.sleep(0.05)
        out.close()
        if proc.returncode not in (0, None):
            result.errors.append('driver exit %s' % proc.returncode)
        trace = self.unix(folder) / ('%s.driver.out' % tag)
        result.shell += parse_shell_trace(trace.read_bytes().decode('utf-8', 'replace'))

    def report_file(self, folder, tag='main'):
        """The host path of the driver's report of a launcher run from a case
        folder ('main': the case's own launcher), which another thread may
        read while the launcher runs."""
        return self.unix(folder) / ('%s.report.jsonl' % tag)

    def run(self, case):
        """Runs a case and returns its Result (the check is not called)."""
        folder = self.case_folder(case)
        result = Result(folder=folder, target=self.target)
        self._setup(case, folder)
        if case.before:
            case.before(self, case)
        mounted = self._mount(case, result)
        try:
            return self._run(case, folder, result)
        finally:
            for path in mounted:
                subprocess.run(['umount', '-l', str(path)], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)

    def _mount(self, case, result):
        """Mounts the case's small file systems; answers where."""
        mounted = []
        for winpath, size in case.tmpfs.items():
            path = self.unix(winpath)
            path.mkdir(parents=True, exist_ok=True)
            done = subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=%d' % size, 'tmpfs',
                                   str(path)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if done.returncode:
                result.errors.append('cannot mount a file system at %s (root only): %s'
                                     % (winpath, done.stdout.decode(errors='replace').strip()))
            else:
                mounted.append(path)
        return mounted

    def _run(self, case, folder, result):
        self.server.reset(case.routes, case.proxy_auth, case.proxy_challenge)
        log = self.unix(folder) / 'standins.jsonl'
        self.run_env = dict(self.env, RIG_STANDIN_LOG=self.windows(log),
                            RIG_STAY_UP=';'.join(case.stay_up), WINEDEBUG='-all,trace+exec')
        overrides = [self.env['WINEDLLOVERRIDES']]
        # A stand-in in the Windows folder under the name of one of Wine's own
        # programs (taskkill.exe, say) runs only when told to load native.
        overrides += ['%s=n' % p.split('\\')[-1].lower() for p in case.standins
                      if p.lower().startswith('c:\\windows\\')]
        # Planted DLLs are preferred to Wine's own wherever a search finds them.
        plant_log = self.unix(folder) / 'planted.log'
        for name in case.planted:
            shutil.copyfile(self.rig_file('planted.dll'), self.unix(folder + '\\bin\\' + name))
            overrides.append('%s=n,b' % name.lower()[:-4])
        if case.planted:
            self.run_env['RIG_PLANT_LOG'] = self.windows(plant_log)
        self.run_env['WINEDLLOVERRIDES'] = ';'.join(overrides)
        thread = None
        if case.during:
            ctx = Context(self, case, result)

            def during():
                try:
                    case.during(ctx)
                except Exception:
                    result.errors.append('during: ' + traceback.format_exc())
            thread = threading.Thread(target=during, daemon=True)
            thread.start()
        self._drive(case, case.args, case.actions, result, case.timeout, tag='main')
        if thread:
            thread.join(case.timeout)
            for url, routes in case.routes.items():
                if any(one.hold for one in route_list(routes)):
                    self.server.release(url)

        # The launcher does not wait for what it starts: wait until every
        # program it started has written its record and ended (or, for those
        # that stay up, has written its record).
        watched = {n.lower() for n in KNOWN_PROGRAMS}
        watched |= {p.split('\\')[-1].lower() for p in case.standins}
        stay = {n.lower() for n in case.stay_up}
        deadline = time.time() + 20
        while True:
            procs = self.processes()
            starts = self._read_log(log)  # after the snapshot: ended ones have written
            logged = {s['pid'] for s in starts}
            busy = [p for p in procs if p['name'].lower() in watched and
                    not (p['name'].lower() in stay and p['pid'] in logged)]
            if not busy or time.time() > deadline:
                break
            time.sleep(0.1)
        result.starts = attach_verbs(starts, result.shell + [c for o in result.others
                                                             for c in o.shell])
        result.processes = [p['name'] for p in procs]
        with self.server.lock:
            result.requests = [dict(e) for e in self.server.log]
        left = {p['name'] for p in procs if p['name'].lower() in watched | {case.launcher.lower()}}
        if left:
            self.kill(sorted(left))
        # Stand-ins put in the Windows folder go at once, so that a later run
        # (or another suite) finds Wine's own programs in place.
        for path in self.previous['standins']:
            self._remove(path)
        self.previous['standins'] = []
        if plant_log.exists():
            result.planted_loads = [tuple(line.split('\t', 1)) for line in
                                    plant_log.read_text(encoding='utf-8').splitlines() if line]
        return result

    @staticmethod
    def _read_log(log):
        if not log.exists():
            return []
        text = log.read_bytes().decode('utf-8', 'replace')
        return [json.loads(l) for l in text.splitlines() if l.strip()]
