#!/usr/bin/env python3
"""Signs the release with scripts/sign, as a maker would, but with a throwaway
certificate made here by the end-to-end rig's test authority
(tests/e2e/signing.py), and checks the outcome:
  - the signature verifies against that authority, with a SHA-256 digest;
  - signing changed nothing in the program but the checksum and the
    certificate table's directory entry, and only appended the table;
  - the release inspection passes on the signed file.

Usage: sign_test.py path/to/RookMini.exe WORK_FOLDER
"""
import os
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path[:0] = [str(HERE), str(ROOT / 'tests' / 'e2e')]
import check_release  # noqa: E402
import signing  # noqa: E402


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    release, work = Path(argv[1]).resolve(), Path(argv[2]).resolve()
    if work.exists():
        shutil.rmtree(work)
    keys = work / 'keys'
    authority = signing.make_authority(keys)
    maker = signing.make_code_signer(keys, authority, 'maker', signing.MAKER_SUBJECT)
    signed = work / 'RookMini.exe'
    env = {k: v for k, v in os.environ.items() if not k.startswith('ROOKMINI_SIGN_')}
    env.update(ROOKMINI_SIGN_CERT=str(maker.chain), ROOKMINI_SIGN_KEY=str(maker.key))
    subprocess.run([str(ROOT / 'scripts' / 'sign'), str(release), str(signed)], env=env,
                   check=True)

    failures = []

    def fail(text):
        print('FAIL  ' + text)
        failures.append(text)

    verify = subprocess.run(['osslsigncode', 'verify', '-CAfile', str(authority.cert),
                             '-in', str(signed)], capture_output=True, text=True)
    if verify.returncode != 0:
        fail('the signature does not verify against the test authority:\n'
                        + verify.stdout + verify.stderr)
    elif 'Message digest algorithm  : SHA256' not in verify.stdout:
        fail('the signature\'s digest is not SHA-256:\n' + verify.stdout)
    else:
        print('ok    the signature verifies against the test authority, SHA-256 digest')

    before, after = release.read_bytes(), signed.read_bytes()
    pe = check_release.PE(before)
    changed = [k for k in range(len(before)) if before[k] != after[k]]
    allowed = set(range(pe.checksum_at, pe.checksum_at + 4))
    security = pe.directory_at(check_release.DIR_SECURITY)
    allowed |= set(range(security, security + 8))
    if set(changed) - allowed:
        fail('signing changed bytes of the program at %s'
                        % ', '.join(hex(k) for k in sorted(set(changed) - allowed)[:8]))
    else:
        print('ok    signing changed only the checksum and the certificate table entry')

    failures += check_release.inspect(str(signed), 'x86')
    print('%d failure(s)' % len(failures) if failures else 'all checks passed')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
