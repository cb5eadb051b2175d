// The command-line tail: how the program name is cut off the command line.
#include "base/command_line.h"

#include <gtest/gtest.h>

#include <string>

struct TailCase {
    const char* label;
    const wchar_t* commandLine;
    const wchar_t* tail;
};

// clang-format off
static const TailCase kTailCases[] = {
    {"bare name, no tail", L"RookMini.exe", L""},
    {"bare name and arguments", L"RookMini.exe /a b", L"/a b"},
    {"quoted name with blanks", L"\"C:\\Program Files\\RookMini.exe\" /x", L"/x"},
    {"blanks and tabs after the name are skipped", L"RookMini.exe \t  \t/x  y ", L"/x  y "},
    {"control characters count as blanks", L"RookMini.exe\x01\x1f/x", L"/x"},
    {"quote in the middle of the name", L"C:\\a\"b c\"d.exe tail", L"tail"},
    {"unclosed quote swallows the rest", L"\"C:\\a b.exe tail", L""},
    {"quotes in the tail are kept", L"a.exe \"x y\" z", L"\"x y\" z"},
    {"empty command line", L"", L""},
    {"only blanks after the name", L"a.exe    ", L""},
};
// clang-format on

TEST(CommandLineTail, CutsTheProgramNameAsTheRuntimeDoes)
{
    for (const TailCase& c : kTailCases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(std::wstring(c.tail), std::wstring(CommandLineTail(c.commandLine)));
    }
}
