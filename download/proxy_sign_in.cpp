// A proxy's sign-in during the installer download. The worker never shows a
// window itself: it hands the request to the dialog, whose thread shows
// Windows' own prompt owned by the dialog, and waits for the answer or for
// Cancel. What the user types stays in WinINet for this process; the
// launcher neither writes it anywhere nor logs it.
#include "download/proxy_sign_in.h"

SignInStep JudgeProxyChallenge(int prompts, bool answerable)
{
    return prompts < (answerable ? kMaxPrompts : 1) ? kSignInPrompt : kSignInRefused;
}

SignInStep JudgePromptAnswer(DWORD answer)
{
    if (answer == ERROR_INTERNET_FORCE_RETRY)
        return kSignInAgain;
    // Windows answers a Cancel with ERROR_CANCELLED; Wine's prompt with 0.
    return answer == ERROR_CANCELLED || answer == ERROR_SUCCESS ? kSignInCancelled : kSignInRefused;
}

// Has the dialog prompt for the request; the prompt's answer, or
// ERROR_CANCELLED when the download was cancelled meanwhile.
static DWORD AskDialog(DownloadJob* job, HINTERNET request)
{
    job->signInRequest = request;
    if (!job->signedIn || !PostMessageW(job->dialog, WM_DOWNLOAD_SIGN_IN, 0, 0))
        return ERROR_INTERNET_INTERNAL_ERROR;
    HANDLE events[2] = {job->signedIn, job->cancel};
    DWORD waited = WaitForMultipleObjects(job->cancel ? 2 : 1, events, FALSE, INFINITE);
    return waited == WAIT_OBJECT_0 ? job->signInAnswer : ERROR_CANCELLED;
}

HttpStep SignInToProxy(DownloadJob* job, HttpGet* get)
{
    HttpStep step = kHttpData;
    while (step == kHttpData && get->response.status == 407) {
        SignInStep next = JudgeProxyChallenge(job->prompts, get->response.answerable);
        if (next == kSignInPrompt) {
            ++job->prompts;
            next = JudgePromptAnswer(AskDialog(job, get->request));
        }
        if (job->cancel && WaitForSingleObject(job->cancel, 0) == WAIT_OBJECT_0)
            return kHttpCancelled;
        if (next != kSignInAgain) {
            OutputDebugStringW(next == kSignInCancelled ? L"RookMini: Proxy sign-in cancelled."
                                                        : L"RookMini: Proxy sign-in refused.");
            return kHttpRefused;
        }
        step = ResendHttpGet(get);
    }
    return step;
}
