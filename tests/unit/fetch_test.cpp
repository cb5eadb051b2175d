// FetchUrl, the version manifest's fetch, with Wine's real WinINet against a
// loopback server standing in as the proxy: every outcome with its lines, the
// size limit and the deadline; how a Content-Length is read; and a read left
// waiting when its GET is given up, which WinINet ends later.
#include "net/fetch.h"

#include "net/http_get.h"

#include <gtest/gtest.h>

#include "support/debug_lines.h"
#include "support/loopback_server.h"
#include "support/set_later.h"

#include <stdlib.h>

#include <string>
#include <vector>

using loopback::Reply;

typedef std::vector<std::string> Lines;

namespace {

const std::string kManifestPath = "/update/meridian_version.txt";
const std::string kInstallerPath = "/downloads/corvidapp/pc/full";
const char kZero[] = "RookMini: Download error, 0 bytes downloaded";
const char kShort[] = "RookMini: Download error, final buffer size != content length";

}  // namespace

TEST(ContentLength, OnlyAPlainNumberWithin32BitsCounts)
{
    struct Case {
        const char* label;
        const WCHAR* text;
        bool present;
        DWORD length;
    };
    // clang-format off
    const Case cases[] = {
        {"a length", L"1048576", true, 1048576},
        {"4 GiB - 1", L"4294967295", true, 4294967295u},
        {"4 GiB", L"4294967296", false, 0},
        {"far beyond", L"123456789012345678901234567890", false, 0},
        {"0 counts as absent", L"0", false, 0},
        {"absent", L"", false, 0},
        {"not a number", L"abc", false, 0},
        {"a number and more", L"12 34", false, 0},
        {"negative", L"-5", false, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        DWORD length = 7;
        EXPECT_EQ(c.present, ParseContentLength(c.text, &length));
        if (c.present) {
            EXPECT_EQ(c.length, length);
        }
    }
}

TEST(FetchUrl, HandsOverTheBodyOrSaysWhyNot)
{
    const std::string manifest = "Minimum Supported Meridian Version: 46.";
    const std::string big(100000, 'm');
    struct Case {
        const char* label;
        std::string path;  // requested through the proxy on the built-in host names
        Reply reply;
        bool handed;
        std::string body;  // what is handed over
        Lines lines;
    };
    // clang-format off
    const Case cases[] = {
        {"complete", kManifestPath, Reply{.body = manifest}, true, manifest, {}},
        {"without a Content-Length", kManifestPath, Reply{.body = manifest, .sendLength = false}, true, manifest, {}},
        {"a Content-Length that is no number: read to the end", kManifestPath,
         Reply{.body = manifest, .sendLength = false, .contentLengthText = "many"}, true, manifest, {}},
        {"empty", kManifestPath, Reply{}, true, "", {kZero, std::string(kZero) + "\n"}},
        {"cut short of its Content-Length", kManifestPath, Reply{.body = manifest, .cutAfter = 10}, true,
         manifest.substr(0, 10), {kShort, std::string(kShort) + "\n"}},
        {"longer than the limit: the first 64 KiB", kManifestPath, Reply{.body = big}, true, big.substr(0, 65536),
         {"RookMini: Download stopped at 65536 bytes, the rest is not read."}},
        {"longer than the limit, without a length", kManifestPath, Reply{.body = big, .sendLength = false}, true,
         big.substr(0, 65536), {"RookMini: Download stopped at 65536 bytes, the rest is not read."}},
        {"404 of the manifest", kManifestPath, Reply{.status = 404}, false, "", {"RookMini: 404 Not Found - Version Info"}},
        {"500 of the manifest", kManifestPath, Reply{.status = 500}, false, "",
         {"RookMini: Status was not 200 (Version Info). Status: 500"}},
        {"404 of the installer", kInstallerPath, Reply{.status = 404}, false, "", {"RookMini: 404 Not Found - Setup Exe"}},
        {"206 of the installer", kInstallerPath, Reply{.status = 206}, false, "",
         {"RookMini: Status was not 200 (Setup Exe). Status: 206"}},
        {"404 of another URL", "/other", Reply{.status = 404}, false, "",
         {"RookMini: 404 Not Found - http://download.corvidapp.example/other"}},
        {"500 of another URL", "/other", Reply{.status = 500}, false, "",
         {"RookMini: Status was not 200 (http://download.corvidapp.example/other). Status: 500"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        loopback::Server server;
        server.BecomeProxy();
        server.Serve(c.path, {c.reply});
        std::wstring url =
            c.path == kInstallerPath ? std::wstring(kFullInstallerUrl)
            : c.path == kManifestPath
                ? std::wstring(kVersionManifestUrl)
                : L"http://download.corvidapp.example" + std::wstring(c.path.begin(), c.path.end());
        DebugLines lines;
        BYTE* body = reinterpret_cast<BYTE*>(1);
        DWORD length = 1;
        EXPECT_EQ(c.handed, FetchUrl(url.c_str(), &body, &length, GetTickCount() + 20000));
        EXPECT_EQ(c.handed, body != nullptr);
        EXPECT_EQ(c.body, std::string(reinterpret_cast<char*>(body), length));
        free(body);
        EXPECT_EQ(c.lines, lines.Lines());
        std::vector<loopback::Request> requests = server.Requests();
        ASSERT_EQ(1u, requests.size());
        EXPECT_EQ("RookMini/1.0", requests[0].userAgent);
        EXPECT_EQ("", requests[0].range);
    }
}

TEST(FetchUrl, EndsByItsDeadlineWhateverTheHostDoes)
{
    struct Case {
        const char* label;
        Reply reply;
    };
    // clang-format off
    const Case cases[] = {
        {"a body dripping a byte at a time", Reply{.body = "Minimum Supported", .paceBytes = 1, .paceMs = 200}},
        {"a host that falls silent", Reply{.body = "Minimum Supported", .stallAfter = 3}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        loopback::Server server;
        server.Serve("/m", {c.reply});
        DebugLines lines;
        BYTE* body = nullptr;
        DWORD length = 0;
        DWORD start = GetTickCount();
        EXPECT_FALSE(FetchUrl(server.Url("/m").c_str(), &body, &length, start + 1000));
        DWORD took = GetTickCount() - start;
        EXPECT_GE(took, 900u);
        EXPECT_LT(took, 2500u);
        EXPECT_EQ(nullptr, body);
        EXPECT_EQ((Lines{"RookMini: Download stopped, its time is up.",
                         "RookMini: Download failed.", std::string(kZero) + "\n"}),
                  lines.Lines());
        server.Unstall();
    }
}

TEST(FetchUrl, ARequestThatCannotBeMadeSaysSo)
{
    struct Case {
        const char* label;
        std::wstring url;
        std::string line;
    };
    // Nothing listens on port 1 of the loopback address.
    // clang-format off
    const Case cases[] = {
        {"nobody listening", L"http://127.0.0.1:1/m", "RookMini: Failed opening URL"},
        {"a URL too long to expand", L"http://127.0.0.1:1/" + std::wstring(3000, L'a'), "RookMini: Failed expanding URL"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        DebugLines lines;
        BYTE* body = nullptr;
        DWORD length = 0;
        EXPECT_FALSE(FetchUrl(c.url.c_str(), &body, &length, GetTickCount() + 20000));
        EXPECT_EQ(Lines{c.line}, lines.Lines());
    }
}

TEST(HttpGet, AReadGivenUpOnNeverWritesIntoAReleasedRecord)
{
    // 1000 bytes of 100000 announced, then nothing until Unstall(): the next
    // read waits in WinINet; Cancel gives it up, and it ends after the close.
    loopback::Server server;
    server.Serve("/s", {Reply{.body = std::string(100000, 's'), .stallAfter = 1000}});
    std::wstring url = server.Url("/s");
    HANDLE cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HttpGet get;
    InitHttpGet(&get);
    get.cancel = cancel;
    ASSERT_EQ(kHttpData, OpenHttpGet(&get, url.c_str(), nullptr));
    const BYTE* data;
    DWORD count;
    while (get.received < 1000)
        ASSERT_EQ(kHttpData, ReadHttpGet(&get, &data, &count));
    {
        SetLater pressed(cancel, 300);
        EXPECT_EQ(kHttpCancelled, ReadHttpGet(&get, &data, &count));
    }
    CloseHttpGet(&get);
    // The read now ends and WinINet reports it: into a record given back,
    // that write would fault (the record has pages of its own).
    server.Unstall();
    Sleep(1000);
    CloseHandle(cancel);
}
