// FetchUrl, the version manifest's fetch, with Wine's real WinINet against a
// loopback server standing in as the proxy: every outcome with its lines, the
// size limit and the deadline, redirects and cookies; how a Content-Length is
// read and which redirects are followed; and the records WinINet calls back
// into, which outlive their GET whatever WinINet does after the close.
#include "net/fetch.h"

#include "net/http_get.h"

#include <gtest/gtest.h>

#include "support/debug_lines.h"
#include "support/loopback_server.h"
#include "support/set_later.h"

#include <stdlib.h>
#include <winsock2.h>
#include <wininet.h>

#include <string>
#include <vector>

using loopback::Reply;

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

TEST(ProxyChallenge, ASignInAnswersOnlyASchemeOfUserAndPassword)
{
    struct Case {
        const char* label;
        const WCHAR* challenge;
        bool answerable;
    };
    // clang-format off
    const Case cases[] = {
        {"Basic", L"Basic realm=\"proxy\"", true},
        {"basic, in small letters", L"basic realm=\"proxy\"", true},
        {"Digest", L"Digest realm=\"proxy\", nonce=\"1\"", true},
        {"NTLM alone", L"NTLM", true},
        {"Negotiate", L"Negotiate", true},
        {"an unknown scheme", L"Bogus realm=\"proxy\"", false},
        {"a word that starts like a scheme", L"Basically", false},
        {"none", L"", false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.answerable, CanAnswerChallenge(c.challenge));
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
        {"exactly the limit", kManifestPath, Reply{.body = big.substr(0, 65536)}, true, big.substr(0, 65536), {}},
        {"longer than the limit: the first 64 KiB", kManifestPath, Reply{.body = big}, true, big.substr(0, 65536),
         {"RookMini: Download stopped at 65536 bytes, the rest is not read."}},
        {"longer than the limit, without a length", kManifestPath, Reply{.body = big, .sendLength = false}, true,
         big.substr(0, 65536), {"RookMini: Download stopped at 65536 bytes, the rest is not read."}},
        {"404 of the manifest", kManifestPath, Reply{.status = 404}, false, "", {"RookMini: 404 Not Found - Version Info"}},
        {"500 of the manifest", kManifestPath, Reply{.status = 500}, false, "",
         {"RookMini: Status was not 200 (Version Info). Status: 500"}},
        {"407 of the manifest: a failed fetch, no prompt", kManifestPath,
         Reply{.status = 407, .headers = {{"Proxy-Authenticate", "Basic realm=\"x\""}}}, false, "",
         {"RookMini: Status was not 200 (Version Info). Status: 407"}},
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

TEST(Redirect, FollowedOnlyToAnInternetHostAndAtMostFiveTimes)
{
    struct Case {
        const char* label;
        int redirect;
        INTERNET_SCHEME scheme;
        const WCHAR* host;
        bool followed;
    };
    // clang-format off
    const Case cases[] = {
        {"to the maker's other host", 1, INTERNET_SCHEME_HTTP, L"cdn.corvidapp.example", true},
        {"to https", 1, INTERNET_SCHEME_HTTPS, L"cdn.corvidapp.example", true},
        {"the fifth", 5, INTERNET_SCHEME_HTTP, L"cdn.corvidapp.example", true},
        {"a sixth", 6, INTERNET_SCHEME_HTTP, L"cdn.corvidapp.example", false},
        {"to a name without a dot", 1, INTERNET_SCHEME_HTTP, L"corvidfiles", false},
        {"to such a name written with a dot at its end", 1, INTERNET_SCHEME_HTTP, L"corvidfiles.", false},
        {"to a name with a dot in front only", 1, INTERNET_SCHEME_HTTP, L".corvidfiles", false},
        {"to an address of the Internet", 1, INTERNET_SCHEME_HTTP, L"203.0.113.7", true},
        {"to an IPv6 address", 1, INTERNET_SCHEME_HTTP, L"[2001:db8::7]", false},
        {"to ftp", 1, INTERNET_SCHEME_FTP, L"files.corvidapp.example", false},
        {"to a file", 1, INTERNET_SCHEME_FILE, L"", false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.followed, MayFollowRedirect(c.redirect, c.scheme, c.host));
    }
}

TEST(FetchUrl, FollowsRedirectsItselfAndKeepsNoCookies)
{
    const std::string manifest = "Minimum Supported Meridian Version: 46.";
    const std::string host = "http://download.corvidapp.example";
    auto to = [](const std::string& location, int status = 302) {
        return Reply{.status = status, .headers = {{"Location", location}, {"Set-Cookie", "id=7"}}};
    };
    struct Case {
        const char* label;
        std::vector<std::pair<std::string, Reply>> routes;  // the first is asked for
        Lines asked;  // every request's target, through the proxy
        bool handed;
        Lines lines;
    };
    // clang-format off
    const Case cases[] = {
        {"to the maker's other host",
         {{"/m", to("http://cdn.corvidapp.example/m2")}, {"/m2", Reply{.body = manifest}}},
         {host + ":80/m", "http://cdn.corvidapp.example:80/m2"}, true, {}},
        {"a Location on the same host, 307",
         {{"/m", to("/m2", 307)}, {"/m2", Reply{.body = manifest}}}, {host + ":80/m", host + ":80/m2"}, true, {}},
        {"five in a row",
         {{"/m", to("/r2")}, {"/r2", to("/r3")}, {"/r3", to("/r4")}, {"/r4", to("/r5")}, {"/r5", to("/m2")},
          {"/m2", Reply{.body = manifest}}},
         {host + ":80/m", host + ":80/r2", host + ":80/r3", host + ":80/r4", host + ":80/r5", host + ":80/m2"},
         true, {}},
        {"a sixth: refused",
         {{"/m", to("/r2")}, {"/r2", to("/r3")}, {"/r3", to("/r4")}, {"/r4", to("/r5")}, {"/r5", to("/r6")},
          {"/r6", to("/m2")}, {"/m2", Reply{.body = manifest}}},
         {host + ":80/m", host + ":80/r2", host + ":80/r3", host + ":80/r4", host + ":80/r5", host + ":80/r6"},
         false, {"RookMini: Redirect refused: '/m2'"}},
        {"to an intranet name: refused, never asked",
         {{"/m", to("http://corvidfiles/m2")}, {"/m2", Reply{.body = manifest}}}, {host + ":80/m"},
         false, {"RookMini: Redirect refused: 'http://corvidfiles/m2'"}},
        {"to ftp: refused",
         {{"/m", to("ftp://files.corvidapp.example/m2")}}, {host + ":80/m"},
         false, {"RookMini: Redirect refused: 'ftp://files.corvidapp.example/m2'"}},
        {"a redirect without a Location: its status",
         {{"/m", Reply{.status = 302}}}, {host + ":80/m"},
         false, {"RookMini: Status was not 200 (" + host + "/m). Status: 302"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        loopback::Server server;
        server.BecomeProxy();
        for (const auto& [path, reply] : c.routes)
            server.Serve(path, {reply});
        std::string first = host + c.routes[0].first;
        std::wstring url(first.begin(), first.end());
        DebugLines lines;
        BYTE* body = nullptr;
        DWORD length = 0;
        // Twice: a cookie set by the first fetch would be sent by the second.
        for (int fetch = 0; fetch < 2; ++fetch) {
            EXPECT_EQ(c.handed, FetchUrl(url.c_str(), &body, &length, GetTickCount() + 20000));
            EXPECT_EQ(c.handed ? manifest : "", std::string(reinterpret_cast<char*>(body), length));
            free(body);
        }
        EXPECT_EQ(c.lines + c.lines, lines.Lines());
        Lines asked;
        for (const loopback::Request& r : server.Requests()) {
            asked.push_back(r.target);
            EXPECT_EQ(std::string::npos, r.rawHeaders.find("Cookie:")) << r.rawHeaders;
        }
        EXPECT_EQ(c.asked + c.asked, asked);
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

TEST(HttpGet, TheRecordsOutliveTheGetWhateverWinINetCallsBackLater)
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
    // The status callback, as WinINet knows it.
    INTERNET_STATUS_CALLBACK callback = InternetSetStatusCallbackW(get.internet, nullptr);
    InternetSetStatusCallbackW(get.internet, callback);
    ASSERT_TRUE(callback != nullptr && callback != INTERNET_INVALID_STATUS_CALLBACK);
    void* record = get.call;
    void* buffer = get.buffer;
    HINTERNET request = get.request;
    CloseHttpGet(&get);

    // The read now ends and Wine's WinINet reports it into the record.
    server.Unstall();
    Sleep(1000);
    // Native WinINet may also call back after the close, from a thread of its
    // own: the request's closing, then the closing of the connection handle
    // that InternetOpenUrl made with the same context, then a late end of
    // the pending read. Into pages given back, each write would fault.
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(record);
    HINTERNET connection = reinterpret_cast<HINTERNET>(0x4242);
    INTERNET_ASYNC_RESULT late = {1, ERROR_SUCCESS};
    callback(request, context, INTERNET_STATUS_HANDLE_CLOSING, &request, sizeof(request));
    callback(connection, context, INTERNET_STATUS_HANDLE_CLOSING, &connection, sizeof(connection));
    callback(request, context, INTERNET_STATUS_REQUEST_COMPLETE, &late, sizeof(late));
    for (void* kept : {record, buffer}) {
        MEMORY_BASIC_INFORMATION pages = {};
        ASSERT_EQ(sizeof(pages), VirtualQuery(kept, &pages, sizeof(pages)));
        EXPECT_EQ(static_cast<DWORD>(MEM_COMMIT), pages.State);
        EXPECT_EQ(static_cast<DWORD>(PAGE_READWRITE), pages.Protect);
    }
    CloseHandle(cancel);
}

TEST(HttpGet, AnOpenGivenUpIsLeftToWinINetWithItsSession)
{
    // A host that takes the connection and never answers: the open stays
    // pending until Cancel gives it up. Wine's open task goes on with the
    // request's handle value: closing the request or its session would free
    // what the task still uses, and hand the value to the next handle made.
    WSADATA winsock;
    WSAStartup(MAKEWORD(2, 2), &winsock);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), size));
    ASSERT_EQ(0, listen(listener, 4));
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    std::wstring url = L"http://127.0.0.1:" + std::to_wstring(ntohs(address.sin_port)) + L"/m";
    HANDLE cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HttpGet get;
    InitHttpGet(&get);
    get.cancel = cancel;
    {
        SetLater pressed(cancel, 300);
        EXPECT_EQ(kHttpCancelled, OpenHttpGet(&get, url.c_str(), nullptr));
    }
    EXPECT_TRUE(get.openPending);
    HINTERNET session = get.internet;
    CloseHttpGet(&get);
    DWORD type = 0;
    DWORD length = sizeof(type);
    EXPECT_TRUE(InternetQueryOptionW(session, INTERNET_OPTION_HANDLE_TYPE, &type, &length))
        << "the session of an open given up was closed";
    closesocket(listener);
    CloseHandle(cancel);
}
