"""Pictures of the windows that a launcher shows while the rig runs it, as
they looked on screen (the rig's display, cropped to the window): for the
demo's page and the README's screenshots.

Pictures.case(case) answers a copy of a case that is pictured as it runs:
its `during` also watches the driver's report, and each of its actions holds
its window until the window has been pictured. A window is pictured once it
has settled; one with a progress bar once the bar has moved (see due()); one
whose texts change (a "window_changed" event) again afterwards. Every window
gets a Shot: the picture's path, or a note why there is none, such as
"closed before it could be pictured".
"""
import dataclasses
import json
import re
import threading
import time
import traceback
from pathlib import Path
from typing import Optional

BAR_CLASS = 'msctls_progress32'
PBS_MARQUEE = 0x08
SETTLE = 0.3        # s after a window appears (or changes) before its picture
BAR_SHARE = 0.25    # a bar has moved once it shows this share of its range,
BAR_STILL = 1.0     # or has moved and then stood still this long (s)
MARQUEE_SETTLE = 0.5
BAR_WAIT = 8.0      # a bar that never moves is pictured after this long (s)
HOLD_WAIT = BAR_WAIT + 7.0  # an action waits at most this long for the picture
GONE_GRACE = 0.3    # s after a picture during which the window's going spoils it

GONE = 'closed before it could be pictured'
BAR_NOT_MOVED = 'pictured before its bar had moved'
NO_PICTURE = 'could not be pictured'


@dataclasses.dataclass
class Shot:
    """A window's picture (path None when there is none, and then note says
    why). window: the driver's event for the window, its texts as pictured;
    changed: a later picture, taken after the window's texts changed."""
    window: dict
    path: Optional[Path] = None
    note: str = ''
    changed: bool = False


def bars(window):
    return [c for c in window.get('controls', []) if c['class'].lower() == BAR_CLASS]


def due(window, progress, seen_at, now):
    """Whether a window is to be pictured now: False (not yet), True, or the
    note that goes with a picture taken anyway. progress: the driver's
    "progress" events for the window's bars, each with "at", when it
    arrived; seen_at: when the window did; times in seconds."""
    if now - seen_at < SETTLE:
        return False
    if not bars(window):
        return True
    marquee_since = seen_at if any(c['style'] & PBS_MARQUEE for c in bars(window)) else None
    moved_at = None
    for event in progress:
        if event['marquee']:
            marquee_since = event['at'] if marquee_since is None else marquee_since
            continue
        marquee_since = None
        span = event['high'] - event['low']
        if event['pos'] > event['low']:
            if span > 0 and (event['pos'] - event['low']) >= BAR_SHARE * span:
                return True
            moved_at = event['at']
    if marquee_since is not None:
        return now - marquee_since >= MARQUEE_SETTLE
    if moved_at is not None and now - moved_at >= BAR_STILL:
        return True
    if now - seen_at >= BAR_WAIT:
        return BAR_NOT_MOVED
    return False


def read_report(path):
    """The driver's events so far: whole lines only, as it may be writing."""
    if not path.exists():
        return []
    data = path.read_bytes()
    data = data[:data.rfind(b'\n') + 1]
    return [json.loads(line) for line in data.decode('utf-8').splitlines() if line]


def slug(text):
    return re.sub(r'[^a-z0-9]+', '-', text.lower()).strip('-')[:40] or 'window'


