// A scripted HKEY_LOCAL_MACHINE shared by the unit tests: keys by path, values
// as raw bytes, read with the registry's own rules (too small a buffer fails
// with ERROR_MORE_DATA). Opens, queries and closes go into fakeui::g_actions
// as "open <key>", "query <key> <value>" and "close <key>".
#pragma once

#include "fake_ui.h"

namespace fakereg {

typedef std::vector<BYTE> Bytes;
Bytes Number(DWORD n);                // a REG_DWORD
Bytes Raw(const std::wstring& text);  // the code units, nothing added
Bytes Sz(const std::wstring& text);   // as REG_SZ stores it, with its null
Bytes Plus(Bytes bytes, std::initializer_list<BYTE> more);

struct Value {
    std::string name;
    Bytes bytes;
    Bytes beyond;  // left in the caller's buffer after the data, not counted as read
};

struct Key {
    const char* name;     // as logged
    const wchar_t* path;  // under HKEY_LOCAL_MACHINE
    bool present;
    std::vector<Value> values;
};

extern std::vector<Key> g_keys;  // the keys the code may open
extern DWORD g_querySize;        // buffer size every query should offer

// Opening must ask HKEY_LOCAL_MACHINE with KEY_QUERY_VALUE, and a query for
// no type with g_querySize bytes; anything else is marked in the log line.
LONG WINAPI RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY key);
LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD size);
LONG WINAPI RegCloseKey(HKEY key);

}  // namespace fakereg
