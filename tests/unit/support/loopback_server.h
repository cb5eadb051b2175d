// A scripted HTTP/1.1 server on 127.0.0.1 for unit tests that drive the real
// WinINet: each path answers with a list of replies that can leave out or
// misstate Content-Length, cut or stall the body, pace it, and honour or
// botch "Range: bytes=N-". It can also stand in as the per-user proxy, so
// that URLs on any host name reach it, and as a proxy that wants a sign-in.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace loopback {

// One response. The connection stays open for the next request only when
// the Content-Length sent is the number of body bytes sent; after a cut, a
// stall, no length or a wrong one the server closes it.
struct Reply {
    int status = 200;
    std::string body;  // the whole resource
    // Content-Length: the body bytes sent, or `announce` if that is >= 0;
    // contentLengthText, if set, is sent as it is, even without sendLength.
    bool sendLength = true;
    long long announce = -1;
    std::string contentLengthText;
    std::vector<std::pair<std::string, std::string>> headers;  // e.g. {"ETag", "\"v1\""}
    // Body bytes of this response after which the server closes, or sends
    // nothing more until Unstall() or its end (then closes).
    size_t cutAfter = std::string::npos;
    size_t stallAfter = std::string::npos;
    // The body in pieces of paceBytes with paceMs between them.
    size_t paceBytes = 0;
    DWORD paceMs = 0;
    // "Range: bytes=N-" without If-Range, or with one equal to the ETag (else
    // Last-Modified): 206 with the rest, or 416 if N is not below the size;
    // any other request gets the whole body with `status`.
    bool ranges = false;
    std::string contentRange;  // non-empty: sent as it is, with status as given
};

// A request as it arrived; target as sent (absolute form through the proxy).
struct Request {
    std::string method, target, range, ifRange, userAgent, proxyAuthorization;
    std::string rawHeaders;  // the header lines after the request line, CRLF-ended
};

struct State;  // sockets, threads and the script, private to the server

class Server {
  public:
    Server();  // listens on 127.0.0.1, on a port the system picks
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    std::wstring Url(const char* path) const;  // L"http://127.0.0.1:<port><path>"
    // The n-th request for path gets replies[n]; the last one repeats. Paths
    // match the target's path and query exactly, also after the scheme, host
    // and port of a proxy's absolute target; other paths get a 404.
    void Serve(const std::string& path, std::vector<Reply> replies);
    std::vector<Request> Requests() const;  // in order of arrival
    void Unstall();                         // responses stalled so far end: their connections close
    // Makes this server the per-user proxy (HKCU Internet Settings, no
    // bypass) until the destructor puts the values back. WinINet reads them
    // in InternetOpen: sessions opened before this call stay direct.
    void BecomeProxy();
    // As a proxy, answers every request that does not carry Basic credentials
    // of this user and password with 407 and the challenge as its
    // Proxy-Authenticate header (none when empty).
    void RequireProxySignIn(const std::string& user, const std::string& password,
                            const std::string& challenge);

  private:
    std::unique_ptr<State> state_;
};

}  // namespace loopback
