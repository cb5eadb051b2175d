"""Test-time certificates and Authenticode signing for the installer cases.

Everything is made while the tests run, into a folder of the build tree, and
is never committed: a throwaway certificate authority, code-signing
certificates issued by it for the launcher's built-in publisher, for a
stranger and for a company of the maker's name in another country (kept
there while they stay valid for two more days and still have these
subjects), and copies of a program signed with them (openssl and
osslsigncode from Debian). make_samples() answers the set of installers
that the cases serve: the maker's, an unsigned one, a stranger's, one
changed after signing and the namesake's from elsewhere.
padded_installer() answers a maker-signed copy padded to a given size, for
downloads of installer size; it is kept too, and made again only when the
program, the size or the certificates change.

Run as a program (python3 tests/e2e/signing.py --check <x64 build folder>)
it makes the samples and has the real verification judge them under Wine
through the installer_trust_test program; with --make FOLDER PROGRAM it only
makes them (CTest does, before that test runs).
"""
import argparse
import array
import dataclasses
import hashlib
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

# The maker as the launcher expects it in the signer's subject, field by
# field in the order openssl's -subj gives them.
MAKER_SUBJECT = (('C', 'NZ'), ('ST', 'Canterbury'), ('L', 'Christchurch'),
                 ('O', 'Corvid Software'), ('CN', 'Corvid Software'))
# The maker's O and CN in another country: another company of the same name.
ELSEWHERE_SUBJECT = (('C', 'AU'),) + MAKER_SUBJECT[1:]
STRANGER_SUBJECT = (('O', 'Mallory Tools'), ('CN', 'Mallory Tools'))
CA_SUBJECT = (('O', 'RookMini Test Authority'), ('CN', 'RookMini Test Root'))
SIGNERS = {'maker': MAKER_SUBJECT, 'stranger': STRANGER_SUBJECT, 'elsewhere': ELSEWHERE_SUBJECT}

DAYS = 7  # long enough for a test run, useless afterwards
# Certificates are reused while they stay valid this much longer (seconds),
# so that a signed file kept from an earlier run still verifies in this one.
REUSE_MARGIN = 2 * 86400

SAMPLE_NAMES = ['maker', 'unsigned', 'stranger', 'tampered', 'elsewhere']


@dataclasses.dataclass
class Signer:
    key: Path    # private key, PEM, unencrypted
    cert: Path   # the certificate, PEM
    chain: Path  # the certificate followed by its issuer's, PEM: what the signature carries


def _run(*args):
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError('%s failed (%d): %s' % (args[0], result.returncode,
                                                   result.stderr.strip()))
    return result.stdout


def subject_text(fields):
    """The -subj form of a subject ((field, text), ...): /C=NZ/.../CN=Name,
    as `openssl x509 -subject -nameopt compat` also prints it."""
    for _, text in fields:
        if '/' in text or '\\' in text or '=' in text:
            raise ValueError('subject text must not hold / \\ or =: %r' % text)
    return ''.join('/%s=%s' % field for field in fields)


def _extensions(folder, name, lines):
    path = folder / (name + '.ext')
    path.write_text('\n'.join(lines) + '\n')
    return path


