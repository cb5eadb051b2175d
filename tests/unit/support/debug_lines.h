// Catches the lines this test program writes to the debugger output while a
// DebugLines lives, from any thread, so that a test reads the launcher's real
// diagnostics without a stand-in for its log.
#pragma once

#include <string>
#include <vector>

typedef std::vector<std::string> Lines;

// One list of lines followed by another.
inline Lines operator+(Lines a, const Lines& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class DebugLines {
  public:
    DebugLines();
    ~DebugLines();
    std::vector<std::string> Lines() const;  // in the order written
    bool Has(const std::string& line) const;

  private:
    void* handler_;
};
