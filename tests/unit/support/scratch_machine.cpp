// The scratch machine key and its values.
#include "support/scratch_machine.h"

ScratchMachine::ScratchMachine()
    : path_(L"Software\\RookMiniTest\\" + std::to_wstring(GetCurrentProcessId())), root_(nullptr)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &root_, nullptr);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, root_);
}

ScratchMachine::~ScratchMachine()
{
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(root_);
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
}

void ScratchMachine::Bytes(const std::wstring& key, const std::wstring& name, DWORD type,
                           const std::vector<BYTE>& value)
{
    HKEY opened;
    if (RegCreateKeyExW(root_, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened,
                        nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(opened, name.c_str(), 0, type, value.data(), static_cast<DWORD>(value.size()));
    RegCloseKey(opened);
}

void ScratchMachine::Number(const std::wstring& key, const std::wstring& name, DWORD value)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&value);
    Bytes(key, name, REG_DWORD, std::vector<BYTE>(bytes, bytes + sizeof(value)));
}

void ScratchMachine::Text(const std::wstring& key, const std::wstring& name,
                          const std::wstring& value)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(value.c_str());
    Bytes(key, name, REG_SZ,
          std::vector<BYTE>(bytes, bytes + (value.size() + 1) * sizeof(wchar_t)));
}

void ScratchMachine::Key(const std::wstring& key)
{
    HKEY opened;
    if (RegCreateKeyExW(root_, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened,
                        nullptr) == ERROR_SUCCESS)
        RegCloseKey(opened);
}