def make_authority(folder):
    """A self-signed certificate authority for the tests only."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    key, cert = folder / 'ca.key', folder / 'ca.pem'
    _run('openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-sha256',
         '-keyout', key, '-out', cert, '-days', DAYS, '-subj', subject_text(CA_SUBJECT),
         '-addext', 'basicConstraints=critical,CA:TRUE',
         '-addext', 'keyUsage=critical,keyCertSign,cRLSign')
    return Signer(key, cert, cert)


def make_code_signer(folder, authority, name, subject):
    """A code-signing certificate issued by `authority` for the subject,
    ((field, text), ...)."""
    folder = Path(folder)
    key, csr, cert, chain = (folder / (name + suffix)
                             for suffix in ('.key', '.csr', '.pem', '.chain.pem'))
    _run('openssl', 'req', '-new', '-newkey', 'rsa:2048', '-nodes', '-sha256',
         '-keyout', key, '-out', csr, '-subj', subject_text(subject))
    ext = _extensions(folder, name, ['basicConstraints=critical,CA:FALSE',
                                     'keyUsage=critical,digitalSignature',
                                     'extendedKeyUsage=codeSigning'])
    _run('openssl', 'x509', '-req', '-in', csr, '-CA', authority.cert, '-CAkey', authority.key,
         '-set_serial', '0x' + os.urandom(8).hex(), '-days', DAYS, '-sha256',
         '-extfile', ext, '-out', cert)
    chain.write_bytes(cert.read_bytes() + authority.cert.read_bytes())
    return Signer(key, cert, chain)


def sign(program, signed, signer):
    """Writes an Authenticode-signed (SHA-256) copy of `program` to `signed`."""
    signed = Path(signed)
    if signed.exists():
        signed.unlink()  # osslsigncode will not overwrite
    _run('osslsigncode', 'sign', '-certs', signer.chain, '-key', signer.key,
         '-h', 'sha256', '-n', 'Corvid App installer', '-in', program, '-out', signed)
    return signed


def tamper(signed, changed):
    """Copies a signed program with one byte of its DOS stub changed: a part
    that the signature's digest covers, so the digest no longer matches, while
    the program itself still runs."""
    data = bytearray(Path(signed).read_bytes())
    at = data.find(b'DOS mode')
    if at < 0:
        raise ValueError('%s has no DOS stub text to change' % signed)
    data[at] ^= 0x20  # 'D' -> 'd'
    Path(changed).write_bytes(bytes(data))
    return Path(changed)


def _still_good(cert, subject):
    """Whether a kept certificate has this subject and stays valid for REUSE_MARGIN."""
    if not cert.exists():
        return False
    shown = subprocess.run(['openssl', 'x509', '-noout', '-subject', '-nameopt', 'compat',
                            '-checkend', str(REUSE_MARGIN), '-in', str(cert)],
                           capture_output=True, text=True)
    return shown.returncode == 0 and \
        shown.stdout.splitlines()[0] == 'subject=' + subject_text(subject)


def make_signers(folder):
    """The throwaway authority and the certificates of SIGNERS issued by
    it, in `folder`: made there once and reused while every one has its
    subject and stays valid for REUSE_MARGIN, else all made anew. Answers a
    dict 'authority' and the names of SIGNERS -> Signer."""
    folder = Path(folder)
    kept = {'authority': Signer(folder / 'ca.key', folder / 'ca.pem', folder / 'ca.pem')}
    for name in SIGNERS:
        kept[name] = Signer(*(folder / (name + suffix)
                              for suffix in ('.key', '.pem', '.chain.pem')))
    subjects = dict(SIGNERS, authority=CA_SUBJECT)
    if all(_still_good(k.cert, subjects[name]) and k.key.exists() and k.chain.exists()
           for name, k in kept.items()):
        return kept
    if folder.exists():
        shutil.rmtree(folder)
    made = {'authority': make_authority(folder)}
    for name, subject in SIGNERS.items():
        made[name] = make_code_signer(folder, made['authority'], name, subject)
    return made


def make_samples(folder, program):
    """Signs copies of `program` (a PE file) into `folder`: answers a dict
    from SAMPLE_NAMES to paths, and the authority as 'authority'."""
    folder = Path(folder)
    signers = make_signers(folder / 'keys')
    samples = {'authority': signers['authority'].cert}
    samples['maker'] = sign(program, folder / 'maker.exe', signers['maker'])
    samples['unsigned'] = folder / 'unsigned.exe'
    shutil.copyfile(program, samples['unsigned'])
    samples['stranger'] = sign(program, folder / 'stranger.exe', signers['stranger'])
    samples['tampered'] = tamper(samples['maker'], folder / 'tampered.exe')
    samples['elsewhere'] = sign(program, folder / 'elsewhere.exe', signers['elsewhere'])
    return samples


def _digest(path):
    h = hashlib.sha256()
    with open(path, 'rb') as f:
        for block in iter(lambda: f.read(1 << 20), b''):
            h.update(block)
    return h.hexdigest()


def _write_overlay(out, start, end, version):
    """Fills the file from `start` (a multiple of 8) to `end` with 8-byte
    little-endian words that each hold their own file offset, and the
    version in their top 16 bits: no two pieces of the overlay are alike,
    nor two versions, so bytes saved at the wrong place or spliced from
    another version show."""
    step = 1 << 20  # words per piece
    tag = version << 48
    for word in range(start // 8, end // 8, step):
        last = min(word + step, end // 8)
        out.write(array.array('Q', range(tag + word * 8, tag + last * 8, 8)).tobytes())


def padded_installer(program, size, version=0):
    """The host path of a copy of `program` (a stand-in of the launcher's
    architecture) with an overlay after its last section that brings it,
    once signed by the maker with the test authority, to about `size` bytes
    (at most, and within 8). The overlay is added before signing, so the
    signature's digest covers it. Another `version` (0 to 65535) has the
    same size and other bytes: a newer release of the same installer. Kept
    in the build tree beside `program` and remade only when the program,
    the size, the version or the certificates change: one of a few GiB
    takes a while to make."""
    program = Path(program).resolve()
    folder = program.parent / 'signing-e2e'
    maker = make_signers(folder / 'keys')['maker']
    name = 'maker-padded-%d' % size + ('-v%d' % version if version else '')
    signed = folder / (name + '.exe')
    stamp = signed.with_suffix('.json')
    source = {'program': _digest(program), 'signer': _digest(maker.cert), 'size': size,
              'version': version}
    if signed.exists() and stamp.exists():
        kept = json.loads(stamp.read_text())
        if kept.get('source') == source and kept.get('bytes') == signed.stat().st_size:
            return signed

    # The signature block's length does not depend on the file's: learn it
    # from the unpadded program (osslsigncode first pads a file to 8 bytes).
    plain = program.read_bytes()
    start = (len(plain) + 7) // 8 * 8
    probe = sign(program, folder / 'maker-padded-probe.exe', maker)
    block = probe.stat().st_size - start
    probe.unlink()
    end = max(start, (size - block) // 8 * 8)

    unsigned = folder / (name + '.unsigned')
    with open(unsigned, 'wb') as out:
        out.write(plain + bytes(start - len(plain)))
        _write_overlay(out, start, end, version)
    if stamp.exists():
        stamp.unlink()
    try:
        sign(unsigned, signed, maker)
    finally:
        unsigned.unlink()
    stamp.write_text(json.dumps({'source': source, 'bytes': signed.stat().st_size}))
    return signed


_made = {}


def installer_sample(program, name):
    """The bytes of sample `name` signed from `program` (a stand-in of the
    launcher's architecture), made once per test run beside it."""
    program = Path(program).resolve()
    if program not in _made:
        _made[program] = make_samples(program.parent / 'signing-e2e', program)
    return _made[program][name].read_bytes()


def windows_path(path):
    """The path as a Wine program sees it through drive Z:."""
    return 'Z:' + str(Path(path).resolve()).replace('/', '\\')


def check(build, wine):
    """Makes the samples in the build folder and lets the unit test program
    verify them with the real Windows calls under Wine."""
    build = Path(build).resolve()
    samples = make_samples(build / 'signing-check', build / 'standin.exe')
    env = dict(os.environ, WINEPREFIX=str(build / 'prefix-unit'), WINEDEBUG='-all',
               WINEDLLOVERRIDES='mscoree,mshtml=',
               ROOKMINI_SIGNED_SAMPLES=windows_path(samples['maker'].parent))
    return subprocess.run([wine, str(build / 'installer_trust_test.exe'),
                           '--gtest_filter=InstallerTrustOnWindows.*'], env=env).returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--check', metavar='BUILD',
                        help='the x64 build folder with standin.exe and installer_trust_test.exe')
    parser.add_argument('--make', nargs=2, metavar=('FOLDER', 'PROGRAM'),
                        help='only make the samples of PROGRAM in FOLDER')
    parser.add_argument('--wine', default='/usr/lib/wine/wine64')
    args = parser.parse_args()
    if args.make:
        make_samples(*args.make)
        return 0
    if not args.check:
        parser.error('give --check or --make')
    return check(args.check, args.wine)


if __name__ == '__main__':
    sys.exit(main())
