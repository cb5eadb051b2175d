#!/usr/bin/env python3
"""Inspects the built RookMini.exe and fails on anything that differs from
what the release must be.

It reads the PE file directly (standard library only) and checks:
  - the headers: PE32 for i386 (or PE32+ for amd64 with --arch amd64), the
    Windows GUI subsystem, ASLR (base relocations present, DYNAMIC_BASE, and
    HIGH_ENTROPY_VA on amd64) and NX_COMPAT, no time stamp, and a checksum
    that is the file's true PE checksum;
  - the size: at most SIZE_LIMIT bytes outside the resource section (and
    outside a signature's certificate table, if the file is signed), for the
    release (x86);
  - a signature's certificate table, when there is one: at the end of the
    file, made of Authenticode (PKCS#7) entries;
  - the imports: only libraries that Windows loads from its KnownDLLs
    section, never from the program's folder, so that a DLL planted beside
    the launcher cannot load before its entry runs (and no mingw run-time
    DLLs); every other library is loaded at run time from the system folder;
    and, for the release, only functions on the list of those that Windows
    2000 SP4 exports, so that the program loads there and its gate can speak
    (a newer function is looked up at run time and skipped when missing);
  - every resource: both dialog templates field by field, the background
    bitmap, the icon group and its icons, the version block and the
    application manifest, all in US English (1033), and nothing else.
It prints what it found, the file size, the size of each section and the
size outside the resource section, and exits with 1 on any mismatch, naming
each one.

Usage: check_release.py [--arch x86|amd64] path/to/RookMini.exe
"""

import struct
import sys
import xml.etree.ElementTree as ET

# --------------------------------------------------------------------------
# What the release must hold.

# Libraries on the KnownDLLs list of every supported Windows (Windows 7 on).
KNOWN_DLLS = {"kernel32.dll", "advapi32.dll", "shell32.dll", "shlwapi.dll", "user32.dll",
              "gdi32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll", "comdlg32.dll",
              "imm32.dll", "psapi.dll", "rpcrt4.dll", "setupapi.dll", "ws2_32.dll"}

# The functions the release may import: each one exported by Windows 2000
# SP4 (its kernel32, advapi32, user32, gdi32, shell32 5.0, shlwapi 5.0 and
# msvcrt). A function newer than that is looked up at run time instead.
WINDOWS_2000_IMPORTS = {
    "advapi32.dll": {"AddAccessAllowedAceEx", "CopySid", "EqualSid", "GetSecurityInfo",
                     "GetSidLengthRequired", "GetSidSubAuthority", "GetTokenInformation",
                     "InitializeAcl", "InitializeSecurityDescriptor", "InitializeSid",
                     "OpenProcessToken", "RegCloseKey", "RegOpenKeyExW", "RegQueryValueExW",
                     "SetSecurityDescriptorControl", "SetSecurityDescriptorDacl",
                     "SetSecurityInfo"},
    "gdi32.dll": {"BitBlt", "CreateCompatibleDC", "DeleteDC", "DeleteObject", "GetObjectW",
                  "GetStockObject", "SelectObject", "SetBkMode", "SetTextColor"},
    "kernel32.dll": {"CloseHandle", "CreateDirectoryW", "CreateEventW", "CreateFileW",
                     "CreateMutexW", "CreateThread", "DeleteFileW", "ExitProcess", "FindClose",
                     "FindFirstFileW", "FindNextFileW", "GetCommandLineW", "GetCurrentProcess",
                     "GetCurrentProcessId", "GetFileAttributesW", "GetFileInformationByHandle",
                     "GetLastError", "GetLongPathNameW", "GetModuleFileNameW",
                     "GetModuleHandleW", "GetPrivateProfileStringW", "GetProcAddress",
                     "GetSystemDirectoryW", "GetTempPathW", "GetTickCount", "GetVersionExW",
                     "GetWindowsDirectoryW", "LoadLibraryA", "LoadLibraryExW", "LocalFree",
                     "MoveFileExW", "OutputDebugStringW", "ResetEvent", "SetEndOfFile",
                     "SetEvent", "SetFilePointer", "Sleep", "SystemTimeToFileTime",
                     "VirtualAlloc", "VirtualFree",
                     "WaitForMultipleObjects",
                     "WaitForSingleObject", "WriteFile"},
    "msvcrt.dll": {"_wcsicmp", "_wcsnicmp", "calloc", "free", "malloc", "strchr", "strstr",
                   "wcschr", "wcscmp", "wcscpy", "wcslen", "wcsncmp", "wcsrchr"},
    "shell32.dll": {"SHGetSpecialFolderPathW", "ShellExecuteW"},
    "shlwapi.dll": {"StrStrIW"},
    "user32.dll": {"ClientToScreen", "DestroyIcon", "DialogBoxParamW", "EndDialog",
                   "FindWindowExW", "GetClassLongW", "GetClientRect", "GetCursorPos",
                   "GetDlgItem", "GetSysColorBrush", "GetWindowLongW", "GetWindowRect",
                   "GetWindowTextW", "LoadCursorW", "LoadImageW", "MessageBoxW",
                   "PostMessageW", "PtInRect", "RedrawWindow", "SendMessageW", "SetClassLongW", "SetCursor",
                   "SetWindowLongW", "SetWindowTextW", "wsprintfW", "wvsprintfW"},
}

