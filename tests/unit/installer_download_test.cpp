// The installer download: the decisions about a retry by table, then the
// real worker with Wine's real WinINet against a loopback server and a real
// partial file: resumption, starting over, giving up, silence, Cancel.
#include "download/download_job.h"
#include "download/resume.h"

#include <gtest/gtest.h>

#include "support/debug_lines.h"
#include "support/loopback_server.h"
#include "support/set_later.h"

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

namespace {

HttpResponse Response(DWORD status, const WCHAR* contentRange = L"", DWORD length = 0)
{
    HttpResponse response = {};
    response.status = status;
    response.hasLength = length != 0;
    response.length = length;
    wcscpy(response.contentRange, contentRange);
    return response;
}

}  // namespace

TEST(Resume, AppendsOnlyTheRestOfTheSameResource)
{
    struct Case {
        const char* label;
        HttpResponse response;
        DWORD asked, total;
        RetryAnswer answer;
    };
    // clang-format off
    const Case cases[] = {
        {"206 from where the file ends to the end", Response(206, L"bytes 400-999/1000", 600), 400, 1000, kAppendRest},
        {"206 without a length of its own", Response(206, L"bytes 400-999/1000"), 400, 1000, kAppendRest},
        {"206 when the size was not known", Response(206, L"bytes 400-999/1000", 600), 400, 0, kAppendRest},
        {"206 starting elsewhere", Response(206, L"bytes 300-999/1000", 700), 400, 1000, kGiveUp},
        {"206 stopping short of the end", Response(206, L"bytes 400-899/1000", 500), 400, 1000, kGiveUp},
        {"206 of a resource of another size", Response(206, L"bytes 400-1199/1200", 800), 400, 1000, kGiveUp},
        {"206 whose length disagrees with its range", Response(206, L"bytes 400-999/1000", 500), 400, 1000, kGiveUp},
        {"206 with an unknown size", Response(206, L"bytes 400-999/*", 600), 400, 1000, kGiveUp},
        {"206 without a range", Response(206, L"", 600), 400, 1000, kGiveUp},
        {"206 with a range past 32 bits", Response(206, L"bytes 400-4294967296/4294967297"), 400, 0, kGiveUp},
        {"206 with a range in other units", Response(206, L"items 400-999/1000", 600), 400, 1000, kGiveUp},
        {"206 though the whole was asked for", Response(206, L"bytes 0-999/1000", 1000), 0, 1000, kGiveUp},
        {"200: the resource changed, or no range", Response(200, L"", 1200), 400, 1000, kStartOver},
        {"200 to a retry without a range", Response(200, L"", 1000), 0, 1000, kStartOver},
        {"416", Response(416, L"bytes */1000"), 400, 1000, kGiveUp},
        {"404", Response(404), 400, 1000, kGiveUp},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.answer, JudgeRetryAnswer(c.response, c.asked, c.total));
    }
}

TEST(Resume, IfRangeCarriesAStrongValidatorOnly)
{
    struct Case {
        const char* label;
        const WCHAR* etag;
        const WCHAR* lastModified;
        const WCHAR* validator;
    };
    const WCHAR* date = L"Tue, 08 Dec 2026 10:00:00 GMT";
    // clang-format off
    const Case cases[] = {
        {"strong ETag, before the date", L"\"v1\"", date, L"\"v1\""},
        {"weak ETag: the date", L"W/\"v1\"", date, date},
        {"weak ETag alone: none", L"W/\"v1\"", L"", L""},
        {"the date alone", L"", date, date},
        {"neither", L"", L"", L""},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HttpResponse response = Response(200);
        wcscpy(response.etag, c.etag);
        wcscpy(response.lastModified, c.lastModified);
        WCHAR validator[kHeaderChars] = L"left over";
        ChooseValidator(response, validator);
        EXPECT_STREQ(c.validator, validator);
    }
}

// ---- The worker against a loopback server ------------------------------------

namespace {

typedef std::vector<std::string> Lines;
using loopback::Reply;

std::string Pattern(size_t size, int seed)
{
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i)
        body[i] = static_cast<char>((i * 7 + seed * 13 + i / 251) & 0xFF);
    return body;
}

const std::string kBody = Pattern(100000, 1);
const std::string kChanged = Pattern(120000, 2);
const char kEarlier[] = "MZ an installer of an earlier run";

