"""Fetch benchmark: the launcher's FetchUrl (x64 twin, under Wine) against a
bare WinINet reference loop and curl, all fetching one large body from a
loopback HTTP server that the Wine prefix uses as its proxy, with and without
a Content-Length. Prints throughput, the ratio to the reference loop and the
peak private memory of each fetching process, and checks the targets.

The URLs name 127.0.0.1 on port 9, where nothing listens: a request that
did not go through the proxy fails on the spot instead of going anywhere.
Every request the server answers must arrive in proxy form.
"""
import argparse
import http.server
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

MIB = 1 << 20
URL_BASE = 'http://127.0.0.1:9/bench/'
JUDGED_MIB = 64  # the smallest body on which the targets are judged


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server
        server.requests.append(self.requestline)
        if not self.path.startswith('http://'):
            server.direct += 1  # not through the proxy: refuse to serve it
            self.send_error(400)
            return
        body = server.body
        self.send_response(200)
        self.send_header('Content-Type', 'application/octet-stream')
        if self.path.endswith('/len'):
            self.send_header('Content-Length', str(len(body)))
        else:
            self.send_header('Connection', 'close')
            self.close_connection = True
        self.end_headers()
        view = memoryview(body)
        step = 4 * MIB
        try:
            for at in range(0, len(body), step):
                self.wfile.write(view[at:at + step])
            self.wfile.flush()
        except OSError:
            self.close_connection = True


