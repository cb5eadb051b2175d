#!/usr/bin/env python3
"""The release inspection's header, size and signature checks catch what they
are there for: each case spoils one thing in a copy of the built release
(with a correct checksum, unless the checksum is the fault) and expects the
inspection to name it.

Usage: check_release_test.py path/to/RookMini.exe WORK_FOLDER
"""
import contextlib
import io
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import check_release as cr  # noqa: E402


def setter(fmt, offset, value):
    return lambda data, pe: struct.pack_into(fmt, data, offset(pe), value(pe))


DLL_FLAGS = (lambda pe: pe.dll_characteristics_at)
CASES = [
    # label, change, what the inspection must name
    ('time stamp written', setter('<I', lambda pe: pe.coff_at + 4, lambda pe: 0x5F000000),
     'time stamp'),
    ('checksum stale', setter('<I', lambda pe: pe.checksum_at, lambda pe: pe.checksum ^ 1),
     'checksum'),
    ('NX_COMPAT cleared',
     setter('<H', DLL_FLAGS, lambda pe: pe.dll_characteristics & ~cr.NX_COMPAT), 'ASLR and NX'),
    ('DYNAMIC_BASE cleared',
     setter('<H', DLL_FLAGS, lambda pe: pe.dll_characteristics & ~cr.DYNAMIC_BASE),
     'ASLR and NX'),
    ('not Terminal Server aware',
     setter('<H', DLL_FLAGS, lambda pe: pe.dll_characteristics & ~cr.TERMINAL_SERVER_AWARE),
     'Terminal Server aware'),
    ('relocations marked stripped', setter('<H', lambda pe: pe.coff_at + 18,
                                           lambda pe: pe.characteristics | cr.RELOCS_STRIPPED),
     'base relocations'),
    ('certificate table not at the end',
     lambda data, pe: struct.pack_into('<II', data, pe.directory_at(cr.DIR_SECURITY),
                                       len(data) - 512, 8), 'certificate table'),
    ('over the size budget', lambda data, pe: data.extend(bytes(cr.SIZE_LIMIT)),
     'size outside resources'),
    ('a function Windows 2000 lacks imported', lambda data, pe: rename_import(data, pe),
     'Windows 2000'),
]


def rename_import(data, pe):
    """Renames one imported function to a name of the same length that no
    Windows 2000 library exports (GetTickCount to GetTickCountX)."""
    at = bytes(data).find(b'GetTickCount\0')
    data[at + len('GetTickCount') - 1:at + len('GetTickCount')] = b'X'



def main(argv):
    release, work = Path(argv[1]), Path(argv[2])
    work.mkdir(parents=True, exist_ok=True)
    original = release.read_bytes()
    missed = []
    for label, change, named in CASES:
        data = bytearray(original)
        pe = cr.PE(bytes(data))
        change(data, pe)
        if named != 'checksum':
            struct.pack_into('<I', data, pe.checksum_at, cr.PE(bytes(data)).true_checksum())
        path = work / 'spoiled.exe'
        path.write_bytes(bytes(data))
        with contextlib.redirect_stdout(io.StringIO()):
            try:
                failures = cr.inspect(str(path), 'x86')
            except cr.Malformed as e:
                failures = [str(e)]
        if any(named in f for f in failures):
            print('ok    %s: named (%s)' % (label, '; '.join(failures)))
        else:
            print('FAIL  %s: the inspection did not name "%s": %r' % (label, named, failures))
            missed.append(label)
    return 1 if missed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
