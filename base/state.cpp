// The launcher's process-wide variables: the module instance and the two
// acts a test replaces; and the built-in URLs on the maker's two hosts.
#include "base/acts.h"

HINSTANCE g_hInstance = nullptr;
decltype(&::ShellExecuteW) g_shellExecute = ::ShellExecuteW;
decltype(&::MessageBoxW) g_messageBox = ::MessageBoxW;

// The maker's hosts. They live under the reserved .example domain: the names
// of the maker and its product are placeholders of ours.
#define DOWNLOAD_HOST L"download.corvidapp.example"
#define WEB_HOST L"www.corvidapp.example"

const WCHAR kVersionManifestUrl[] = L"http://" DOWNLOAD_HOST L"/update/meridian_version.txt";
const WCHAR kFullInstallerUrl[] = L"http://" WEB_HOST L"/downloads/corvidapp/pc/full";
const WCHAR kUpdatePageUrl[] = L"http://" WEB_HOST L"/meridian_update.asp";
const WCHAR kSupportPageUrl[] = L"http://" WEB_HOST L"/support#app-troubleshooting-csc";
