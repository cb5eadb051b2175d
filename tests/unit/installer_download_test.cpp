// The installer download: the decisions about a retry by table, then the
// real worker with Wine's real WinINet against a loopback server and a real
// partial file: resumption, starting over (also after a cache spliced in
// another version), redirects, giving up, silence, Cancel.
#include "download/download_job.h"
#include "download/proxy_sign_in.h"
#include "download/resume.h"

#include <gtest/gtest.h>

#include "support/debug_lines.h"
#include "support/loopback_server.h"
#include "support/set_later.h"

#include <string.h>
#include <wchar.h>
#include <wininet.h>

#include <string>
#include <vector>

namespace {

const WCHAR kV1[] = L"\"v1\"";
const WCHAR kDate[] = L"Tue, 08 Dec 2026 10:00:00 GMT";
const WCHAR kLaterDate[] = L"Wed, 09 Dec 2026 10:00:00 GMT";

HttpResponse Response(DWORD status, const WCHAR* contentRange = L"", DWORD length = 0,
                      const WCHAR* etag = kV1, const WCHAR* lastModified = L"")
{
    HttpResponse response = {};
    response.status = status;
    response.hasLength = length != 0;
    response.length = length;
    wcscpy(response.contentRange, contentRange);
    wcscpy(response.etag, etag);
    wcscpy(response.lastModified, lastModified);
    return response;
}

}  // namespace

TEST(Resume, AppendsOnlyTheRestOfTheSameVersion)
{
    struct Case {
        const char* label;
        HttpResponse response;
        DWORD asked, total;
        RetryAnswer answer;
        HttpResponse began = Response(200, L"", 1000);  // named ETag "v1"
    };
    const HttpResponse datedOnly = Response(200, L"", 1000, L"", kDate);
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
        {"206 of another version: a cache spliced it", Response(206, L"bytes 400-999/1000", 600, L"\"v2\""), 400, 1000, kRefetchWhole},
        {"206 of another version and size", Response(206, L"bytes 400-1199/1200", 800, L"\"v2\""), 400, 1000, kRefetchWhole},
        {"206 without the first's ETag", Response(206, L"bytes 400-999/1000", 600, L""), 400, 1000, kRefetchWhole},
        {"206 with the first's tag made weak", Response(206, L"bytes 400-999/1000", 600, L"W/\"v1\""), 400, 1000, kRefetchWhole},
        {"206 dated otherwise than the file's first", Response(206, L"bytes 400-999/1000", 600, L"", kLaterDate), 400, 1000, kRefetchWhole, datedOnly},
        {"206 dated alike", Response(206, L"bytes 400-999/1000", 600, L"", kDate), 400, 1000, kAppendRest, datedOnly},
        {"206 without a date after a dated first", Response(206, L"bytes 400-999/1000", 600, L""), 400, 1000, kAppendRest, datedOnly},
        {"200: the resource changed, or no range", Response(200, L"", 1200), 400, 1000, kStartOver},
        {"200 to a retry without a range", Response(200, L"", 1000), 0, 1000, kStartOver},
        {"416", Response(416, L"bytes */1000"), 400, 1000, kGiveUp},
        {"404", Response(404), 400, 1000, kGiveUp},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.answer, JudgeRetryAnswer(c.response, c.asked, c.total, c.began));
    }
}

TEST(Resume, IfRangeCarriesAStrongValidatorOnly)
{
    const ULONGLONG second = 10000000;
    const ULONGLONG modified = 134100000000000000ull;  // a FILETIME count
    struct Case {
        const char* label;
        const WCHAR* etag;
        ULONGLONG lastModified;  // 0: no Last-Modified
        ULONGLONG date;          // 0: no Date
        const WCHAR* validator;
    };
    // clang-format off
    const Case cases[] = {
        {"strong ETag", kV1, modified, modified + 86400 * second, kV1},
        {"weak ETag: a date a day old", L"W/\"v1\"", modified, modified + 86400 * second, kDate},
        {"a date exactly a minute old", L"", modified, modified + 60 * second, kDate},
        {"a date 59 s old is weak", L"", modified, modified + 59 * second, L""},
        {"a date after the response's own: weak", L"", modified, modified - second, L""},
        {"a date without the response's Date: weak", L"", modified, 0, L""},
        {"weak ETag alone: none", L"W/\"v1\"", 0, modified, L""},
        {"neither", L"", 0, 0, L""},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HttpResponse response = Response(200, L"", 0, c.etag, c.lastModified ? kDate : L"");
        response.lastModifiedTime = c.lastModified;
        response.dateTime = c.date;
        WCHAR validator[kHeaderChars] = L"left over";
        ChooseValidator(response, validator);
        EXPECT_STREQ(c.validator, validator);
    }
}

