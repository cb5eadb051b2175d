// The installer download: the body is written to the partial file piece by
// piece as it arrives, so memory stays flat whatever the size. A drop after
// some bytes have arrived is not the end: the download is tried again, up to
// five tries in all with growing pauses, and resumes where the file ends
// when the server can prove with a validator that it still serves the same
// resource; otherwise it starts over. Cancel ends it within a pause or a
// wait, as before.
#include "download/installer_stream.h"

#include "download/partial_file.h"
#include "download/proxy_sign_in.h"
#include "download/resume.h"

#include <wchar.h>

// What carries over from one try to the next.
struct Transfer {
    DWORD received;      // bytes in the partial file
    DWORD total;         // the resource's size, 0 when unknown
    HttpResponse began;  // the response the file began with; its validator
                         // asks for the rest (cleared: a retry asks for all)
    bool arrived;        // some bytes have arrived in any try
    bool answered;       // the last try got a response
    bool lost;           // the dialog says the connection was lost
    bool openPending;    // a try's open was given up pending: the session stays
};

// How one try ended.
enum TryEnd { kTryWhole, kTryInterrupted, kTryFailed, kTryCancelled, kTryWriteFailed };

static void ReportProgress(DownloadJob* job, const Transfer& transfer, bool always)
{
    DWORD now = GetTickCount();
    if (!always && now - job->lastReport < kProgressInterval)
        return;
    job->lastReport = now;
    PostMessageW(job->dialog, WM_DOWNLOAD_PROGRESS, transfer.received, transfer.total);
}

// Waits out a pause before the next try; true when Cancel ended it.
static bool PauseUnlessCancelled(DownloadJob* job, DWORD pause)
{
    if (!job->cancel) {
        Sleep(pause);
        return false;
    }
    return WaitForSingleObject(job->cancel, pause) == WAIT_OBJECT_0;
}

// Takes the response of a try: the first one must be a 200; a retry's answer
// is judged. Answers kTryWhole when the body is to be read (the file ready
// for it), or why the download cannot go on.
static TryEnd TakeResponse(DownloadJob* job, const HttpResponse& response, DWORD asked, bool first,
                           Transfer& transfer)
{
    RetryAnswer answer = first ? (response.status == 200 ? kStartOver : kGiveUp)
                               : JudgeRetryAnswer(response, asked, transfer.total, transfer.began);
    if (answer == kRefetchWhole) {
        OutputDebugStringW(L"RookMini: The rest sent is of another version, starting over.");
        ZeroMemory(&transfer.began, sizeof(transfer.began));
        return kTryInterrupted;
    }
    if (answer == kGiveUp) {
        if (response.status == 206)
            DebugLog(L"RookMini: Download error, the rest sent does not continue the file: "
                     L"'%s'",
                     response.contentRange);
        else
            LogBadStatus(job->url, response.status);
        return kTryFailed;
    }
    if (answer == kAppendRest) {
        DWORD firstByte, lastByte;
        ParseContentRange(response.contentRange, &firstByte, &lastByte, &transfer.total);
        return kTryWhole;
    }
    if (transfer.received != 0 && !EmptyPartialFile(job))
        return kTryWriteFailed;
    transfer.received = 0;
    transfer.total = response.hasLength ? response.length : 0;
    transfer.began = response;
    ReportProgress(job, transfer, true);
    return kTryWhole;
}

