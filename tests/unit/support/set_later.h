// Sets an event after a delay from a thread of its own, as a user's Cancel
// would while the test's thread waits in the code under test; the thread is
// waited for when the SetLater goes.
#pragma once

#include <windows.h>

class SetLater {
  public:
    SetLater(HANDLE event, DWORD milliseconds) : event_(event), delay_(milliseconds)
    {
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~SetLater()
    {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }

  private:
    static DWORD WINAPI Run(LPVOID self)
    {
        SetLater* later = static_cast<SetLater*>(self);
        Sleep(later->delay_);
        SetEvent(later->event_);
        return 0;
    }
    HANDLE event_;
    DWORD delay_;
    HANDLE thread_;
};
