// Library loading from the system folder only, on a loader with the search
// flags and on one without them (Windows 7 before its loader update), which
// Wine cannot play for real.
#include "base/system_library.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Loader {
    bool searchFlags = true;  // knows SetDefaultDllDirectories and LOAD_LIBRARY_SEARCH_*
    bool restrictFails = false;
    bool present = true;  // the library is in the system folder
    bool systemFolder = true;
};

Loader l;
std::vector<std::wstring> calls;
DWORD g_error = 0;
HMODULE const kKernel = reinterpret_cast<HMODULE>(0x100);
HMODULE const kLibrary = reinterpret_cast<HMODULE>(0x200);

BOOL WINAPI FakeSetDefault(DWORD flags)
{
    calls.push_back(L"SetDefaultDllDirectories " + std::to_wstring(flags));
    return !l.restrictFails;
}

HMODULE WINAPI FakeModule(LPCWSTR name)
{
    EXPECT_STREQ(L"kernel32.dll", name);
    return kKernel;
}

FARPROC WINAPI FakeProc(HMODULE module, LPCSTR name)
{
    EXPECT_EQ(kKernel, module);
    EXPECT_STREQ("SetDefaultDllDirectories", name);
    return l.searchFlags ? reinterpret_cast<FARPROC>(reinterpret_cast<void*>(FakeSetDefault))
                         : nullptr;
}

BOOL WINAPI FakeSetDirectory(LPCWSTR path)
{
    calls.push_back(L"SetDllDirectoryW '" + std::wstring(path) + L"'");
    return TRUE;
}

HMODULE WINAPI FakeLoad(LPCWSTR name, HANDLE file, DWORD flags)
{
    EXPECT_EQ(nullptr, file);
    calls.push_back(L"LoadLibraryExW " + std::wstring(name) + L" " + std::to_wstring(flags));
    if (flags == LOAD_LIBRARY_SEARCH_SYSTEM32 && !l.searchFlags) {
        g_error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    g_error = ERROR_MOD_NOT_FOUND;
    return l.present ? kLibrary : nullptr;
}

UINT WINAPI FakeSystem(LPWSTR path, UINT size)
{
    EXPECT_EQ(static_cast<UINT>(MAX_PATH), size);
    if (!l.systemFolder)
        return 0;
    wcscpy(path, L"C:\\Windows\\system32");
    return 19;
}

DWORD WINAPI FakeError()
{
    return g_error;
}

const LibrarySearchPlatform kFake = {
    .GetModuleHandleW = FakeModule,
    .GetProcAddress = FakeProc,
    .SetDllDirectoryW = FakeSetDirectory,
    .LoadLibraryExW = FakeLoad,
    .GetSystemDirectoryW = FakeSystem,
    .GetLastError = FakeError,
};

const std::wstring kSearch32 = std::to_wstring(LOAD_LIBRARY_SEARCH_SYSTEM32);
const std::wstring kAltered = std::to_wstring(LOAD_WITH_ALTERED_SEARCH_PATH);

}  // namespace

TEST(SystemLibrary, SearchIsTheSystemFolderWithOrWithoutTheLoadersFlags)
{
    struct Case {
        const char* label;
        Loader loader;
        std::vector<std::wstring> restrictCalls, loadCalls;
        bool loaded;
    };
    auto with = [](void (*edit)(Loader&)) {
        Loader loader;
        edit(loader);
        return loader;
    };
    // clang-format off
    const Case cases[] = {
        {"loader with search flags", Loader(), {L"SetDefaultDllDirectories " + kSearch32},
         {L"LoadLibraryExW wininet.dll " + kSearch32}, true},
        {"with flags, library missing: not looked for elsewhere",
         with([](Loader& x) { x.present = false; }), {L"SetDefaultDllDirectories " + kSearch32},
         {L"LoadLibraryExW wininet.dll " + kSearch32}, false},
        {"restriction refused: the current folder leaves the search",
         with([](Loader& x) { x.restrictFails = true; }),
         {L"SetDefaultDllDirectories " + kSearch32, L"SetDllDirectoryW ''"},
         {L"LoadLibraryExW wininet.dll " + kSearch32}, true},
        {"loader without search flags: full path, imports searched from there",
         with([](Loader& x) { x.searchFlags = false; }), {L"SetDllDirectoryW ''"},
         {L"LoadLibraryExW wininet.dll " + kSearch32,
          L"LoadLibraryExW C:\\Windows\\system32\\wininet.dll " + kAltered},
         true},
        {"without flags or a system folder: nothing loaded",
         with([](Loader& x) { x.searchFlags = false; x.systemFolder = false; }),
         {L"SetDllDirectoryW ''"}, {L"LoadLibraryExW wininet.dll " + kSearch32}, false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        l = c.loader;
        calls.clear();
        RestrictLibrarySearchOn(kFake);
        EXPECT_EQ(c.restrictCalls, calls);
        calls.clear();
        EXPECT_EQ(c.loaded ? kLibrary : nullptr, LoadSystemLibraryOn(kFake, L"wininet.dll"));
        EXPECT_EQ(c.loadCalls, calls);
    }
}