// One try: the request (for the rest, when resuming) and its body, in the
// download's session.
static TryEnd Try(DownloadJob* job, HINTERNET session, bool first, Transfer& transfer)
{
    // The rest is asked for only where the server can be held to the same
    // resource; without a validator a retry starts over.
    WCHAR validator[kHeaderChars];
    ChooseValidator(transfer.began, validator);
    WCHAR headers[64 + kHeaderChars];
    DWORD asked = 0;
    if (!first && transfer.received != 0 && validator[0] != L'\0') {
        asked = transfer.received;
        wsprintfW(headers, L"Range: bytes=%u-\r\nIf-Range: %s\r\n", asked, validator);
    }

    HttpGet get;
    InitHttpGet(&get);
    get.internet = session;
    get.cancel = job->cancel;
    get.silence = job->silence;
    HttpStep step = OpenHttpGet(&get, job->url, asked ? headers : nullptr);
    if (step == kHttpData)
        step = SignInToProxy(job, &get);
    transfer.answered = step == kHttpData;
    TryEnd end = step == kHttpData      ? TakeResponse(job, get.response, asked, first, transfer)
                 : step == kHttpRefused ? kTryFailed
                                        : kTryInterrupted;
    if (end == kTryWhole) {
        end = kTryInterrupted;
        const BYTE* data;
        DWORD count;
        while ((step = ReadHttpGet(&get, &data, &count)) == kHttpData) {
            transfer.arrived = true;
            if (transfer.lost) {
                transfer.lost = false;  // bytes flow again
                PostMessageW(job->dialog, WM_DOWNLOAD_RETRYING, 0, 0);
            }
            if (count > MAXDWORD - transfer.received) {
                OutputDebugStringW(L"RookMini: Download error, larger than 4 GiB.");
                step = kHttpFailed;
                end = kTryFailed;
                break;
            }
            if (!AppendToPartialFile(job, data, count)) {
                end = kTryWriteFailed;
                break;
            }
            transfer.received += count;
            ReportProgress(job, transfer, false);
        }
        if (step == kHttpEnded)
            end = transfer.total == 0 || transfer.received == transfer.total ? kTryWhole
                                                                             : kTryInterrupted;
    }
    CloseHttpGet(&get);
    transfer.openPending = transfer.openPending || get.openPending;
    if (step == kHttpCancelled || (step == kHttpSilent && transfer.answered))
        LogStepEnd(step);
    return step == kHttpCancelled ? kTryCancelled : end;
}

// The tries of a download, all in one session.
static StreamEnd StreamInSession(DownloadJob* job, HINTERNET session, Transfer& transfer)
{
    for (int tries = 1;; ++tries) {
        TryEnd end = Try(job, session, tries == 1, transfer);
        if (end == kTryWhole && transfer.received != 0) {
            ReportProgress(job, transfer, true);
            return kStreamWhole;
        }
        if (end == kTryWhole) {
            LogEmptyBody();
            return kStreamFailed;
        }
        if (end == kTryWriteFailed)
            return kStreamWriteFailed;
        if (end == kTryInterrupted && TryAgain(transfer.arrived, tries)) {
            if (transfer.total != 0)
                DebugLog(L"RookMini: Download interrupted at %u of %u bytes, trying again "
                         L"(%i of %i).",
                         transfer.received, transfer.total, tries + 1, kDownloadTries);
            else
                DebugLog(L"RookMini: Download interrupted at %u bytes, trying again (%i of %i).",
                         transfer.received, tries + 1, kDownloadTries);
            transfer.lost = true;
            PostMessageW(job->dialog, WM_DOWNLOAD_RETRYING, tries + 1, 0);
            if (!PauseUnlessCancelled(job, PauseBeforeTry(tries + 1, job->pauseUnit)))
                continue;
            LogStepEnd(kHttpCancelled);
            end = kTryCancelled;
        }
        // A response that was refused has said why; a request that could not
        // be made has said so.
        if (end == kTryFailed || (end == kTryInterrupted && !transfer.answered))
            return kStreamFailed;
        if (end == kTryInterrupted && transfer.total != 0 && transfer.received != 0)
            LogShortBody();
        LogDownloadFailed();
        return end == kTryCancelled ? kStreamCancelled : kStreamFailed;
    }
}

StreamEnd StreamInstaller(DownloadJob* job)
{
    // One session for every try: a proxy's sign-in lasts as long as it.
    HINTERNET session = OpenHttpSession(job->silence);
    Transfer transfer = {};
    StreamEnd end = session ? StreamInSession(job, session, transfer) : kStreamFailed;
    if (!transfer.openPending)
        CloseHttpSession(session);
    return end;
}
