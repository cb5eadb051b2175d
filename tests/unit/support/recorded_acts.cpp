// The recorder behind RecordedActs: one at a time, on any thread.
#include "support/recorded_acts.h"

namespace {

RecordedActs* g_recorder = nullptr;

std::wstring Text(const WCHAR* text)
{
    return text ? text : L"";
}

HINSTANCE WINAPI RecordShell(HWND, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                             LPCWSTR directory, INT show)
{
    ShellStart start = {Text(verb), Text(file), Text(parameters), Text(directory), show};
    g_recorder->starts.push_back(start);
    if (g_recorder->onStart)
        g_recorder->onStart(start);
    return reinterpret_cast<HINSTANCE>(g_recorder->shellResult);
}

int WINAPI RecordQuestion(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style)
{
    g_recorder->questions.push_back({Text(text), Text(caption), style, owner != nullptr});
    auto answer = g_recorder->answers.find(Text(text));
    return answer == g_recorder->answers.end() ? IDOK : answer->second;
}

}  // namespace

RecordedActs::RecordedActs()
{
    g_recorder = this;
    g_shellExecute = RecordShell;
    g_messageBox = RecordQuestion;
}

RecordedActs::~RecordedActs()
{
    g_shellExecute = ::ShellExecuteW;
    g_messageBox = ::MessageBoxW;
    g_recorder = nullptr;
}
