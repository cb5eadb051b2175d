// The installer download's side of a proxy that wants a sign-in: what a 407
// leads to, and the prompt handed to the dialog's thread, whose window owns
// it, while the worker waits for the answer or for Cancel.
#pragma once

#include "download/download_job.h"
#include "net/http_get.h"

// Prompts in one run at most; a challenge no sign-in can answer gets one.
const int kMaxPrompts = 3;

enum SignInStep {
    kSignInPrompt,     // ask the user
    kSignInAgain,      // the user signed in: send the request again
    kSignInRefused,    // no sign-in helps: the download fails
    kSignInCancelled,  // the user cancelled the prompt: the download fails
};

// What a 407 leads to after `prompts` prompts in this run: a prompt while
// the limit is not reached (one only for a challenge no sign-in can answer),
// else refused.
SignInStep JudgeProxyChallenge(int prompts, bool answerable);

// What the prompt's answer leads to: OK sends the request again; Cancel,
// Esc or the close box (answered as ERROR_CANCELLED, or by Wine as 0) end
// the download; a prompt that fails cannot help.
SignInStep JudgePromptAnswer(DWORD answer);

// Signs in to the proxy while the GET's response is a 407: prompts through
// the dialog and sends the request again, as often as the rules allow.
// Answers the GET's step afterwards; a refused or cancelled sign-in has
// written its line and answers kHttpRefused, a Cancel of the download
// kHttpCancelled.
HttpStep SignInToProxy(DownloadJob* job, HttpGet* get);
