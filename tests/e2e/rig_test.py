"""Checks of the rig's own pure helpers: reading the launcher's shell calls
from Wine's trace, pairing them with stand-in records, the proxy URL form,
the answer to a Range request, the route of the n-th request, the proxy's
credential check, the sign-in action's text and the .reg value text. These decide what
every end-to-end case sees, so a fault here would pass or fail cases for the
wrong reason."""
import base64
import unittest

import rig

TRACE = '''0104:trace:exec:ShellExecuteW 
0104:trace:exec:SHELL_execute mask=0x00000400 hwnd=0000000000000000 verb=(null) file=L"C:\\\\a\\\\bin\\\\..\\\\CorvidApp.exe" parm=L"-x \\"y z\\"" dir=L"C:\\\\a\\\\bin\\\\.." show=0x00000001 class=not used
0104:trace:exec:SHELL_execute execute:L"C:\\\\a\\\\CorvidApp.exe",L"",L""
0108:trace:exec:SHELL_execute mask=0x00000400 hwnd=0000000000000000 verb=L"runas" file=L"C:\\\\s\\\\setup.exe" parm=L"" dir=L"C:\\\\s" show=0x00000001 class=not used
0104:trace:exec:SHELL_execute mask=0x00000400 hwnd=0000000000000000 verb=(null) file=L"C:\\\\w\\\\taskkill.exe" parm=L"/f /im A.exe" dir=L"" show=0x00000000 class=not used
0104:trace:exec:SHELL_execute mask=0x00000400 hwnd=0000000000000000 verb=(null) file=L"C:\\\\w\\\\taskkill.exe" parm=L"/f /im B.exe" dir=L"" show=0x00000000 class=not used
0104:trace:exec:SHELL_execute mask=0x00000400 hwnd=0000000000000000 verb=L"open" file=L"http://h.example/p\\x00e9" parm=(null) dir=(null) show=0x00000001 class=not used
'''


def record(name, path, tail='', verb=''):
    return {'name': name, 'path': path, 'tail': tail, 'cwd': '', 'pid': 1, 'verb': verb}


class ShellTrace(unittest.TestCase):
    def test_calls(self):
        calls = rig.parse_shell_trace(TRACE)
        expected = [
            ('default verb, path kept with \\..\\, quotes in the parameters',
             {'verb': None, 'file': 'C:\\a\\bin\\..\\CorvidApp.exe', 'params': '-x "y z"',
              'dir': 'C:\\a\\bin\\..', 'show': 1}),
            ('runas', {'verb': 'runas', 'file': 'C:\\s\\setup.exe', 'params': '',
                       'dir': 'C:\\s', 'show': 1}),
            ('hidden, empty folder', {'verb': None, 'file': 'C:\\w\\taskkill.exe',
                                      'params': '/f /im A.exe', 'dir': '', 'show': 0}),
            ('second of the same file', {'verb': None, 'file': 'C:\\w\\taskkill.exe',
                                         'params': '/f /im B.exe', 'dir': '', 'show': 0}),
            ('URL with a wide escape, null parameters', {'verb': 'open',
                                                         'file': 'http://h.example/p\u00e9',
                                                         'params': None, 'dir': None, 'show': 1}),
        ]
        self.assertEqual(len(calls), len(expected))
        for call, (label, want) in zip(calls, expected):
            with self.subTest(label):
                self.assertEqual(call, want)

    def test_records_paired_and_ordered(self):
        calls = rig.parse_shell_trace(TRACE)
        # Written in the order the stand-ins ran, not the order of the calls.
        starts = [
            record('taskkill.exe', 'C:\\w\\taskkill.exe', '/f /im B.exe'),
            record('browser.exe', 'C:\\rig\\tools\\browser.exe', '"http://h.example/p\u00e9"'),
            record('setup.exe', 'C:\\s\\setup.exe'),
            record('taskkill.exe', 'C:\\w\\taskkill.exe', '/f /im A.exe'),
            record('other.exe', 'C:\\o\\other.exe'),
            record('CorvidApp.exe', 'C:\\A\\CORVIDAPP.EXE', '-x "y z"'),
        ]
        ordered = rig.attach_verbs(starts, calls)
        cases = [
            ('App through \\..\\, other letter case', 'CorvidApp.exe', '-x "y z"', ''),
            ('elevated installer', 'setup.exe', '', 'runas'),
            ('first taskkill by its parameters', 'taskkill.exe', '/f /im A.exe', ''),
            ('second taskkill', 'taskkill.exe', '/f /im B.exe', ''),
            ('browser by URL; "open" is not elevation', 'browser.exe',
             '"http://h.example/p\u00e9"', ''),
            ('not started by the launcher: last', 'other.exe', '', ''),
        ]
        self.assertEqual(len(ordered), len(cases))
        for got, (label, name, tail, verb) in zip(ordered, cases):
            with self.subTest(label):
                self.assertEqual((got['name'], got['tail'], got['verb']), (name, tail, verb))

    def test_redirected_start_paired_with_its_call(self):
        # The 32-bit release names system32; WOW64 starts the syswow64 copy.
        calls = [{'verb': None, 'file': 'C:\\windows\\system32\\taskkill.exe',
                  'params': tail, 'dir': '', 'show': 0} for tail in ('/im B.exe', '/im A.exe')]
        starts = [record('taskkill.exe', 'C:\\windows\\syswow64\\taskkill.exe', tail)
                  for tail in ('/im A.exe', '/im B.exe')]
        self.assertEqual([s['tail'] for s in rig.attach_verbs(starts, calls)],
                         ['/im B.exe', '/im A.exe'])

    def test_mark_seen_by_the_stand_in_is_kept(self):
        starts = [record('x.exe', 'C:\\x.exe', verb='runas')]
        calls = [{'verb': None, 'file': 'C:\\x.exe', 'params': '', 'dir': '', 'show': 1}]
        self.assertEqual(rig.attach_verbs(starts, calls)[0]['verb'], 'runas')


