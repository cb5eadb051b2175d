// What the .NET Framework gate decides, apart from Windows: whether the setup
// keys as read show a usable framework, what an answer to each of its boxes
// means, and, once the user has agreed to install a framework, which way the
// Windows version read leads. The gate (dotnet_gate.cpp) reads, decides and
// carries the verdict out.
#pragma once

#include "base/rookmini.h"

// What the gate read. A value that could not be read (missing, or stored in
// more than 4 bytes) is not there.
struct DotNetReadings {
    bool net20InstallRead;
    DWORD net20Install;  // "Install" of the 2.0 key
    bool net20SpRead;
    DWORD net20Sp;  // "SP" of the 2.0 key, read only when Net20Installed
    bool net4InstallRead;
    DWORD net4Install;  // "Install" of the 4 Client key, read only when not
    bool versionRead;
    DWORD major;
    DWORD minor;
    WORD servicePack;
};

// What an answer to a box means for the way on.
enum DotNetAnswers {
    kOnlyYesGoesOn,  // anything but Yes, a failed box included, leaves the way
    kOnlyNoStops,    // a failed box counts as consent
    kNothingGoesOn,  // the box asks nothing: whatever the answer, it ends the way
};

// A yes/no box of the gate; it never has an owner window.
struct DotNetBox {
    const WCHAR* text;
    const WCHAR* caption;
    UINT style;
    DotNetAnswers answers;
};

// Asked when no usable framework is found; only a Yes installs one, any
// other answer lets start-up go on without it.
extern const DotNetBox kInstallQuestion;

enum DotNetRoute {
    kDotNetNothing,         // nothing more: start-up goes on
    kDotNetFeatureInstall,  // the system's feature installer, then the notice
    kDotNetDownloadPage,    // the download page in the browser, then the notice
};

// The way on after a Yes to the install question. A warning comes first:
// when the answer to it does not go on, start-up stops.
struct DotNetVerdict {
    const DotNetBox* warning;
    DotNetRoute route;
    bool lookForFondue;  // feature install: Fondue, when Fondue.exe is there, instead of DISM
    const WCHAR* page;
    const WCHAR* notice;  // shown after the start or the page
};

// Whether the 2.0 "Install" is exactly 1. Then its "SP" decides, and the
// 4 Client key is not read: 2.0 without a service pack hides a 4 Client.
bool Net20Installed(const DotNetReadings& readings);

// Whether the readings show a framework the App runs on.
bool FrameworkFound(const DotNetReadings& readings);

// Whether the way goes on after this answer to the box.
bool AnswerGoesOn(const DotNetBox& box, int answer);

// The way on after a Yes to the install question, by the Windows version.
DotNetVerdict RouteDotNet(const DotNetReadings& readings);
