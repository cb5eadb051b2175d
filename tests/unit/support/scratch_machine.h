// While a ScratchMachine lives, HKEY_LOCAL_MACHINE of this test process is an
// empty scratch key under HKEY_CURRENT_USER (RegOverridePredefKey), so a test
// writes the values the launcher reads under their real paths and the
// launcher reads them with the real registry calls.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

// One value under the scratch machine: its key, name, type and bytes.
struct MachineValue {
    const wchar_t* key;
    const wchar_t* name;
    DWORD type;
    std::vector<BYTE> bytes;
};

MachineValue Dword(const wchar_t* key, const wchar_t* name, DWORD number);
MachineValue Text(const wchar_t* key, const wchar_t* name, const std::wstring& text);  // REG_SZ
MachineValue Binary(const wchar_t* key, const wchar_t* name, std::vector<BYTE> bytes);
MachineValue NoValue(const wchar_t* key);  // the key alone

class ScratchMachine {
  public:
    explicit ScratchMachine(const std::vector<MachineValue>& values);
    ~ScratchMachine();
};

// The handle that a key opened now would get. Handles are handed out lowest
// free first, so code that closes every key it opens leaves it unchanged.
HKEY NextKeyHandle();
