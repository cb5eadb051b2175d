// The shared message-box and shell fakes and their action log.
#include "fake_ui.h"

#include <cwchar>

namespace fakeui {

Actions g_actions;
std::vector<Box> g_boxes;
std::map<std::string, int> g_answers;

std::string Narrow(const wchar_t* text)
{
    if (!text)
        return "(null)";
    std::string s;
    for (; *text; ++text)
        s += *text < 128 ? char(*text) : '?';
    return s;
}

int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT flags)
{
    for (const Box& box : g_boxes) {
        if (!owner && wcscmp(box.text, text) == 0 && wcscmp(box.caption, caption) == 0 &&
            box.flags == flags) {
            g_actions.push_back(std::string("box ") + box.name);
            auto answer = g_answers.find(box.name);
            return answer == g_answers.end() ? IDOK : answer->second;
        }
    }
    g_actions.push_back("box unknown: " + Narrow(caption) + " | " + Narrow(text) + " | " +
                        std::to_string(flags));
    return IDOK;
}

HINSTANCE WINAPI ShellExecuteW(HWND window, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                               LPCWSTR directory, INT show)
{
    std::string line = "shell " + Narrow(verb) + " " + Narrow(file);
    if (parameters)
        line += " " + Narrow(parameters);
    if (window || directory || show != SW_SHOWNORMAL)
        line += " with wrong window, folder or show";
    g_actions.push_back(line);
    return reinterpret_cast<HINSTANCE>(42);
}

}  // namespace fakeui