class Pictures:
    """Takes the pictures of one run into a folder; shots lists them in the
    order in which their windows appeared."""

    def __init__(self, rig, folder):
        self.rig, self.folder = rig, Path(folder)
        self.shots = []
        self.lock = threading.Lock()
        self.done = threading.Condition(self.lock)
        self.order = {}   # hwnd -> number of the window, from 1
        self.ready = {}   # hwnd -> its first Shot

    def case(self, case):
        """The case, pictured as it runs (its check is not changed)."""
        watched = case.during

        def during(ctx):
            helper = None
            if watched:
                def run():
                    try:
                        watched(ctx)
                    except Exception:
                        ctx.result.errors.append('during: ' + traceback.format_exc())
                helper = threading.Thread(target=run, daemon=True)
                helper.start()
            self.watch(ctx, case.timeout + 30)
            if helper:
                helper.join(case.timeout)
        return dataclasses.replace(case, during=during,
                                   actions=[self._held(a) for a in case.actions])

    def _held(self, action):
        """The action, holding its window until the window is pictured."""
        then = action.on_hold

        def on_hold(ctx, window):
            if window:
                self.wait(window['hwnd'], HOLD_WAIT)
            if then:
                then(ctx, window)
        return dataclasses.replace(action, hold=True, on_hold=on_hold)

    def wait(self, hwnd, timeout):
        deadline = time.time() + timeout
        with self.lock:
            while hwnd not in self.ready and time.time() < deadline:
                self.done.wait(max(0.0, deadline - time.time()))

    def watch(self, ctx, timeout):
        """Reads the driver's report as it grows and takes each picture when
        it is due, until the launcher has ended."""
        report = self.rig.report_file(ctx.result.folder)
        pending = {}   # hwnd -> [window event, seen at, progress events, a later picture]
        held, gone = set(), set()
        read, ended = 0, False
        deadline = time.time() + timeout
        while not ended and time.time() < deadline:
            events = read_report(report)[read:]
            read += len(events)
            now = time.time()
            for event in events:
                kind, hwnd = event.get('event'), event.get('hwnd')
                if kind == 'window':
                    with self.lock:
                        self.order.setdefault(hwnd, len(self.order) + 1)
                    pending[hwnd] = [event, now, [], False]
                elif kind == 'progress' and hwnd in pending:
                    pending[hwnd][2].append(dict(event, at=now))
                elif kind == 'window_changed' and hwnd not in gone:
                    # The same window with new texts: pictured again, a
                    # little later, unless its first picture is still due.
                    before = pending[hwnd][0] if hwnd in pending else \
                        self.ready[hwnd].window if hwnd in self.ready else {}
                    changed = dict(before, **{k: v for k, v in event.items() if k != 'event'})
                    if hwnd in pending and not pending[hwnd][3]:
                        pending[hwnd][0] = changed
                    else:
                        pending[hwnd] = [changed, now, [], True]
                elif kind == 'hold':
                    held.add(hwnd)
                elif kind == 'window_gone':
                    gone.add(hwnd)
                    if hwnd in pending:
                        window, _, _, again = pending.pop(hwnd)
                        self._keep(Shot(window, note=GONE, changed=again))
                elif kind in ('exit', 'timeout'):
                    ended = True
            for hwnd, (window, seen_at, progress, again) in list(pending.items()):
                if ended:
                    break
                now = time.time()
                verdict = now - seen_at >= SETTLE if again else due(window, progress, seen_at, now)
                if verdict:
                    del pending[hwnd]
                    note = verdict if isinstance(verdict, str) else ''
                    self._take(window, note, again, checked=hwnd not in held, report=report)
            time.sleep(0.02)
        for window, _, _, again in pending.values():
            self._keep(Shot(window, note=GONE, changed=again))

    def _take(self, window, note, again, checked, report):
        """Pictures the window; unless the driver holds it, a picture followed
        at once by the window's going is not trusted: it may show what lay
        beneath."""
        with self.lock:
            number = self.order.get(window['hwnd'], len(self.order) + 1)
            taken = sum(1 for s in self.shots if s.window.get('hwnd') == window['hwnd'])
        name = '%02d-%s%s.png' % (number, slug(window.get('caption', '')),
                                  '-%d' % (taken + 1) if taken else '')
        path = self.folder / name
        try:
            self.rig.screenshot(path, window)
        except Exception as e:  # import missing or timed out
            self._keep(Shot(window, note='%s: %s' % (NO_PICTURE, e), changed=again))
            return
        if not path.exists() or path.stat().st_size == 0:
            self._keep(Shot(window, note=NO_PICTURE, changed=again))
            return
        if checked:
            time.sleep(GONE_GRACE)
            if any(e.get('event') == 'window_gone' and e.get('hwnd') == window['hwnd']
                   for e in read_report(report)):
                path.unlink()
                self._keep(Shot(window, note=GONE, changed=again))
                return
        self._keep(Shot(window, path, note, again))

    def _keep(self, shot):
        with self.lock:
            self.shots.append(shot)
            self.ready.setdefault(shot.window.get('hwnd'), shot)
            self.shots.sort(key=lambda s: self.order.get(s.window.get('hwnd'), 0))
            self.done.notify_all()
