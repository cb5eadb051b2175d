// Records the launcher's shell starts and questions instead of carrying them
// out, for as long as a RecordedActs lives: g_shellExecute and g_messageBox
// point at it. A shell start answers `shellResult`; a question answers from
// `answers` by its text, IDOK when none is given.
#pragma once

#include "base/acts.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

struct ShellStart {
    std::wstring verb;  // "" for the default verb
    std::wstring file, parameters, directory;
    int show;
};

struct Question {
    std::wstring text, caption;
    UINT style;
    bool owned;  // shown with an owner window
};

class RecordedActs {
  public:
    RecordedActs();
    ~RecordedActs();
    std::vector<ShellStart> starts;
    std::vector<Question> questions;
    INT_PTR shellResult = 42;
    std::map<std::wstring, int> answers;
    std::function<void(const ShellStart&)> onStart;  // called at the moment of a start
};
