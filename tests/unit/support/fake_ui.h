// Fakes of the calls that show a message box or hand something to the shell,
// shared by the unit tests. Both write into one ordered action log, so a test
// compares everything the code did, in order, with one list of lines.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace fakeui {

typedef std::vector<std::string> Actions;
extern Actions g_actions;  // the test clears it before each case

// ASCII of a wide text, '?' for anything else; "(null)" for a null pointer.
std::string Narrow(const wchar_t* text);

// A box the code may show, with its exact caption, text and flags, logged as
// "box <name>".
struct Box {
    const char* name;
    const wchar_t* caption;
    const wchar_t* text;
    UINT flags;
};
extern std::vector<Box> g_boxes;
extern std::map<std::string, int> g_answers;  // by box name; others answer IDOK

// A box without an owner that matches an entry logs "box <name>" and gives
// its answer; anything else logs "box unknown: caption | text | flags".
int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT flags);

// Logs "shell <verb> <file>[ <parameters>]", marked when the window or folder
// is not null or the show is not SW_SHOWNORMAL; reports success.
HINSTANCE WINAPI ShellExecuteW(HWND window, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                               LPCWSTR directory, INT show);

}  // namespace fakeui