TEST(Resume, PausesDoubleBeforeEachTry)
{
    struct Case {
        const char* label;
        int tryNumber;
        DWORD unit, pause;
    };
    // clang-format off
    const Case cases[] = {
        {"before the second try", 2, 1000, 1000},
        {"before the third", 3, 1000, 2000},
        {"before the fourth", 4, 1000, 4000},
        {"before the fifth", 5, 1000, 8000},
        {"a test's short unit", 5, 20, 160},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.pause, PauseBeforeTry(c.tryNumber, c.unit));
    }
}

TEST(ProxySignIn, PromptsAtMostThreeTimesAndOnceWhenNoSignInCanAnswer)
{
    struct Challenge {
        const char* label;
        int prompts;
        bool answerable;
        SignInStep step;
    };
    // clang-format off
    const Challenge challenges[] = {
        {"the first 407", 0, true, kSignInPrompt},
        {"the third", 2, true, kSignInPrompt},
        {"a fourth", 3, true, kSignInRefused},
        {"no challenge a sign-in answers: one prompt", 0, false, kSignInPrompt},
        {"no challenge a sign-in answers: no second", 1, false, kSignInRefused},
    };
    // clang-format on
    for (const Challenge& c : challenges) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.step, JudgeProxyChallenge(c.prompts, c.answerable));
    }
    struct Answer {
        const char* label;
        DWORD answer;
        SignInStep step;
    };
    // clang-format off
    const Answer answers[] = {
        {"OK: send it again", ERROR_INTERNET_FORCE_RETRY, kSignInAgain},
        {"Cancel, Esc or the close box", ERROR_CANCELLED, kSignInCancelled},
        {"Cancel, as Wine's prompt answers it", ERROR_SUCCESS, kSignInCancelled},
        {"the prompt failed", ERROR_INTERNET_INTERNAL_ERROR, kSignInRefused},
    };
    // clang-format on
    for (const Answer& a : answers) {
        SCOPED_TRACE(a.label);
        EXPECT_EQ(a.step, JudgePromptAnswer(a.answer));
    }
}

// ---- The worker against a loopback server ------------------------------------

