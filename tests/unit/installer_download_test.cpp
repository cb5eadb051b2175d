// The installer download: the decisions about a retry by table, then the
// real worker with Wine's real WinINet against a loopback server and a real
// partial file: resumption, starting over, giving up, silence, Cancel.
#include "download/download_job.h"
#include "download/installer_stream.h"
#include "download/resume.h"

#include <gtest/gtest.h>

#include "support/debug_lines.h"

#include <string.h>
#include <wchar.h>

#include <string>

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
