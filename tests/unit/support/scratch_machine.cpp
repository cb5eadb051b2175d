// The scratch machine: a key named after the process under HKEY_CURRENT_USER,
// filled, put in place of HKEY_LOCAL_MACHINE, and removed afterwards.
#include "support/scratch_machine.h"

#include <string>

namespace {

std::wstring ScratchPath()
{
    return L"Software\\RookMiniTests\\Machine" + std::to_wstring(GetCurrentProcessId());
}

}  // namespace

MachineValue Dword(const wchar_t* key, const wchar_t* name, DWORD number)
{
    const BYTE* p = reinterpret_cast<const BYTE*>(&number);
    return {key, name, REG_DWORD, std::vector<BYTE>(p, p + sizeof(number))};
}

MachineValue Text(const wchar_t* key, const wchar_t* name, const std::wstring& text)
{
    const BYTE* p = reinterpret_cast<const BYTE*>(text.c_str());
    return {key, name, REG_SZ, std::vector<BYTE>(p, p + (text.size() + 1) * sizeof(wchar_t))};
}

MachineValue Binary(const wchar_t* key, const wchar_t* name, std::vector<BYTE> bytes)
{
    return {key, name, REG_BINARY, bytes};
}

MachineValue NoValue(const wchar_t* key)
{
    return {key, nullptr, REG_NONE, {}};
}

ScratchMachine::ScratchMachine(const std::vector<MachineValue>& values)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, ScratchPath().c_str());
    HKEY root = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, ScratchPath().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                    nullptr, &root, nullptr);
    for (const MachineValue& v : values) {
        HKEY key = nullptr;
        RegCreateKeyExW(root, v.key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (v.name)
            RegSetValueExW(key, v.name, 0, v.type, v.bytes.data(), DWORD(v.bytes.size()));
        RegCloseKey(key);
    }
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, root);  // keeps a handle of its own
    RegCloseKey(root);
}

ScratchMachine::~ScratchMachine()
{
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegDeleteTreeW(HKEY_CURRENT_USER, ScratchPath().c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\RookMiniTests");  // when no other test uses it
}

HKEY NextKeyHandle()
{
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_QUERY_VALUE, &key);
    RegCloseKey(key);
    return key;
}
