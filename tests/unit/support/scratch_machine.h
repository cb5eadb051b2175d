// A scratch HKEY_LOCAL_MACHINE for the test's own process: while a
// ScratchMachine lives, HKEY_LOCAL_MACHINE is redirected to an empty key
// under HKEY_CURRENT_USER (RegOverridePredefKey), which the test fills with
// the values the code under test reads; it is removed at the end.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class ScratchMachine {
  public:
    ScratchMachine();
    ~ScratchMachine();
    // Writes a value under a key path of HKEY_LOCAL_MACHINE, making the key.
    void Number(const std::wstring& key, const std::wstring& name, DWORD value);
    void Text(const std::wstring& key, const std::wstring& name, const std::wstring& value);
    void Bytes(const std::wstring& key, const std::wstring& name, DWORD type,
               const std::vector<BYTE>& value);
    void Key(const std::wstring& key);  // an empty key

  private:
    std::wstring path_;
    HKEY root_;
};