RT_BITMAP, RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 2, 3, 5, 14, 16, 24
TYPE_NAMES = {RT_BITMAP: "bitmap", RT_ICON: "icon", RT_DIALOG: "dialog",
              RT_GROUP_ICON: "icon group", RT_VERSION: "version",
              RT_MANIFEST: "manifest"}
LANG_EN_US = 1033

# The release's budget: file bytes outside the resources and any signature.
SIZE_LIMIT = 36864

DYNAMIC_BASE, NX_COMPAT, HIGH_ENTROPY_VA = 0x0040, 0x0100, 0x0020
TERMINAL_SERVER_AWARE = 0x8000
RELOCS_STRIPPED = 0x0001  # file header characteristics
DIR_SECURITY, DIR_BASERELOC = 4, 5
WIN_CERT_REVISION_2, WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0200, 0x0002

# Predefined control classes, as dialog templates name them by ordinal.
CLASS_ORDINALS = {0x80: "button", 0x81: "edit", 0x82: "static",
                  0x83: "listbox", 0x84: "scrollbar", 0x85: "combobox"}

DIALOGS = {
    9: {
        "style": 0x80C80AC0, "exstyle": 0x00040000, "helpid": 0,
        "rect": (0, 0, 250, 70), "menu": "", "class": "",
        "caption": "Downloading Corvid App",
        "font": (9, 400, 0, 0, "Segoe UI"),
        "controls": [
            # id, class, text, rect, style
            (2, "button", "Cancel", (99, 49, 50, 14), 0x50010000),
            (0xFFFFFFFF, "static", "Downloading, please wait...", (44, 7, 162, 8), 0x50020001),
            (1001, "msctls_progress32", "", (31, 21, 186, 14), 0x50800000),
        ],
    },
    104: {
        "style": 0x80C808C8, "exstyle": 0, "helpid": 0,
        "rect": (0, 0, 161, 104), "menu": "", "class": "",
        "caption": "Corvid App Error",
        "font": (8, 400, 0, 1, "MS Shell Dlg"),
        "controls": [
            (1, "button", "OK", (51, 83, 50, 14), 0x50010001),
            (0xFFFFFFFF, "static", "The Corvid App encountered an error and has been shut down.",
             (7, 7, 147, 17), 0x50020000),
            (0xFFFFFFFF, "static", "For assistance with this issue, please visit:",
             (7, 54, 147, 12), 0x50020000),
            (1002, "static", "http://www.corvidapp.example/support", (7, 64, 130, 8), 0x50020000),
            (1003, "static", "Error: .NET Configuration Issue: CSC.exe", (7, 30, 147, 17), 0x50020000),
        ],
    },
}

BITMAP_ID, BITMAP_SIZE, BITMAP_BPP = 103, 297, 4
# The darkest colour the background may use, as luma (0..255), so that black
# dialog text stays readable on it.
BITMAP_MIN_LUMA = 200

ICON_GROUP_ID = 101
ICON_IMAGES = [(32, 32), (24, 32), (16, 32), (48, 8), (32, 8), (24, 8), (16, 8),
               (32, 4), (24, 4), (16, 4)]  # (size, bits per pixel)

VERSION_FIXED = {"file": (1, 0, 0, 1), "product": (1, 0, 0, 1),
                 "os": 0x00000004,   # VOS__WINDOWS32
                 "type": 0x00000001,  # VFT_APP
                 "flags": 0}
