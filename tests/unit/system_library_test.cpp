// Library loading from the system folder only, with the real loader: a copy
// of a system library planted beside this test program under a name of its
// own is never what a load finds, by either way of loading.
#include "base/system_library.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring FolderOf(HMODULE module)
{
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.rfind(L'\\'));
}

std::wstring SystemFolder()
{
    WCHAR path[MAX_PATH];
    return std::wstring(path, GetSystemDirectoryW(path, MAX_PATH));
}

}  // namespace

TEST(SystemLibrary, LoadsFromTheSystemFolderNeverFromBesideTheProgram)
{
    // A library that is in the system folder, and one only beside us.
    std::wstring beside = FolderOf(nullptr) + L"\\rookmini_planted.dll";
    ASSERT_TRUE(CopyFileW((SystemFolder() + L"\\version.dll").c_str(), beside.c_str(), FALSE));
    // The loads name the system folder themselves, before the process's
    // search is restricted as well.
    struct Case {
        const char* label;
        HMODULE (*load)(const WCHAR* name);
    };
    const Case cases[] = {
        {"with the loader's search flags", LoadSystemLibrary},
        {"by the full path, as without them", LoadSystemLibraryByPath},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HMODULE wininet = c.load(L"wininet.dll");
        ASSERT_TRUE(wininet);
        EXPECT_EQ(0, _wcsicmp(SystemFolder().c_str(), FolderOf(wininet).c_str()));
        EXPECT_EQ(nullptr, c.load(L"rookmini_planted.dll"));
    }
    // Once restricted, the process's own search skips our folder too.
    RestrictLibrarySearch();
    EXPECT_EQ(nullptr, LoadLibraryW(L"rookmini_planted.dll"));
    DeleteFileW(beside.c_str());
}