std::string Read(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<none>";
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    return bytes;
}

// One download into a scratch folder, as install mode sets it up: the
// partial file created new, fast pauses and a short silence limit.
struct Download {
    loopback::Server server;
    std::wstring url, folder, installer, partial;
    DownloadJob job;
    explicit Download(bool earlier)
    {
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder = std::wstring(temp) + L"rookmini_download_" + std::to_wstring(GetTickCount());
        CreateDirectoryW(folder.c_str(), nullptr);
        installer = folder + L"\\meridian_setupfull.exe";
        partial = folder + L"\\meridian_setupfull.partial";
        if (earlier) {
            HANDLE file =
                CreateFileW(installer.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
            DWORD written = 0;
            WriteFile(file, kEarlier, sizeof(kEarlier) - 1, &written, nullptr);
            CloseHandle(file);
        }
        url = server.Url("/setup");
        InitDownloadJob(&job);
        job.url = url.c_str();
        wcscpy(job.installerPath, installer.c_str());
        wcscpy(job.partialPath, partial.c_str());
        job.partialFile = CreateFileW(partial.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
        job.silence = 500;
        job.pauseUnit = 20;
        job.cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Download()
    {
        DiscardPartialFile(&job);
        CloseHandle(job.cancel);
        DeleteFileW(installer.c_str());
        RemoveDirectoryW(folder.c_str());
    }
};

std::string Interrupted(DWORD at, DWORD of, int next)
{
    return "RookMini: Download interrupted at " + std::to_string(at) + " of " + std::to_string(of) +
           " bytes, trying again (" + std::to_string(next) + " of 5).";
}

const char kZero[] = "RookMini: Download error, 0 bytes downloaded";
const char kShort[] = "RookMini: Download error, final buffer size != content length";
const char kStalled[] = "RookMini: Download stalled, no data for 30 seconds.";
const char kNoData[] = "RookMini: No download data";
const Lines kFailedTail = {"RookMini: Download failed.", std::string(kZero) + "\n", kNoData};

Lines operator+(Lines a, const Lines& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(DownloadWorker, StreamsTheInstallerAndResumesAfterADrop)
{
    const std::pair<std::string, std::string> etag = {"ETag", "\"v1\""};
    const std::string date = "Tue, 08 Dec 2026 10:00:00 GMT";
    const std::pair<std::string, std::string> modified = {"Last-Modified", date};
    struct Case {
        const char* label;
        std::vector<Reply> replies;
        bool earlier;           // an installer of an earlier run is there
        std::string installed;  // at the installer path afterwards
        Lines ranges;           // each request's Range and If-Range, "" when absent
        Lines lines;
    };
    const std::string resumed = "bytes=40000- " + etag.second;
    // clang-format off
    const Case cases[] = {
        {"whole, replacing an earlier installer", {Reply{.body = kBody}}, true, kBody, {" "}, {}},
        {"whole, without a Content-Length", {Reply{.body = kBody, .sendLength = false}}, false, kBody, {" "}, {}},
        {"cut at 40 %: the rest asked for with the ETag",
         {Reply{.body = kBody, .headers = {etag}, .cutAfter = 40000, .ranges = true}, Reply{.body = kBody, .headers = {etag}, .ranges = true}},
         false, kBody, {" ", resumed}, {Interrupted(40000, 100000, 2)}},
        {"cut at 40 %: the rest asked for with the date",
         {Reply{.body = kBody, .headers = {modified}, .cutAfter = 40000, .ranges = true}, Reply{.body = kBody, .headers = {modified}, .ranges = true}},
         false, kBody, {" ", "bytes=40000- " + date}, {Interrupted(40000, 100000, 2)}},
        {"silent after 40 %: the rest asked for",
         {Reply{.body = kBody, .headers = {etag}, .stallAfter = 40000, .ranges = true}, Reply{.body = kBody, .headers = {etag}, .ranges = true}},
         false, kBody, {" ", resumed}, {kStalled, Interrupted(40000, 100000, 2)}},
        {"cut with only a weak ETag: started over",
         {Reply{.body = kBody, .headers = {{"ETag", "W/\"v1\""}}, .cutAfter = 40000, .ranges = true}, Reply{.body = kBody, .ranges = true}},
         false, kBody, {" ", " "}, {Interrupted(40000, 100000, 2)}},
        {"changed since: the server sends it whole, started over with it",
         {Reply{.body = kBody, .headers = {etag}, .cutAfter = 40000, .ranges = true},
          Reply{.body = kChanged, .headers = {{"ETag", "\"v2\""}}, .ranges = true}},
         false, kChanged, {" ", resumed}, {Interrupted(40000, 100000, 2)}},
        {"a rest that starts elsewhere: failed, nothing spliced",
         {Reply{.body = kBody, .headers = {etag}, .cutAfter = 40000},
          Reply{.status = 206, .body = kBody.substr(30000), .contentRange = "bytes 30000-99999/100000"}},
         true, "<none>", {" ", resumed},
         {Interrupted(40000, 100000, 2),
          "RookMini: Download error, the rest sent does not continue the file: 'bytes 30000-99999/100000'", kNoData}},
        {"416 to the rest: failed",
         {Reply{.body = kBody, .headers = {etag}, .cutAfter = 40000}, Reply{.status = 416}},
         true, "<none>", {" ", resumed}, {Interrupted(40000, 100000, 2), "416", kNoData}},
        {"cut at every try: failed after the fifth",
         {Reply{.body = kBody, .cutAfter = 40000}}, false, "<none>", {" ", " ", " ", " ", " "},
         Lines{Interrupted(40000, 100000, 2), Interrupted(40000, 100000, 3), Interrupted(40000, 100000, 4),
               Interrupted(40000, 100000, 5), kShort, std::string(kShort) + "\n"} + kFailedTail},
        {"silent from the start: failed, not tried again",
         {Reply{.body = kBody, .stallAfter = 0}}, false, "<none>", {" "}, Lines{kStalled} + kFailedTail},
        {"empty", {Reply{}}, false, "<none>", {" "}, {kZero, std::string(kZero) + "\n", kNoData}},
        {"404: failed, not tried again", {Reply{.status = 404}}, true, "<none>", {" "}, {"404", kNoData}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Download d(c.earlier);
        d.server.Serve("/setup", c.replies);
        DebugLines lines;
        EXPECT_EQ(0u, DownloadWorker(&d.job));
        d.server.Unstall();

        EXPECT_EQ(c.installed != "<none>", d.job.saved);
        EXPECT_EQ(c.installed, Read(d.installer));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(d.partial.c_str()));
        Lines ranges;
        for (const loopback::Request& r : d.server.Requests())
            ranges.push_back(r.range + " " + r.ifRange);
        EXPECT_EQ(c.ranges, ranges);
        // A status line names the URL, which changes: the status stands for it.
        Lines seen = lines.Lines();
        for (std::string& line : seen) {
            for (const char* status : {"416", "404"}) {
                if (line.find(std::string("Status: ") + status) != std::string::npos ||
                    line.find(std::string(status) + " Not Found") != std::string::npos)
                    line = status;
            }
        }
        EXPECT_EQ(c.lines, seen);
    }
}

TEST(DownloadWorker, CancelEndsItAtOnceAndKeepsAnEarlierInstaller)
{
    struct Case {
        const char* label;
        Reply reply;
        Lines lines;
    };
    // clang-format off
    const Case cases[] = {
        {"during the pause before a retry", Reply{.body = kBody, .cutAfter = 40000},
         Lines{Interrupted(40000, 100000, 2), "RookMini: Download canceled."} + kFailedTail},
        {"while a read waits on a silent host", Reply{.body = kBody, .stallAfter = 40000},
         Lines{"RookMini: Download canceled."} + kFailedTail},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Download d(true);
        d.job.pauseUnit = 10000;
        d.job.silence = 10000;
        d.server.Serve("/setup", {c.reply});
        DebugLines lines;
        d.job.cancelledByUser = true;  // as the dialog sets it with the event
        {
            SetLater pressed(d.job.cancel, 500);
            DWORD start = GetTickCount();
            DownloadWorker(&d.job);
            EXPECT_LT(GetTickCount() - start, 2500u);
        }
        d.server.Unstall();
        EXPECT_FALSE(d.job.saved);
        EXPECT_EQ(kEarlier, Read(d.installer));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(d.partial.c_str()));
        EXPECT_EQ(c.lines, lines.Lines());
    }
}