VERSION_TABLE = "040904E4"
VERSION_STRINGS = {
    "FileVersion": "1, 1, 0, 1",
    "ProductVersion": "1, 1, 0, 1",
    "ProductName": "Corvid App",
    "FileDescription": "Corvid App updater",
    "OriginalFilename": "RookMini.exe",
    "Comments": "Downloads and launches the Corvid App and checks for important updates",
}
VERSION_TRANSLATION = [(0x0409, 1252)]

ARCHES = {
    # machine, optional header magic, manifest processor architecture
    "x86": (0x014C, 0x10B, "X86"),
    "amd64": (0x8664, 0x20B, "amd64"),
}
# Loader flags each architecture's image must carry.
ARCH_DLL_FLAGS = {"x86": DYNAMIC_BASE | NX_COMPAT,
                  "amd64": DYNAMIC_BASE | NX_COMPAT | HIGH_ENTROPY_VA}

MANIFEST_ID = 1


class Inspection:
    """Collects the outcome of each check; a mismatch does not stop the rest."""

    def __init__(self):
        self.failures = []

    def check(self, what, actual, expected):
        if actual == expected:
            print("ok    %s: %r" % (what, actual))
        else:
            self.fail("%s: found %r, expected %r" % (what, actual, expected))

    def ok(self, text):
        print("ok    " + text)

    def fail(self, text):
        print("FAIL  " + text)
        self.failures.append(text)


class Malformed(Exception):
    """The file cannot be read as far as needed; no further check makes sense."""


# --------------------------------------------------------------------------
# PE reading.


def u16(data, off):
    if off + 2 > len(data):
        raise Malformed("read past the end at 0x%x" % off)
    return struct.unpack_from("<H", data, off)[0]


def u32(data, off):
    if off + 4 > len(data):
        raise Malformed("read past the end at 0x%x" % off)
    return struct.unpack_from("<I", data, off)[0]


def i16(data, off):
    if off + 2 > len(data):
        raise Malformed("read past the end at 0x%x" % off)
    return struct.unpack_from("<h", data, off)[0]