namespace {

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
const std::string kShorter = Pattern(30000, 3);

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

// Two files' bytes compared: on a difference, their sizes and the first
// offset where they differ, not the bytes themselves.
testing::AssertionResult SameBytes(const std::string& expected, const std::string& actual)
{
    if (expected == actual)
        return testing::AssertionSuccess();
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
        ++at;
    return testing::AssertionFailure() << "expected " << expected.size() << " bytes, got "
                                       << actual.size() << "; they differ from offset " << at;
}

// One download into a scratch folder, as install mode sets it up: the
// partial file created new, fast pauses and a short silence limit.
struct Download {
    loopback::Server server;
    std::wstring url, folder, installer, partial;
    DownloadJob job;
    Download()
    {
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder = std::wstring(temp) + L"rookmini_download_" + std::to_wstring(GetTickCount());
        CreateDirectoryW(folder.c_str(), nullptr);
        installer = folder + L"\\meridian_setupfull.exe";
        partial = folder + L"\\meridian_setupfull.partial";
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
        job.signedIn = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    ~Download()
    {
        DiscardPartialFile(&job);
        CloseHandle(job.cancel);
        CloseHandle(job.signedIn);
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
const char kOtherVersion[] = "RookMini: The rest sent is of another version, starting over.";
const Lines kFailedTail = {"RookMini: Download failed.", std::string(kZero) + "\n", kNoData};

}  // namespace

TEST(DownloadWorker, StreamsTheInstallerAndResumesAfterADrop)
{
    const std::pair<std::string, std::string> etag = {"ETag", "\"v1\""};
    const std::pair<std::string, std::string> etag2 = {"ETag", "\"v2\""};
    // A date a day before the response's own Date: a strong validator.
    const std::string date = "Tue, 08 Dec 2026 10:00:00 GMT";
    const std::vector<std::pair<std::string, std::string>> dated = {
        {"Last-Modified", date}, {"Date", "Wed, 09 Dec 2026 10:00:00 GMT"}};
    struct Case {
        const char* label;
        std::vector<Reply> replies;
        std::string installed;  // at the installer path afterwards
        Lines ranges;           // each request's Range and If-Range, "" when absent
        Lines lines;
        std::vector<Reply> mirror = {};  // what "/mirror" answers
    };
    const std::string resumed = "bytes=40000- " + etag.second;
    // clang-format off
    const Case cases[] = {
        {"whole", {Reply{.body = kBody}}, kBody, {" "}, {}},
        {"whole, without a Content-Length", {Reply{.body = kBody, .sendLength = false}}, kBody, {" "}, {}},
        {"cut at 40 %: the rest asked for with the ETag",
         {Reply{.body = kBody, .headers = {etag}, .cutAfter = 40000, .ranges = true}, Reply{.body = kBody, .headers = {etag}, .ranges = true}},
         kBody, {" ", resumed}, {Interrupted(40000, 100000, 2)}},
        {"cut at 40 %: the rest asked for with the date",
         {Reply{.body = kBody, .headers = dated, .cutAfter = 40000, .ranges = true}, Reply{.body = kBody, .headers = dated, .ranges = true}},
         kBody, {" ", "bytes=40000- " + date}, {Interrupted(40000, 100000, 2)}},
        {"cut with a date of the same minute: started over",
         {Reply{.body = kBody, .headers = {{"Last-Modified", date}, {"Date", date}}, .cutAfter = 40000, .ranges = true},
          Reply{.body = kBody, .headers = {{"Last-Modified", date}, {"Date", date}}, .ranges = true}},
         kBody, {" ", " "}, {Interrupted(40000, 100000, 2)}},
        {"silent after 40 %: the rest asked for",
         {Reply{.body = kBody, .headers = {etag}, .stallAfter = 40000, .ranges = true}, Reply{.body = kBody, .headers = {etag}, .ranges = true}},
         kBody, {" ", resumed}, {kStalled, Interrupted(40000, 100000, 2)}},
        {"cut with only a weak ETag: started over",
         {Reply{.body = kBody, .headers = {{"ETag", "W/\"v1\""}}, .cutAfter = 40000, .ranges = true}, Reply{.body = kBody, .ranges = true}},
         kBody, {" ", " "}, {Interrupted(40000, 100000, 2)}},
        {"changed since: the server sends it whole, started over with it",
         {Reply{.body = kBody, .headers = {etag}, .cutAfter = 40000, .ranges = true},
          Reply{.body = kChanged, .headers = {etag2}, .ranges = true}},
         kChanged, {" ", resumed}, {Interrupted(40000, 100000, 2)}},
        {"changed, then cut again: the rest asked for with the new ETag",
         {Reply{.body = kBody, .headers = {etag}, .cutAfter = 40000, .ranges = true},
          Reply{.body = kChanged, .headers = {etag2}, .cutAfter = 50000, .ranges = true},
          Reply{.body = kChanged, .headers = {etag2}, .ranges = true}},
         kChanged, {" ", resumed, "bytes=50000- \"v2\""}, {Interrupted(40000, 100000, 2), Interrupted(50000, 120000, 3)}},
        {"changed, and shorter than what had arrived: nothing of the old left",
         {Reply{.body = kBody, .headers = {etag}, .cutAfter = 60000, .ranges = true},
          Reply{.body = kShorter, .headers = {etag2}, .ranges = true}},
         kShorter, {" ", "bytes=60000- \"v1\""}, {Interrupted(60000, 100000, 2)}},
        {"a cache splices another version's rest: started over with a plain GET",
         {Reply{.body = kBody, .headers = {etag}, .cutAfter = 40000, .ranges = true},
          Reply{.status = 206, .body = kChanged.substr(40000), .headers = {etag2}, .contentRange = "bytes 40000-119999/120000"},
          Reply{.body = kChanged, .headers = {etag2}, .ranges = true}},
         kChanged, {" ", resumed, " "}, {Interrupted(40000, 100000, 2), kOtherVersion, Interrupted(40000, 100000, 3)}},
        {"a resumed try keeps its Range and If-Range across a redirect",
         {Reply{.body = kBody, .headers = {etag}, .cutAfter = 40000, .ranges = true},
          Reply{.status = 302, .headers = {{"Location", "/mirror"}}}},
         kBody, {" ", resumed, resumed}, {Interrupted(40000, 100000, 2)},
         {Reply{.body = kBody, .headers = {etag}, .ranges = true}}},
        {"a redirect to an intranet name: failed, not tried again",
         {Reply{.status = 302, .headers = {{"Location", "http://corvidfiles/setup"}}}},
         "<none>", {" "}, {"RookMini: Redirect refused: 'http://corvidfiles/setup'", kNoData}},
        {"a rest that starts elsewhere: failed, nothing spliced",
         {Reply{.body = kBody, .headers = {etag}, .cutAfter = 40000},
          Reply{.status = 206, .body = kBody.substr(30000), .headers = {etag}, .contentRange = "bytes 30000-99999/100000"}},
         "<none>", {" ", resumed},
         {Interrupted(40000, 100000, 2),
          "RookMini: Download error, the rest sent does not continue the file: 'bytes 30000-99999/100000'", kNoData}},
        {"416 to the rest: failed",
         {Reply{.body = kBody, .headers = {etag}, .cutAfter = 40000}, Reply{.status = 416}},
         "<none>", {" ", resumed}, {Interrupted(40000, 100000, 2), "416", kNoData}},
        {"cut at every try: failed after the fifth",
         {Reply{.body = kBody, .cutAfter = 40000}}, "<none>", {" ", " ", " ", " ", " "},
         Lines{Interrupted(40000, 100000, 2), Interrupted(40000, 100000, 3), Interrupted(40000, 100000, 4),
               Interrupted(40000, 100000, 5), kShort, std::string(kShort) + "\n"} + kFailedTail},
        {"silent from the start: failed, not tried again",
         {Reply{.body = kBody, .stallAfter = 0}}, "<none>", {" "}, Lines{kStalled} + kFailedTail},
        {"empty", {Reply{}}, "<none>", {" "}, {kZero, std::string(kZero) + "\n", kNoData}},
        {"404: failed, not tried again", {Reply{.status = 404}}, "<none>", {" "}, {"404", kNoData}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Download d;
        d.server.Serve("/setup", c.replies);
        d.server.Serve("/mirror", c.mirror);
        DebugLines lines;
        EXPECT_EQ(0u, DownloadWorker(&d.job));
        d.server.Unstall();

        EXPECT_EQ(c.installed != "<none>", d.job.saved);
        EXPECT_TRUE(SameBytes(c.installed, Read(d.installer)));
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

TEST(DownloadWorker, CancelEndsItAtOnceAndLeavesNothing)
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
        Download d;
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
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(d.installer.c_str()));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(d.partial.c_str()));
        EXPECT_EQ(c.lines, lines.Lines());
    }
}

namespace {

// Stands in for the progress dialog on a thread of its own: it answers each
// sign-in the worker hands it from a script, as a user at the prompt would,
// giving WinINet the user name and password on OK.
struct PromptDesk {
    struct Answer {
        DWORD answer;
        const wchar_t* user;
        const wchar_t* password;
        bool cancelDownload;  // the download's Cancel instead of an answer
    };
    DownloadJob* job;
    std::vector<Answer> answers;
    size_t next = 0;
    HWND window = nullptr;
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread;