class Texts(unittest.TestCase):
    def test_proxy_urls(self):
        for label, url, want in [
            ('default port removed', 'http://h.example:80/a/b', 'http://h.example/a/b'),
            ('other port kept', 'http://h.example:8080/a', 'http://h.example:8080/a'),
            ('no port', 'http://h.example/a?q=:80', 'http://h.example/a?q=:80'),
            ('https default port', 'https://h.example:443/', 'https://h.example/'),
        ]:
            with self.subTest(label):
                self.assertEqual(rig.normalise_url(url), want)

    def test_range_answers(self):
        for label, range_header, if_range, want in [
            ('resume from the end: 416, not the whole body', 'bytes=10-', None, (416, 0, 0)),
            ('If-Range of another version: the whole body', 'bytes=4-', '"v1"', (200, 0, 10)),
            ('If-Range of this version: the rest', 'bytes=4-', '"v2"', (206, 4, 10)),
        ]:
            with self.subTest(label):
                self.assertEqual(rig.choose_range(10, range_header, if_range, '"v2"'), want)

    def test_range_answers_of_a_route(self):
        # A cache that splices answers the range from its own version.
        for label, honours, want in [
            ('If-Range honoured: another version gets the whole body', True, (200, 0, 10)),
            ('If-Range ignored: the rest of this body', False, (206, 4, 10)),
        ]:
            with self.subTest(label):
                route = rig.Route(body=b'0123456789', ranges=True, if_range=honours,
                                  headers={'ETag': '"v2"'})
                self.assertEqual(route.answer_range('bytes=4-', '"v1"'), want)

    def test_route_of_each_request(self):
        a, b, c = rig.Route(status=200), rig.Route(status=206), rig.Route(status=404)
        for label, entry, number, want in [
            ('one Route answers every request, counting them', a, 3, (a, 3)),
            ('a list: the n-th Route for the n-th request', [a, b, c], 2, (b, 1)),
            ('the last Route repeats, counting its own requests', [a, b, c], 5, (c, 3)),
            ('no route', None, 1, (None, 1)),
            ('an empty list is no route', [], 1, (None, 1)),
        ]:
            with self.subTest(label):
                got = rig.pick_route(entry, number)
                self.assertIs(got[0], want[0])
                self.assertEqual(got[1], want[1])

    def test_proxy_credentials(self):
        def basic(text):
            return 'Basic ' + base64.b64encode(text.encode()).decode()
        auth = ('user', 'se:cret')
        for label, header, admitted in [
            ('the right user and password', basic('user:se:cret'), True),
            ('the scheme in any letter case', basic('user:se:cret').replace('Basic', 'bASIC'), True),
            ('no header', None, False),
            ('a wrong password', basic('user:secret'), False),
            ('another user', basic('User:se:cret'), False),
            ('another scheme', 'Digest ' + basic('user:se:cret')[6:], False),
            ('not base64', 'Basic !!!', False),
        ]:
            with self.subTest(label):
                self.assertEqual(rig.proxy_admits(header, auth), admitted)
        self.assertTrue(rig.proxy_admits(None, None), 'a proxy without sign-in admits all')

    def test_sign_in_action_text(self):
        # The driver splits at the first colon after "sign_in:".
        self.assertEqual(rig.sign_in('user', 'pa:ss').what, 'sign_in:user:pa:ss')
        for label, user, password in [('colon in the user name', 'a:b', 'x'),
                                      ('tab in the password', 'a', 'x\ty')]:
            with self.subTest(label), self.assertRaises(ValueError):
                rig.sign_in(user, password)

    def test_reg_keys_seen_by_a_32_bit_program(self):
        lm = 'HKEY_LOCAL_MACHINE\\'
        for label, key, want in [
            ('HKLM\\SOFTWARE key in Wow6432Node', 'HKLM\\SOFTWARE\\Ironbark\\C',
             lm + 'SOFTWARE\\Wow6432Node\\Ironbark\\C'),
            ('other letter case', 'HKLM\\Software\\Microsoft', lm + 'Software\\Wow6432Node\\Microsoft'),
            ('classes shared', 'HKLM\\SOFTWARE\\Classes\\exefile', lm + 'SOFTWARE\\Classes\\exefile'),
            ('already there', 'HKLM\\SOFTWARE\\WOW6432Node\\A', lm + 'SOFTWARE\\WOW6432Node\\A'),
            ('outside SOFTWARE', 'HKLM\\SYSTEM\\Setup', lm + 'SYSTEM\\Setup'),
            ('HKCU shared', 'HKCU\\Software\\Wine', 'HKEY_CURRENT_USER\\Software\\Wine'),
        ]:
            with self.subTest(label):
                self.assertEqual(rig._reg_root(key, view32=True), want)
        self.assertEqual(rig._reg_root('HKLM\\SOFTWARE\\A'), lm + 'SOFTWARE\\A')

    def test_reg_values(self):
        for label, name, value, want in [
            ('dword', 'Install', 1, '"Install"=dword:00000001'),
            ('negative dword as two\'s complement', 'V', -1, '"V"=dword:ffffffff'),
            ('string with backslash and quote', 'D', 'a\\b"c', '"D"="a\\\\b\\"c"'),
            ('binary', 'B', b'\x01\xff', '"B"=hex:01,ff'),
            ('delete', 'X', None, '"X"=-'),
            ('default value', '', 'v', '@="v"'),
        ]:
            with self.subTest(label):
                self.assertEqual(rig._reg_value(name, value), want)


if __name__ == '__main__':
    unittest.main()