def start_server(size):
    httpd = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
    httpd.daemon_threads = True
    httpd.body = bytes(range(256)) * (size // 256) + bytes(size % 256)
    httpd.requests, httpd.direct = [], 0
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    return httpd


class Wine:
    def __init__(self, build, wine):
        self.build = Path(build).resolve()  # Wine wants an absolute WINEPREFIX
        self.wine = wine
        self.env = {k: v for k, v in os.environ.items()
                    if k.lower() not in ('http_proxy', 'https_proxy', 'no_proxy', 'all_proxy')}
        self.env.update(WINEPREFIX=str(self.build / 'prefix-bench'), WINEDEBUG='-all',
                        WINEDLLOVERRIDES='mscoree,mshtml=')

    def run(self, *args, timeout=600):
        return subprocess.run([self.wine, *args], env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=timeout)

    def set_proxy(self, port):
        if not (self.build / 'prefix-bench' / 'system.reg').exists():
            self.run('wineboot', '-i')
        text = ('Windows Registry Editor Version 5.00\r\n\r\n'
                '[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\'
                'Internet Settings]\r\n'
                '"ProxyEnable"=dword:00000001\r\n'
                '"ProxyServer"="127.0.0.1:%d"\r\n'
                '"ProxyOverride"=-\r\n' % port)
        path = self.build / 'bench-proxy.reg'
        path.write_bytes(b'\xff\xfe' + text.encode('utf-16-le'))
        self.run('regedit', '/S', 'Z:' + str(path).replace('/', '\\'))

    def measure(self, *args):
        done = self.run(str(self.build / 'fetch_bench.exe'), *args)
        line = done.stdout.strip().splitlines()[-1] if done.stdout.strip() else ''
        if not line.startswith('{'):
            raise RuntimeError('fetch_bench %s: %r %r' % (args, done.stdout, done.stderr))
        result = json.loads(line)
        # The sampler can miss the last moment; the value at the end counts too.
        result['peak'] = max(result['sampled_peak'], result['reported_peak']) - result['baseline']
        return result


def curl(port, url):
    # /usr/bin/time reports the peak resident size of curl alone (a child
    # forked from this script would carry the body's pages into its figure).
    started = time.monotonic()
    done = subprocess.run(['/usr/bin/time', '-f', '%M', 'curl', '-s', '-o', '/dev/null',
                           '--noproxy', '', '-x', 'http://127.0.0.1:%d' % port,
                           '-w', '%{size_download}', url],
                          capture_output=True, text=True, env={'PATH': os.environ['PATH']})
    seconds = time.monotonic() - started
    return {'mode': 'curl', 'ok': done.returncode == 0, 'bytes': int(done.stdout or 0),
            'seconds': seconds, 'peak': int(done.stderr.split()[-1]) * 1024,
            'peak_is_rss': True}


def median_run(results):
    """The run with the median time, with the median peak of all runs."""
    for r in results:
        if not r['ok']:
            return r
    chosen = dict(sorted(results, key=lambda r: r['seconds'])[len(results) // 2])
    chosen['peak'] = statistics.median(r['peak'] for r in results)
    return chosen


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', required=True, help='the x64 build folder')
    parser.add_argument('--wine', default='/usr/lib/wine/wine64')
    parser.add_argument('--mib', type=int, default=256)
    parser.add_argument('--runs', type=int, default=5)
    args = parser.parse_args()
    size = args.mib * MIB

    server = start_server(size)
    wine = Wine(args.build, args.wine)
    wine.set_proxy(server.server_address[1])
    port = server.server_address[1]

    rows = []
    for kind, path in (('with Content-Length', 'len'), ('without Content-Length', 'nolen')):
        url = URL_BASE + path
        runs = {'reference': [], 'fetch': [], 'curl': []}
        # Interleaved, so that a slow phase of the machine hits all three.
        for _ in range(args.runs):
            runs['reference'].append(wine.measure('reference', url, str(size)))
            runs['fetch'].append(wine.measure('fetch', url))
            runs['curl'].append(curl(port, url))
        rows.append((kind, median_run(runs['reference']), median_run(runs['fetch']),
                     median_run(runs['curl'])))

    ok = server.direct == 0
    print('body %d MiB from a loopback server through the prefix proxy; median of %d runs;'
          ' peak: private bytes above those before the fetch'
          % (args.mib, args.runs))
    print('%-24s %-10s %9s %9s %7s %12s' % ('', 'program', 'seconds', 'MiB/s', 'ratio',
                                             'peak MiB'))
    for kind, ref, fetch, cur in rows:
        for r in (ref, fetch, cur):
            if not r['ok'] or r['bytes'] != size:
                print('%s %s: FAILED (%d bytes)' % (kind, r['mode'], r['bytes']))
                ok = False
            rate = r['bytes'] / MIB / r['seconds'] if r['seconds'] else 0
            ratio = r['seconds'] and ref['seconds'] / r['seconds']
            note = ' (peak RSS)' if r.get('peak_is_rss') else ''
            print('%-24s %-10s %9.2f %9.1f %7.2f %12.1f%s' % (
                kind, r['mode'], r['seconds'], rate, ratio, r['peak'] / MIB, note))
        for r in (ref, fetch):
            print('%-24s %-10s private bytes before %.1f MiB, reported peak at the end %.1f MiB,'
                  ' sampled peak %.1f MiB' % ('', r['mode'], r['baseline'] / MIB,
                                             r['reported_peak'] / MIB, r['sampled_peak'] / MIB))

    (_, ref_len, fetch_len, _), (_, ref_nolen, fetch_nolen, _) = rows
    targets = [
        ('with a length: throughput >= 0.95x reference',
         ref_len['seconds'] / fetch_len['seconds'] >= 0.95),
        ('with a length: peak within 2 MiB of the body',
         abs(fetch_len['peak'] - size) <= 2 * MIB),
        ('without a length: throughput >= 0.8x reference',
         ref_nolen['seconds'] / fetch_nolen['seconds'] >= 0.8),
        ('without a length: peak <= 1.5x body + 2 MiB',
         fetch_nolen['peak'] <= 1.5 * size + 2 * MIB),
    ]
    if args.mib < JUDGED_MIB:
        # Process start-up outweighs the transfer on a small body.
        print('targets: not judged on a body under %d MiB' % JUDGED_MIB)
    else:
        for label, met in targets:
            print('%-50s %s' % (label, 'met' if met else 'NOT MET'))
    if server.direct:
        print('requests that bypassed the proxy: %d' % server.direct)
    server.shutdown()
    return 0 if ok else 1


if __name__ == '__main__':
    sys.exit(main())