    PromptDesk(DownloadJob* j, std::vector<Answer> a) : job(j), answers(std::move(a))
    {
        thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        WaitForSingleObject(ready, 10000);
        job->dialog = window;
    }
    ~PromptDesk()
    {
        PostMessageW(window, WM_CLOSE, 0, 0);
        WaitForSingleObject(thread, 10000);
        CloseHandle(thread);
        CloseHandle(ready);
    }
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        PromptDesk* desk = reinterpret_cast<PromptDesk*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (message == WM_DOWNLOAD_SIGN_IN && desk) {
            // A prompt beyond the script: answered as one that cannot help.
            Answer a = {ERROR_INTERNET_INTERNAL_ERROR, L"", L"", false};
            if (desk->next < desk->answers.size())
                a = desk->answers[desk->next];
            ++desk->next;
            if (a.cancelDownload) {
                SetEvent(desk->job->cancel);
                return 0;
            }
            if (a.answer == ERROR_INTERNET_FORCE_RETRY) {
                HINTERNET request = desk->job->signInRequest;
                InternetSetOptionW(request, INTERNET_OPTION_PROXY_USERNAME,
                                   const_cast<wchar_t*>(a.user), wcslen(a.user));
                InternetSetOptionW(request, INTERNET_OPTION_PROXY_PASSWORD,
                                   const_cast<wchar_t*>(a.password), wcslen(a.password));
            }
            desk->job->signInAnswer = a.answer;
            SetEvent(desk->job->signedIn);
            return 0;
        }
        if (message == WM_DESTROY)
            PostQuitMessage(0);
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    static DWORD WINAPI Run(LPVOID self)
    {
        PromptDesk* desk = static_cast<PromptDesk*>(self);
        WNDCLASSW type = {};
        type.lpfnWndProc = Proc;
        type.hInstance = GetModuleHandleW(nullptr);
        type.lpszClassName = L"RookMiniPromptDesk";
        RegisterClassW(&type);
        desk->window = CreateWindowW(type.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     type.hInstance, nullptr);
        SetWindowLongPtrW(desk->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(desk));
        SetEvent(desk->ready);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0)
            DispatchMessageW(&msg);
        return 0;
    }
};

}  // namespace

TEST(DownloadWorker, SignsInToAProxyThatAsks)
{
    const DWORD kOk = ERROR_INTERNET_FORCE_RETRY;
    const std::string basic = "Basic realm=\"RookMini test proxy\"";
    const char kRefused[] = "RookMini: Proxy sign-in refused.";
    struct Case {
        const char* label;
        std::string challenge;
        std::vector<PromptDesk::Answer> answers;
        std::string installed;
        int prompts;
        Lines lines;
        std::vector<Reply> replies = {Reply{.body = kBody}};
    };
    const std::pair<std::string, std::string> etag = {"ETag", "\"v1\""};
    // clang-format off
    const Case cases[] = {
        {"signed in: sent again, and on", basic, {{kOk, L"user", L"secret", false}}, kBody, 1, {}},
        {"a wrong password, then the right one", basic,
         {{kOk, L"user", L"wrong", false}, {kOk, L"user", L"secret", false}}, kBody, 2, {}},
        {"wrong three times: refused", basic,
         {{kOk, L"user", L"wrong", false}, {kOk, L"user", L"wrong", false}, {kOk, L"user", L"wrong", false}},
         "<none>", 3, {kRefused, kNoData}},
        {"the prompt cancelled", basic, {{ERROR_CANCELLED, L"", L"", false}}, "<none>", 1,
         {"RookMini: Proxy sign-in cancelled.", kNoData}},
        {"no challenge: one prompt, then refused", "", {{kOk, L"user", L"secret", false}}, "<none>", 1,
         {kRefused, kNoData}},
        {"a drop after the sign-in: the retry needs none", basic, {{kOk, L"user", L"secret", false}},
         kBody, 1, {Interrupted(40000, 100000, 2)},
         {Reply{.body = kBody, .headers = {etag}, .cutAfter = 40000, .ranges = true},
          Reply{.body = kBody, .headers = {etag}, .ranges = true}}},
        {"the download cancelled while the prompt waits", basic, {{0, L"", L"", true}}, "<none>", 1,
         Lines{"RookMini: Download canceled."} + kFailedTail},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Download d;
        d.server.BecomeProxy();
        d.server.RequireProxySignIn("user", "secret", c.challenge);
        d.server.Serve("/setup", c.replies);
        std::wstring url = L"http://www.corvidapp.example/setup";
        d.job.url = url.c_str();
        DebugLines lines;
        {
            PromptDesk desk(&d.job, c.answers);
            DownloadWorker(&d.job);
        }
        EXPECT_EQ(c.prompts, d.job.prompts);
        EXPECT_TRUE(SameBytes(c.installed, Read(d.installer)));
        EXPECT_EQ(c.lines, lines.Lines());
        std::vector<loopback::Request> requests = d.server.Requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ("", requests[0].proxyAuthorization);
        if (c.installed != "<none>") {
            EXPECT_EQ("Basic dXNlcjpzZWNyZXQ=", requests.back().proxyAuthorization);
        }
    }
}
