"""Checks of when the demo pictures a window (pictures.due) and of what the
watcher makes of a driver's report as it grows: a picture for a window that
stays, a second one after its texts change, "closed before it could be
pictured" for one that goes first, and an action held until its window is
pictured. A fault here would leave the page without a window or show one as
it did not look. No Wine: the report is written here, and the picture is a
file the stand-in rig writes."""
import json
import tempfile
import threading
import time
import unittest
from pathlib import Path

import pictures
from pictures import BAR_NOT_MOVED, GONE, Pictures, due


def window(hwnd=1, caption='Box', bar_style=None):
    controls = [{'class': 'Button', 'id': 1, 'text': 'OK', 'style': 0, 'visible': True}]
    if bar_style is not None:
        controls.append({'class': 'msctls_progress32', 'id': 5, 'text': '', 'style': bar_style,
                         'visible': True})
    return {'event': 'window', 'hwnd': hwnd, 'caption': caption, 'class': '#32770',
            'rect': [0, 0, 100, 50], 'controls': controls}


def bar(at, pos, high=1000, marquee=False):
    return {'at': at, 'pos': pos, 'low': 0, 'high': high, 'marquee': marquee}


class Due(unittest.TestCase):
    def test_when_a_window_is_pictured(self):
        plain, with_bar, marquee = window(), window(bar_style=0), window(bar_style=0x08)
        for label, shown, progress, now, want in [
            ('a box, just shown', plain, [], 0.1, False),
            ('a box, settled', plain, [], 0.4, True),
            ('a bar, not yet a quarter', with_bar, [bar(0.2, 200)], 0.5, False),
            ('a bar at a quarter', with_bar, [bar(0.2, 100), bar(0.4, 250)], 0.5, True),
            ('a bar that moved, then stood still', with_bar, [bar(0.2, 100)], 1.3, True),
            ('a bar that moved a moment ago', with_bar, [bar(0.2, 100), bar(1.0, 120)], 1.3,
             False),
            ('a bar that never moved: pictured with a note', with_bar, [bar(0.2, 0)],
             pictures.BAR_WAIT, BAR_NOT_MOVED),
            ('a bar with no range yet', with_bar, [bar(0.2, 0, high=0)], 2.0, False),
            ('a marquee from the start', marquee, [], 0.6, True),
            ('a marquee turned on late', with_bar, [bar(0.2, 0), bar(1.0, 0, marquee=True)], 1.3,
             False),
            ('a marquee turned on, settled', with_bar, [bar(1.0, 0, marquee=True)], 1.6, True),
            ('a marquee turned back into a bar', marquee,
             [bar(0.2, 0, marquee=True), bar(0.4, 50)], 1.0, False),
        ]:
            with self.subTest(label):
                self.assertEqual(due(shown, progress, 0.0, now), want)


class FakeRig:
    """What Pictures uses of the rig: the report's path and a screenshot,
    here a file naming the window's caption."""

    def __init__(self, folder):
        self.folder = folder

    def report_file(self, case_folder, tag='main'):
        return self.folder / 'main.report.jsonl'

    def screenshot(self, path, window=None):
        Path(path).parent.mkdir(parents=True, exist_ok=True)
        Path(path).write_text(window['caption'] + ' ' + ','.join(
            c['text'] for c in window['controls']))


class Context:
    def __init__(self, folder):
        self.result = type('Result', (), {'folder': folder, 'errors': []})()


class Watcher(unittest.TestCase):
    def test_a_growing_report(self):
        with tempfile.TemporaryDirectory() as folder:
            folder = Path(folder)
            rig = FakeRig(folder)
            shots = Pictures(rig, folder / 'pictures')
            report = rig.report_file(None)
            changed = dict(window(1, 'Stays'), event='window_changed',
                           controls=[{'class': 'Static', 'id': 2, 'text': 'Connection lost',
                                      'style': 0, 'visible': True}])
            steps = [[window(1, 'Stays')], [window(2, 'Goes'), {'event': 'window_gone', 'hwnd': 2}],
                     [changed], [window(3, 'Held'), {'event': 'hold', 'index': 0, 'hwnd': 3}],
                     [{'event': 'exit', 'code': 0}]]
            released = []

            def write():
                for events in steps:
                    with open(report, 'a') as f:
                        f.write(''.join(json.dumps(e) + '\n' for e in events))
                    if events[-1].get('event') == 'hold':
                        # The rig's on_hold: the action waits for the picture.
                        shots.wait(3, 5)
                        released.append(any(s.window['hwnd'] == 3 for s in shots.shots))
                    time.sleep(0.8)
            writer = threading.Thread(target=write)
            writer.start()
            shots.watch(Context('C:\\case'), 20)
            writer.join()

            got = [(s.window['caption'], s.changed, s.note,
                    s.path.read_text() if s.path else None) for s in shots.shots]
            self.assertEqual(got, [
                ('Stays', False, '', 'Stays OK'),
                ('Stays', True, '', 'Stays Connection lost'),
                ('Goes', False, GONE, None),
                ('Held', False, '', 'Held OK'),
            ])
            self.assertEqual([s.path.name for s in shots.shots if s.path],
                             ['01-stays.png', '01-stays-2.png', '03-held.png'])
            self.assertEqual(released, [True])


if __name__ == '__main__':
    unittest.main()
