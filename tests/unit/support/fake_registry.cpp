// The shared scripted registry. A key's handle is its place in g_keys plus
// one, so a handle that was never handed out shows up in the log.
#include "fake_registry.h"

#include <cstring>
#include <cwchar>

namespace fakereg {

std::vector<Key> g_keys;
DWORD g_querySize = 4;

Bytes Number(DWORD n)
{
    Bytes b(4);
    memcpy(b.data(), &n, 4);
    return b;
}

Bytes Raw(const std::wstring& text)
{
    const BYTE* p = reinterpret_cast<const BYTE*>(text.data());
    return Bytes(p, p + text.size() * sizeof(wchar_t));
}

Bytes Sz(const std::wstring& text)
{
    return Raw(text + L'\0');
}

Bytes Plus(Bytes bytes, std::initializer_list<BYTE> more)
{
    bytes.insert(bytes.end(), more);
    return bytes;
}

static Key* KeyOf(HKEY handle)
{
    size_t index = reinterpret_cast<size_t>(handle) - 1;
    return index < g_keys.size() ? &g_keys[index] : nullptr;
}

static std::string NameOf(HKEY handle)
{
    Key* key = KeyOf(handle);
    return key ? key->name : "unknown handle";
}

LONG WINAPI RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY key)
{
    for (size_t i = 0; i < g_keys.size(); ++i) {
        if (wcscmp(g_keys[i].path, subKey) != 0)
            continue;
        std::string line = std::string("open ") + g_keys[i].name;
        if (root != HKEY_LOCAL_MACHINE || options != 0 || access != KEY_QUERY_VALUE)
            line += " with wrong root, options or access";
        fakeui::g_actions.push_back(line);
        if (!g_keys[i].present)
            return ERROR_FILE_NOT_FOUND;
        *key = reinterpret_cast<HKEY>(i + 1);
        return ERROR_SUCCESS;
    }
    fakeui::g_actions.push_back("open unknown key " + fakeui::Narrow(subKey));
    return ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegQueryValueExW(HKEY handle, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                             LPDWORD size)
{
    std::string value = fakeui::Narrow(name);
    std::string line = "query " + NameOf(handle) + " " + value;
    if (type)
        line += " asking for the type";
    if (*size != g_querySize)
        line += " size " + std::to_string(*size);
    fakeui::g_actions.push_back(line);
    Key* key = KeyOf(handle);
    const Value* found = nullptr;
    for (size_t i = 0; key && i < key->values.size(); ++i)
        if (key->values[i].name == value)
            found = &key->values[i];
    if (!found)
        return ERROR_FILE_NOT_FOUND;
    const Bytes& d = found->bytes;
    if (d.size() > *size) {
        *size = DWORD(d.size());
        return ERROR_MORE_DATA;
    }
    memcpy(data, d.data(), d.size());
    size_t room = *size - d.size();
    memcpy(data + d.size(), found->beyond.data(),
           found->beyond.size() < room ? found->beyond.size() : room);
    *size = DWORD(d.size());
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY handle)
{
    fakeui::g_actions.push_back("close " + NameOf(handle));
    return ERROR_SUCCESS;
}

}  // namespace fakereg