class PE:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise Malformed("no MZ header")
        pe = u32(data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise Malformed("no PE signature")
        coff = self.coff_at = pe + 4
        self.machine = u16(data, coff)
        nsections = u16(data, coff + 2)
        self.timestamp = u32(data, coff + 4)
        opt_size = u16(data, coff + 16)
        self.characteristics = u16(data, coff + 18)
        opt = coff + 20
        self.magic = u16(data, opt)
        self.checksum_at = opt + 64
        self.checksum = u32(data, self.checksum_at)
        self.subsystem = u16(data, opt + 68)
        self.dll_characteristics_at = opt + 70
        self.dll_characteristics = u16(data, opt + 70)
        if self.magic == 0x10B:
            dirs, ndirs = opt + 96, u32(data, opt + 92)
        elif self.magic == 0x20B:
            dirs, ndirs = opt + 112, u32(data, opt + 108)
        else:
            raise Malformed("unknown optional header magic 0x%x" % self.magic)
        self.dirs_at = dirs
        self.dirs = [(u32(data, dirs + 8 * k), u32(data, dirs + 8 * k + 4))
                     for k in range(min(ndirs, 16))]
        self.sections = []
        sec = opt + opt_size
        for k in range(nsections):
            s = sec + 40 * k
            name = data[s:s + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((name, va, max(vsize, rawsize), rawsize, rawptr))

    def true_checksum(self):
        """The PE checksum of the file as it is: 16-bit words summed with
        end-around carry, the checksum field itself counted as zero, plus the
        file length."""
        data = self.data
        body = data[:self.checksum_at] + b"\0\0\0\0" + data[self.checksum_at + 4:]
        if len(body) % 2:
            body += b"\0"
        total = sum(struct.unpack("<%dH" % (len(body) // 2), body))
        while total > 0xFFFF:
            total = (total & 0xFFFF) + (total >> 16)
        return total + len(data)

    def certificates(self):
        """The certificate table's entries as (revision, type, length), and
        its size; the table's directory entry holds a file offset, not an RVA."""
        offset, size = self.directory(DIR_SECURITY)
        if not offset:
            return [], 0
        if offset % 8 or offset + size != len(self.data):
            raise Malformed("certificate table at 0x%x (%d bytes) is not 8-byte aligned at "
                            "the end of the file (%d bytes)" % (offset, size, len(self.data)))
        entries, at = [], offset
        while at < offset + size:
            length, revision, ctype = struct.unpack_from("<IHH", self.data, at)
            if length < 8 or at + length > offset + size:
                raise Malformed("certificate entry at 0x%x has length %d" % (at, length))
            entries.append((revision, ctype, length))
            at += (length + 7) & ~7
        return entries, size

    def directory_at(self, index):
        """The file offset of data directory entry `index`."""
        return self.dirs_at + 8 * index

    def directory(self, index):
        return self.dirs[index] if index < len(self.dirs) else (0, 0)

    def section_of(self, rva):
        for sec in self.sections:
            if sec[1] <= rva < sec[1] + sec[2]:
                return sec
        raise Malformed("RVA 0x%x lies in no section" % rva)

    def offset(self, rva):
        name, va, vsize, rawsize, rawptr = self.section_of(rva)
        if rva - va >= rawsize:
            raise Malformed("RVA 0x%x lies beyond the file data of %s" % (rva, name))
        return rawptr + rva - va

    def read(self, rva, size):
        off = self.offset(rva)
        if off + size > len(self.data):
            raise Malformed("%d bytes at RVA 0x%x run past the end" % (size, rva))
        return self.data[off:off + size]

    def cstring(self, rva):
        off = self.offset(rva)
        end = self.data.find(b"\0", off)
        if end < 0:
            raise Malformed("unterminated name at RVA 0x%x" % rva)
        return self.data[off:end].decode("ascii", "replace")

    def imported_functions(self):
        """Answers [(dll, function)] of the import table; a function imported
        by ordinal is '#<ordinal>'."""
        found = []
        rva, size = self.directory(1)
        width, ordinal_flag = (4, 1 << 31) if self.magic == 0x10B else (8, 1 << 63)
        k = 0
        while rva:
            desc = self.read(rva + 20 * k, 20)
            if desc == b"\0" * 20:
                break
            lookup, _, _, name, thunks = struct.unpack("<IIIII", desc)
            dll = self.cstring(name)
            at = lookup or thunks
            while True:
                entry = int.from_bytes(self.read(at, width), "little")
                if not entry:
                    break
                found.append((dll, "#%d" % (entry & 0xFFFF) if entry & ordinal_flag
                              else self.cstring((entry & 0x7FFFFFFF) + 2)))
                at += width
            k += 1
        return found

    def imported_dlls(self):
        dlls = []
        rva, size = self.directory(1)
        if rva:
            k = 0
            while True:
                desc = self.read(rva + 20 * k, 20)
                if desc == b"\0" * 20:
                    break
                dlls.append(self.cstring(struct.unpack_from("<I", desc, 12)[0]))
                k += 1
        rva, size = self.directory(13)  # delay-load imports
        if rva:
            k = 0
            while True:
                desc = self.read(rva + 32 * k, 32)
                if desc == b"\0" * 32:
                    break
                dlls.append(self.cstring(struct.unpack_from("<I", desc, 4)[0]))
                k += 1
        return dlls

    def resources(self):
        """Answers {(type, name, language): bytes}; names and types that are
        strings come back as str, ordinals as int."""
        root, size = self.directory(2)
        if not root:
            return {}
        out = {}

        def entries(rva):
            named, ids = struct.unpack_from("<HH", self.read(rva + 12, 4))
            for k in range(named + ids):
                name, target = struct.unpack_from("<II", self.read(rva + 16 + 8 * k, 8))
                if name & 0x80000000:
                    at = root + (name & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.read(at, 2))[0]
                    name = self.read(at + 2, 2 * length).decode("utf-16-le")
                yield name, target

        for rtype, t in entries(root):
            if not t & 0x80000000:
                raise Malformed("resource type %r is not a directory" % (rtype,))
            for rname, n in entries(root + (t & 0x7FFFFFFF)):
                if not n & 0x80000000:
                    raise Malformed("resource name %r is not a directory" % (rname,))
                for lang, leaf in entries(root + (n & 0x7FFFFFFF)):
                    if leaf & 0x80000000:
                        raise Malformed("resource %r/%r has a fourth level" % (rtype, rname))
                    data_rva, data_size = struct.unpack_from("<II", self.read(root + leaf, 8))
                    out[(rtype, rname, lang)] = self.read(data_rva, data_size)
        return out


# --------------------------------------------------------------------------
# Resource decoding.


def wstring(data, off):
    """A null-terminated UTF-16 string: (text, offset after the null)."""
    end = off
    while True:
        if end + 2 > len(data):
            raise Malformed("unterminated string at 0x%x" % off)
        if data[end:end + 2] == b"\0\0":
            break
        end += 2
    return data[off:end].decode("utf-16-le"), end + 2


def sz_or_ord(data, off):
    """A dialog template field that is empty, an ordinal or a string."""
    first = u16(data, off)
    if first == 0:
        return "", off + 2
    if first == 0xFFFF:
        return u16(data, off + 2), off + 4
    return wstring(data, off)


def align4(off):
    return (off + 3) & ~3


def decode_dialog(data):
    """Decodes an extended dialog template (DLGTEMPLATEEX) into a dict."""
    d = {}
    d["version"], d["signature"] = u16(data, 0), u16(data, 2)
    if (d["version"], d["signature"]) != (1, 0xFFFF):
        raise Malformed("not an extended dialog template")
    d["helpid"], d["exstyle"], d["style"] = struct.unpack_from("<III", data, 4)
    count = u16(data, 16)
    d["rect"] = tuple(i16(data, 18 + 2 * k) for k in range(4))
    off = 26
    d["menu"], off = sz_or_ord(data, off)
    d["class"], off = sz_or_ord(data, off)
    d["caption"], off = wstring(data, off)
    d["font"] = None
    if d["style"] & 0x40:  # DS_SETFONT (DS_SHELLFONT includes it)
        point, weight = u16(data, off), u16(data, off + 2)
        italic, charset = data[off + 4], data[off + 5]
        face, off = wstring(data, off + 6)
        d["font"] = (point, weight, italic, charset, face)
    d["controls"] = []
    for _ in range(count):
        off = align4(off)
        helpid, exstyle, style = struct.unpack_from("<III", data, off)
        rect = tuple(i16(data, off + 12 + 2 * k) for k in range(4))
        cid = u32(data, off + 20)
        cls, off = sz_or_ord(data, off + 24)
        text, off = sz_or_ord(data, off)
        extra = u16(data, off)
        off += 2 + extra
        d["controls"].append({"helpid": helpid, "exstyle": exstyle, "style": style,
                              "rect": rect, "id": cid, "class": cls, "text": text,
                              "extra": extra})
    return d


def class_name(cls):
    if isinstance(cls, int):
        return CLASS_ORDINALS.get(cls, "#%d" % cls)
    return cls


def check_dialog(ins, rid, data):
    want = DIALOGS[rid]
    d = decode_dialog(data)
    label = "dialog %d" % rid
    ins.check(label + " style", hex(d["style"]), hex(want["style"]))
    ins.check(label + " extended style", hex(d["exstyle"]), hex(want["exstyle"]))
    ins.check(label + " help id", d["helpid"], want["helpid"])
    ins.check(label + " position and size", d["rect"], want["rect"])
    ins.check(label + " menu", d["menu"], want["menu"])
    ins.check(label + " class", d["class"], want["class"])
    ins.check(label + " caption", d["caption"], want["caption"])
    ins.check(label + " font (points, weight, italic, charset, face)", d["font"], want["font"])
    ins.check(label + " control count", len(d["controls"]), len(want["controls"]))
    for k, (cid, cls, text, rect, style) in enumerate(want["controls"]):
        if k >= len(d["controls"]):
            break
        c = d["controls"][k]
        at = "%s control %d" % (label, k + 1)
        ins.check(at + " id", hex(c["id"]), hex(cid))
        # Windows matches class names without regard to case; the resource
        # compiler writes them in capitals.
        ins.check(at + " class", class_name(c["class"]).lower(), cls)
        ins.check(at + " text", c["text"], text)
        ins.check(at + " rectangle", c["rect"], rect)
        ins.check(at + " style", hex(c["style"]), hex(style))
        ins.check(at + " extended style, help id, creation data",
                  (c["exstyle"], c["helpid"], c["extra"]), (0, 0, 0))


def dib_palette_size(bpp, colours_used):
    if bpp > 8:
        return 0
    return colours_used if colours_used else 1 << bpp


def dib_row_bytes(width, bpp):
    return ((width * bpp + 31) // 32) * 4


def check_bitmap(ins, data):
    (size, width, height, planes, bpp, compression, _, _, _, used, _) = \
        struct.unpack_from("<IiiHHIIiiII", data, 0)
    ins.check("bitmap %d header size" % BITMAP_ID, size, 40)
    ins.check("bitmap %d size" % BITMAP_ID, (width, abs(height)), (BITMAP_SIZE, BITMAP_SIZE))
    ins.check("bitmap %d planes, bits per pixel, compression" % BITMAP_ID,
              (planes, bpp, compression), (1, BITMAP_BPP, 0))
    colours = dib_palette_size(bpp, used)
    expected_len = 40 + 4 * colours + dib_row_bytes(width, bpp) * abs(height)
    ins.check("bitmap %d data length" % BITMAP_ID, len(data), expected_len)
    if bpp != 4 or len(data) != expected_len:
        return
    palette = [struct.unpack_from("<BBBx", data, 40 + 4 * k) for k in range(colours)]
    bits = data[40 + 4 * colours:]
    row_bytes = dib_row_bytes(width, bpp)
    in_use = set()
    for y in range(abs(height)):
        row = bits[y * row_bytes:y * row_bytes + (width + 1) // 2]
        for x in range(width):
            byte = row[x // 2]
            in_use.add(byte >> 4 if x % 2 == 0 else byte & 15)
    if max(in_use) >= colours:
        ins.fail("bitmap %d uses colour index %d of a %d-colour palette"
                 % (BITMAP_ID, max(in_use), colours))
        return
    luma = min(0.299 * palette[k][2] + 0.587 * palette[k][1] + 0.114 * palette[k][0]
               for k in in_use)
    if luma >= BITMAP_MIN_LUMA:
        ins.ok("bitmap %d darkest colour in use has luma %.0f (at least %d)"
               % (BITMAP_ID, luma, BITMAP_MIN_LUMA))
    else:
        ins.fail("bitmap %d darkest colour in use has luma %.0f, below %d: too dark "
                 "behind black text" % (BITMAP_ID, luma, BITMAP_MIN_LUMA))


def check_icons(ins, group, icons):
    reserved, kind, count = struct.unpack_from("<HHH", group, 0)
    ins.check("icon group %d header (reserved, type)" % ICON_GROUP_ID, (reserved, kind), (0, 1))
    found = []
    for k in range(count):
        (w, h, colours, _, planes, bpp, nbytes, iid) = \
            struct.unpack_from("<BBBBHHIH", group, 6 + 14 * k)
        size = w or 256
        found.append((size, bpp))
        label = "icon %d (%d x %d, %d bpp)" % (iid, size, h or 256, bpp)
        if iid not in icons:
            ins.fail(label + ": named by the group but missing")
            continue
        img = icons[iid]
        if len(img) != nbytes:
            ins.fail("%s: the group says %d bytes, the icon has %d" % (label, nbytes, len(img)))
        hsize, iw, ih, iplanes, ibpp = struct.unpack_from("<IiiHH", img, 0)
        if (hsize, iw, ih, iplanes, ibpp) != (40, size, 2 * size, 1, bpp):
            ins.fail("%s: image header says %d x %d/2 at %d bpp (header size %d)"
                     % (label, iw, ih, ibpp, hsize))
            continue
        used = u32(img, 32)
        expected = (40 + 4 * dib_palette_size(bpp, used) + dib_row_bytes(size, bpp) * size
                    + dib_row_bytes(size, 1) * size)
        if len(img) != expected:
            ins.fail("%s: %d bytes, expected %d for colour bits and AND mask"
                     % (label, len(img), expected))
            continue
        ins.ok(label + ": colour bits and AND mask present")
    ins.check("icon group %d images (size, bpp)" % ICON_GROUP_ID, found, ICON_IMAGES)


def parse_version_node(data, off):
    """One node of a version block: (key, value, children, end offset)."""
    length, value_len, vtype = struct.unpack_from("<HHH", data, off)
    if length < 6 or off + length > len(data):
        raise Malformed("bad version node length %d at 0x%x" % (length, off))
    end = off + length
    key, p = wstring(data, off + 6)
    p = align4(p)
    if vtype == 1:
        # Text: read up to its null, whatever the length field counts.
        value = wstring(data[:end], p)[0] if value_len else ""
        p += 2 * value_len
    else:
        value = data[p:p + value_len]
        p += value_len
    children = []
    p = align4(p)
    while p < end:
        child = parse_version_node(data, p)
        children.append(child)
        p = align4(child[3])
    return key, value, children, end


def check_version(ins, data):
    key, fixed, children, _ = parse_version_node(data, 0)
    ins.check("version block key", key, "VS_VERSION_INFO")
    if len(fixed) != 52 or u32(fixed, 0) != 0xFEEF04BD:
        ins.fail("version block has no fixed file information")
        return
    (_, _, fms, fls, pms, pls, mask, flags, fos, ftype, _, _, _) = \
        struct.unpack_from("<13I", fixed)

    def quad(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    ins.check("fixed file version", quad(fms, fls), VERSION_FIXED["file"])
    ins.check("fixed product version", quad(pms, pls), VERSION_FIXED["product"])
    ins.check("file OS", hex(fos), hex(VERSION_FIXED["os"]))
    ins.check("file type", ftype, VERSION_FIXED["type"])
    ins.check("file flags", flags & mask, VERSION_FIXED["flags"])
    blocks = {c[0]: c for c in children}
    ins.check("version blocks", sorted(blocks), ["StringFileInfo", "VarFileInfo"])
    if "StringFileInfo" in blocks:
        tables = blocks["StringFileInfo"][2]
        ins.check("string tables", [t[0] for t in tables], [VERSION_TABLE])
        if tables:
            strings = {s[0]: s[1] for s in tables[0][2]}
            for name, text in VERSION_STRINGS.items():
                ins.check("version string " + name, strings.get(name), text)
            extra = sorted(set(strings) - set(VERSION_STRINGS))
            if extra:
                ins.fail("version strings not expected: %s" % ", ".join(extra))
    if "VarFileInfo" in blocks:
        found = []
        for var in blocks["VarFileInfo"][2]:
            if var[0] == "Translation":
                raw = var[1]
                found += [struct.unpack_from("<HH", raw, k) for k in range(0, len(raw) - 3, 4)]
        ins.check("version translation (language, code page)", found, VERSION_TRANSLATION)


def check_manifest(ins, data, arch_name):
    v1 = "{urn:schemas-microsoft-com:asm.v1}"
    v3 = "{urn:schemas-microsoft-com:asm.v3}"
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        ins.fail("manifest is not well-formed XML: %s" % e)
        return
    ins.check("manifest root", root.tag, v1 + "assembly")
    ident = root.find(v1 + "assemblyIdentity")
    ins.check("manifest identity",
              None if ident is None else dict(ident.attrib),
              {"name": "Corvid.App.NativeServices", "version": "1.0.0.0",
               "processorArchitecture": arch_name, "type": "win32"})
    desc = root.find(v1 + "description")
    ins.check("manifest description", None if desc is None else desc.text, "Meridian")
    levels = [e.attrib.get("level") for e in root.iter()
              if e.tag in (v3 + "requestedExecutionLevel", v1 + "requestedExecutionLevel")]
    ins.check("manifest execution level", levels, ["asInvoker"])
    deps = [dict(e.attrib) for dep in root.findall(v1 + "dependency")
            for e in dep.iter(v1 + "assemblyIdentity")]
    ins.check("manifest dependencies", deps, [{
        "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
        "processorArchitecture": arch_name, "publicKeyToken": "6595b64144ccf1df",
        "language": "*"}])


# --------------------------------------------------------------------------


def inspect(path, arch):
    ins = Inspection()
    machine, magic, manifest_arch = ARCHES[arch]
    with open(path, "rb") as f:
        data = f.read()
    pe = PE(data)
    print("file  %s" % path)
    ins.check("machine", hex(pe.machine), hex(machine))
    ins.check("optional header magic", hex(pe.magic), hex(magic))
    ins.check("subsystem (2 = Windows GUI)", pe.subsystem, 2)
    flags = ARCH_DLL_FLAGS[arch]
    ins.check("ASLR and NX loader flags", hex(pe.dll_characteristics & flags), hex(flags))
    ins.check("Terminal Server aware", bool(pe.dll_characteristics & TERMINAL_SERVER_AWARE), True)
    relocations = pe.directory(DIR_BASERELOC)[1]
    ins.check("base relocations present and not stripped",
              (relocations > 0, bool(pe.characteristics & RELOCS_STRIPPED)), (True, False))
    ins.check("time stamp", pe.timestamp, 0)
    ins.check("checksum", hex(pe.checksum), hex(pe.true_checksum()))
    certificates, signature_bytes = pe.certificates()
    if certificates:
        print("info  signature: %d bytes in %d certificate table entr%s"
              % (signature_bytes, len(certificates), "y" if len(certificates) == 1 else "ies"))
        ins.check("certificate table entries (revision, type)",
                  [(r, t) for r, t, _ in certificates],
                  [(WIN_CERT_REVISION_2, WIN_CERT_TYPE_PKCS_SIGNED_DATA)] * len(certificates))

    dlls = pe.imported_dlls()
    print("info  imports: %s" % ", ".join(dlls))
    foreign = [d for d in dlls if d.lower() not in KNOWN_DLLS]
    if foreign:
        ins.fail("imports from libraries that are not KnownDLLs (a copy beside the program "
                 "would load): %s" % ", ".join(foreign))
    else:
        ins.ok("imports only KnownDLLs")
    if arch == "x86":
        newer = ["%s!%s" % (dll, name) for dll, name in pe.imported_functions()
                 if name not in WINDOWS_2000_IMPORTS.get(dll.lower(), ())]
        if newer:
            ins.fail("imports functions not on the Windows 2000 list (look them up at run "
                     "time): %s" % ", ".join(newer))
        else:
            ins.ok("imports only functions Windows 2000 exports")

    res = pe.resources()
    for (rtype, rname, lang) in sorted(res, key=str):
        print("info  resource %s %r language %d, %d bytes"
              % (TYPE_NAMES.get(rtype, rtype), rname, lang, len(res[(rtype, rname, lang)])))
    by_key = {}
    for (rtype, rname, lang), blob in res.items():
        if lang != LANG_EN_US:
            ins.fail("resource %s %r has language %d, expected %d"
                     % (TYPE_NAMES.get(rtype, rtype), rname, lang, LANG_EN_US))
        if (rtype, rname) in by_key:
            ins.fail("resource %s %r exists in more than one language"
                     % (TYPE_NAMES.get(rtype, rtype), rname))
        by_key[(rtype, rname)] = blob

    expected = {(RT_DIALOG, k) for k in DIALOGS}
    expected |= {(RT_BITMAP, BITMAP_ID), (RT_GROUP_ICON, ICON_GROUP_ID),
                 (RT_VERSION, 1), (RT_MANIFEST, MANIFEST_ID)}
    group = by_key.get((RT_GROUP_ICON, ICON_GROUP_ID))
    if group is not None:
        count = u16(group, 4)
        expected |= {(RT_ICON, u16(group, 6 + 14 * k + 12)) for k in range(count)}
    for key in sorted(expected - set(by_key), key=str):
        ins.fail("resource %s %r is missing" % (TYPE_NAMES[key[0]], key[1]))
    for key in sorted(set(by_key) - expected, key=str):
        ins.fail("resource %s %r is not expected" % (TYPE_NAMES.get(key[0], key[0]), key[1]))

    for rid in DIALOGS:
        if (RT_DIALOG, rid) in by_key:
            check_dialog(ins, rid, by_key[(RT_DIALOG, rid)])
    if (RT_BITMAP, BITMAP_ID) in by_key:
        check_bitmap(ins, by_key[(RT_BITMAP, BITMAP_ID)])
    if group is not None:
        icons = {name: blob for (rtype, name), blob in by_key.items() if rtype == RT_ICON}
        check_icons(ins, group, icons)
    if (RT_VERSION, 1) in by_key:
        check_version(ins, by_key[(RT_VERSION, 1)])
    if (RT_MANIFEST, MANIFEST_ID) in by_key:
        check_manifest(ins, by_key[(RT_MANIFEST, MANIFEST_ID)], manifest_arch)

    headers = min(rawptr for _, _, _, rawsize, rawptr in pe.sections if rawsize)
    print("size  headers          %6d bytes in the file" % headers)
    for name, va, vsize, rawsize, rawptr in pe.sections:
        print("size  section %-8s %6d bytes in the file" % (name, rawsize))
    rsrc_rva = pe.directory(2)[0]
    rsrc_bytes = pe.section_of(rsrc_rva)[3] if rsrc_rva else 0
    outside = len(data) - rsrc_bytes - signature_bytes
    print("size  file %d bytes; resource section %d bytes; signature %d bytes; outside them "
          "%d bytes" % (len(data), rsrc_bytes, signature_bytes, outside))
    if arch == "x86":
        if outside <= SIZE_LIMIT:
            ins.ok("size outside resources %d bytes, at most %d" % (outside, SIZE_LIMIT))
        else:
            ins.fail("size outside resources %d bytes, above %d" % (outside, SIZE_LIMIT))
    return ins.failures


def main(argv):
    arch = "x86"
    args = list(argv[1:])
    if len(args) >= 2 and args[0] == "--arch":
        arch = args[1]
        args = args[2:]
    if len(args) != 1 or arch not in ARCHES:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    try:
        failures = inspect(args[0], arch)
    except (OSError, Malformed, struct.error) as e:
        print("FAIL  cannot read %s: %s" % (args[0], e))
        return 1
    if failures:
        print("%d mismatch(es):" % len(failures))
        for f in failures:
            print("  - " + f)
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
