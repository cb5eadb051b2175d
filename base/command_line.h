// The command-line tail: the command line without the program name and the
// blanks after it, as the C runtime hands it to a WinMain. Shared with the
// test rig's stand-in, which records the tail it was started with.
#pragma once

#include <windows.h>

const WCHAR* CommandLineTail(const WCHAR* commandLine);
