// The executable's resources as Windows itself reads them: both dialogs are
// created from their templates by the real dialog manager (which fails if a
// control class does not resolve), every icon image is decoded, and the
// background bitmap is loaded. The byte layout of the resources is checked
// separately by the release inspection; this checks that the system accepts
// them and builds the expected windows from them.
#include "res/resource.h"

#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Child {
    int id;
    const wchar_t* className;
    const wchar_t* text;
};

struct DialogCase {
    const char* label;
    int templateId;
    const wchar_t* caption;
    std::vector<Child> children;  // in template (and so tab) order
};

INT_PTR CALLBACK PlainProc(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

std::wstring ClassOf(HWND w)
{
    wchar_t name[64] = L"";
    GetClassNameW(w, name, 64);
    return name;
}

std::wstring Lower(std::wstring s)
{
    CharLowerW(&s[0]);
    return s;
}

std::wstring TextOf(HWND w)
{
    wchar_t text[128] = L"";
    GetWindowTextW(w, text, 128);
    return text;
}

TEST(Resources, DialogsAreBuiltFromTheirTemplates)
{
    // clang-format off
    const DialogCase cases[] = {
        {"download progress", IDD_DOWNLOAD_PROGRESS, L"Downloading Corvid App",
         {{IDCANCEL, L"Button", L"Cancel"},
          {IDC_STATIC, L"Static", L"Downloading, please wait..."},
          {IDC_DOWNLOAD_PROGRESS, L"msctls_progress32", L""}}},
        {"configuration error", IDD_CONFIG_ERROR, L"Corvid App Error",
         {{IDOK, L"Button", L"OK"},
          {IDC_STATIC, L"Static", L"The Corvid App encountered an error and has been shut down."},
          {IDC_STATIC, L"Static", L"For assistance with this issue, please visit:"},
          {IDC_SUPPORT_LINK, L"Static", L"http://www.corvidapp.example/support"},
          {IDC_ERROR_DETAIL, L"Static", L"Error: .NET Configuration Issue: CSC.exe"}}},
    };
    // clang-format on
    for (const DialogCase& c : cases) {
        SCOPED_TRACE(c.label);
        HWND dialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(c.templateId),
                                         nullptr, PlainProc, 0);
        ASSERT_NE(nullptr, dialog) << "error " << GetLastError();
        EXPECT_EQ(std::wstring(c.caption), TextOf(dialog));

        size_t n = 0;
        for (HWND w = GetWindow(dialog, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT), n++) {
            if (n >= c.children.size())
                break;
            const Child& want = c.children[n];
            SCOPED_TRACE(n + 1);
            EXPECT_EQ(want.id, static_cast<int>(static_cast<short>(GetDlgCtrlID(w))));
            // Class names are matched without regard to case.
            EXPECT_EQ(Lower(want.className), Lower(ClassOf(w)));
            EXPECT_EQ(std::wstring(want.text), TextOf(w));
        }
        EXPECT_EQ(c.children.size(), n);
        DestroyWindow(dialog);
    }
}

TEST(Resources, ProgressBarIsARealProgressControl)
{
    // The bar's class comes from the common controls version 6 that the
    // manifest names: the side-by-side copy is the one loaded (the plain system
    // copy would also resolve the class, so the class alone proves nothing).
    // The download code relies on the bar starting at the range 0 to 100.
    HWND dialog = CreateDialogParamW(
        GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_DOWNLOAD_PROGRESS), nullptr, PlainProc, 0);
    ASSERT_NE(nullptr, dialog);
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(GetModuleHandleW(L"comctl32.dll"), path, MAX_PATH);
    EXPECT_NE(std::wstring::npos, Lower(path).find(L"common-controls_6595b64144ccf1df_6."))
        << "common controls loaded from " << std::string(path, path + lstrlenW(path));
    HWND bar = GetDlgItem(dialog, IDC_DOWNLOAD_PROGRESS);
    ASSERT_NE(nullptr, bar);
    EXPECT_EQ(100, SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
    EXPECT_EQ(0, SendMessageW(bar, PBM_GETRANGE, TRUE, 0));
    SendMessageW(bar, PBM_SETRANGE32, 0, 5000);
    SendMessageW(bar, PBM_SETPOS, 1234, 0);
    EXPECT_EQ(1234, SendMessageW(bar, PBM_GETPOS, 0, 0));
    EXPECT_NE(0, GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    DestroyWindow(dialog);
}

#pragma pack(push, 2)
struct GroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
struct GroupHeader {
    WORD reserved, type, count;
    GroupEntry entries[1];
};
#pragma pack(pop)

TEST(Resources, EveryIconImageDecodes)
{
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC group =
        FindResourceW(self, MAKEINTRESOURCEW(IDI_LAUNCHER), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
    ASSERT_NE(nullptr, group);
    const GroupHeader* header =
        static_cast<const GroupHeader*>(LockResource(LoadResource(self, group)));
    ASSERT_NE(nullptr, header);
    ASSERT_EQ(10, header->count);
    for (int k = 0; k < header->count; k++) {
        const GroupEntry& e = header->entries[k];
        SCOPED_TRACE(std::to_string(e.width) + " px, " + std::to_string(e.bitCount) + " bpp");
        HRSRC image = FindResourceW(self, MAKEINTRESOURCEW(e.id), MAKEINTRESOURCEW(3));  // RT_ICON
        ASSERT_NE(nullptr, image);
        BYTE* bits = static_cast<BYTE*>(LockResource(LoadResource(self, image)));
        HICON icon = CreateIconFromResourceEx(bits, SizeofResource(self, image), TRUE, 0x00030000,
                                              e.width, e.height, LR_DEFAULTCOLOR);
        ASSERT_NE(nullptr, icon);
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP mask = {};
        GetObjectW(info.hbmMask, sizeof mask, &mask);
        EXPECT_EQ(e.width, mask.bmWidth);
        if (info.hbmColor)
            DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
}

TEST(Resources, IconAndBackgroundLoadAtTheSizesTheDialogAsksFor)
{
    HINSTANCE self = GetModuleHandleW(nullptr);
    for (int size : {16, 32}) {
        SCOPED_TRACE(size);
        HICON icon = static_cast<HICON>(LoadImageW(self, MAKEINTRESOURCEW(IDI_LAUNCHER), IMAGE_ICON,
                                                   size, size, LR_DEFAULTCOLOR));
        ASSERT_NE(nullptr, icon);
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP colour = {};
        ASSERT_NE(nullptr, info.hbmColor);
        GetObjectW(info.hbmColor, sizeof colour, &colour);
        EXPECT_EQ(size, colour.bmWidth);
        EXPECT_EQ(size, colour.bmHeight);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
    HBITMAP background = static_cast<HBITMAP>(LoadImageW(
        self, MAKEINTRESOURCEW(IDB_DIALOG_BACKGROUND), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
    ASSERT_NE(nullptr, background);
    BITMAP bm = {};
    ASSERT_NE(0, GetObjectW(background, sizeof bm, &bm));
    EXPECT_EQ(297, bm.bmWidth);
    EXPECT_EQ(297, bm.bmHeight);
    DeleteObject(background);
}

}  // namespace
