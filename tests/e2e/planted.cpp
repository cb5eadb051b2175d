// A DLL planted beside the launcher under the name of a library it loads (or
// that such a library loads): wininet.dll, crypt32.dll and the like. Should
// any process load it, it appends one line to the file named by
// RIG_PLANT_LOG, "<the name it was loaded as>\t<the program's path>", and
// refuses to stay loaded.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    WCHAR log[MAX_PATH], dll[MAX_PATH], program[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"RIG_PLANT_LOG", log, MAX_PATH);
    if (length && length < MAX_PATH && GetModuleFileNameW(self, dll, MAX_PATH) &&
        GetModuleFileNameW(nullptr, program, MAX_PATH)) {
        char line[4 * MAX_PATH];
        int used = WideCharToMultiByte(CP_UTF8, 0, dll, -1, line, MAX_PATH * 2, nullptr, nullptr);
        if (used > 0) {
            line[used - 1] = '\t';
            int more =
                WideCharToMultiByte(CP_UTF8, 0, program, -1, line + used,
                                    static_cast<int>(sizeof(line)) - used - 1, nullptr, nullptr);
            if (more > 0) {
                line[used + more - 1] = '\n';
                HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
                DWORD written = 0;
                if (file != INVALID_HANDLE_VALUE) {
                    WriteFile(file, line, used + more, &written, nullptr);
                    CloseHandle(file);
                }
            }
        }
    }
    return FALSE;
}
