"""Checks the demo's page in a real browser. A quick demo run (one scenario)
writes the page into a folder of the build tree; headless Chromium opens it
inside a checking page served from a loopback HTTP server, and every picture
on it must have loaded (natural width above 0) and be one that the run took.
A copy of the page with one picture's link spoiled must then be caught, so
that a check that sees nothing cannot pass.

  page_check.py --build <x64 folder> --out <folder> [--wine W] [--scenario hijack]
  page_check.py --page build/demo/index.html       an existing page only
"""
import argparse
import functools
import html
import http.server
import json
import re
import shutil
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

CHROMIUM = '/usr/bin/chromium'
# As root, without the sandbox; no network but the loopback server.
FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync',
         '--no-proxy-server', '--virtual-time-budget=10000', '--dump-dom']
CHECK_PATH = '/page-check.html'
# The top page's load event waits for the frame and every picture in it.
CHECK_PAGE = '''<!DOCTYPE html><html><body>
<iframe id="page" src="%s" width="1000" height="800"></iframe><pre id="result"></pre>
<script>
window.addEventListener('load', function () {
  var doc = document.getElementById('page').contentDocument;
  var pictures = Array.prototype.map.call(doc.images, function (img) {
    return {src: img.getAttribute('src'), complete: img.complete, width: img.naturalWidth};
  });
  document.getElementById('result').textContent =
    JSON.stringify({title: doc.title, pictures: pictures});
});
</script></body></html>'''


class Failed(Exception):
    pass


def open_in_chromium(page):
    """What Chromium saw of the page's pictures: {title, pictures: [{src,
    complete, width}]}."""
    page = Path(page).resolve()
    check = (CHECK_PAGE % page.name).encode('utf-8')

    class Handler(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            if self.path != CHECK_PATH:
                return super().do_GET()
            self.send_response(200)
            self.send_header('Content-Type', 'text/html; charset=utf-8')
            self.send_header('Content-Length', str(len(check)))
            self.end_headers()
            self.wfile.write(check)

    server = http.server.ThreadingHTTPServer(
        ('127.0.0.1', 0), functools.partial(Handler, directory=str(page.parent)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    profile = tempfile.mkdtemp(prefix='page-check-')
    try:
        done = subprocess.run(
            [CHROMIUM, *FLAGS, '--user-data-dir=' + profile,
             'http://127.0.0.1:%d%s' % (server.server_address[1], CHECK_PATH)],
            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    finally:
        server.shutdown()
        shutil.rmtree(profile, ignore_errors=True)
    found = re.search(r'<pre id="result">(.*?)</pre>', done.stdout, re.S)
    if not found or not found.group(1).strip():
        raise Failed('Chromium gave no result (exit %d): %s' % (
            done.returncode, done.stderr.strip().splitlines()[-3:]))
    return json.loads(html.unescape(found.group(1)))


def not_loaded(seen):
    return [p['src'] for p in seen['pictures'] if not p['complete'] or p['width'] <= 0]


def check_page(page, expected=None):
    """Every picture on the page loaded in Chromium; expected: the pictures'
    links the page must hold, in order. Answers how many there were."""
    seen = open_in_chromium(page)
    sources = [p['src'] for p in seen['pictures']]
    if not sources:
        raise Failed('no picture on the page %s' % page)
    if expected is not None and sources != expected:
        raise Failed('the page links %s, the run took %s' % (sources, expected))
    missing = not_loaded(seen)
    if missing:
        raise Failed('pictures that did not load: %s' % missing)
    return len(sources)


def check_spoiled(page):
    """A copy of the page whose first picture's link leads nowhere: Chromium
    must show that picture, and only it, as not loaded."""
    text = Path(page).read_text(encoding='utf-8')
    first = re.search(r'<img src="([^"]+)"', text)
    spoiled = Path(page).with_name('spoiled.html')
    spoiled.write_text(text.replace(first.group(0), '<img src="missing/%s"' % first.group(1), 1),
                       encoding='utf-8')
    try:
        missing = not_loaded(open_in_chromium(spoiled))
    finally:
        spoiled.unlink()
    if missing != ['missing/' + html.unescape(first.group(1))]:
        raise Failed('a picture whose link leads nowhere was not caught: %s' % missing)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', help='the x64 build folder')
    parser.add_argument('--out', help='where the quick run writes its page')
    parser.add_argument('--wine')
    parser.add_argument('--scenario', default='hijack')
    parser.add_argument('--page', help='check this page only, without a run')
    args = parser.parse_args()
    if not Path(CHROMIUM).exists():
        print('page check: FAILED: %s is missing (scripts/setup installs chromium)' % CHROMIUM)
        return 1
    try:
        if args.page:
            print('page check: %d pictures loaded' % check_page(args.page))
            return 0
        import demo
        import rig
        out = Path(args.out)
        shutil.rmtree(out, ignore_errors=True)
        try:
            runs, launcher = demo.run_demo(args.build, [args.scenario], out, own_display=False,
                                           page=True, wine=args.wine, quiet=True)
        except rig.Unavailable as e:
            raise Failed('cannot run the demo: %s' % e)
        run = runs[0]
        if run.problem:
            raise Failed('the %s scenario failed: %s' % (run.name, run.problem))
        page = out / 'index.html'
        expected = [p.relative_to(out).as_posix() for p in (s.path for s in run.shots) if p]
        count = check_page(page, expected)
        check_spoiled(page)
        print('page check: %s, scenario %s: %d pictures, every one loaded in Chromium; a '
              'spoiled link was caught' % (launcher, args.scenario, count))
        return 0
    except (Failed, subprocess.TimeoutExpired) as e:
        print('page check: FAILED: %s' % e)
        return 1


if __name__ == '__main__':
    sys.exit(main())
