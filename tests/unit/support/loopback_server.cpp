// The scripted loopback server. One thread accepts, one more per connection
// answers its requests in turn. Sockets are non-blocking and every wait is a
// short select that also watches for the server's end, so a stalled reply, a
// client that stops reading or an idle kept-alive connection never holds up
// the destructor.
#include "loopback_server.h"

#include <winsock2.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace loopback {

static const wchar_t kSettings[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
static const wchar_t* const kProxyValues[] = {L"ProxyEnable", L"ProxyServer", L"ProxyOverride"};

struct State {
    struct Route {
        std::vector<Reply> replies;
        size_t served = 0;  // requests answered so far
    };
    struct Saved {
        bool present = false;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    SOCKET listener = INVALID_SOCKET;
    int port = 0;
    std::thread acceptor;
    std::vector<std::thread> connections;
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::atomic<bool> stopping{false};
    unsigned unstalls = 0;
    std::map<std::string, Route> routes;
    std::vector<Request> requests;
    std::vector<Saved> proxy;  // the values BecomeProxy replaced, empty if never called
    std::string signIn;        // "Basic <user:password in base64>" a proxy wants, or empty
    std::string challenge;     // its Proxy-Authenticate
};

namespace {

// Waits until the socket can be read (or written); false once the server ends.
bool WaitFor(State& s, SOCKET sock, bool write)
{
    while (!s.stopping) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(sock, &set);
        timeval tick = {0, 20000};
        int n = select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &tick);
        if (n != 0)
            return n > 0;
    }
    return false;
}

// Sends everything; false if the client went away or the server ends.
bool SendAll(State& s, SOCKET sock, const char* data, size_t size)
{
    while (size > 0 && WaitFor(s, sock, true)) {
        int n = send(sock, data, static_cast<int>(std::min<size_t>(size, 65536)), 0);
        if (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)
            return false;
        data += std::max(n, 0);
        size -= std::max(n, 0);
    }
    return size == 0;
}

// Reads up to the blank line that ends a request's head; false on close.
// Request bodies are not read: WinINet's GETs have none.
bool ReadHead(State& s, SOCKET sock, std::string& buffer, std::string& head)
{
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
        char chunk[4096];
        int n = WaitFor(s, sock, false) ? recv(sock, chunk, sizeof chunk, 0) : 0;
        if (n == 0 || (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK))
            return false;
        buffer.append(chunk, std::max(n, 0));
    }
    head = buffer.substr(0, end + 2);
    buffer.erase(0, end + 4);
    return true;
}

Request Parse(const std::string& head)
{
    Request r;
    size_t lineEnd = head.find("\r\n");
    size_t space = head.find(' ');
    r.method = head.substr(0, space);
    r.target = head.substr(space + 1, head.rfind(' ', lineEnd) - space - 1);
    r.rawHeaders = head.substr(lineEnd + 2);
    std::pair<const char*, std::string*> wanted[] = {
        {"range:", &r.range},
        {"if-range:", &r.ifRange},
        {"user-agent:", &r.userAgent},
        {"proxy-authorization:", &r.proxyAuthorization}};
    for (size_t at = lineEnd + 2, end; at < head.size(); at = end + 2) {
        end = head.find("\r\n", at);
        for (auto& [name, field] : wanted) {
            if (_strnicmp(head.c_str() + at, name, strlen(name)) != 0)
                continue;
            size_t start = head.find_first_not_of(' ', at + strlen(name));
            *field = head.substr(start, end - start);
        }
    }
    return r;
}

// The path and query of a target, also of an absolute one sent to a proxy.
std::string PathOf(const std::string& target)
{
    if (target.compare(0, 7, "http://") != 0)
        return target;
    size_t slash = target.find('/', 7);
    return slash == std::string::npos ? "/" : target.substr(slash);
}

// What an If-Range must equal: the reply's ETag, else its Last-Modified.
std::string Validator(const Reply& reply)
{
    std::string lastModified;
    for (const auto& [name, value] : reply.headers) {
        if (_stricmp(name.c_str(), "ETag") == 0)
            return value;
        if (_stricmp(name.c_str(), "Last-Modified") == 0)
            lastModified = value;
    }
    return lastModified;
}

// Records the request and picks its reply.
Reply Choose(State& s, const Request& request)
{
    std::lock_guard<std::mutex> lock(s.mutex);
    s.requests.push_back(request);
    if (!s.signIn.empty() && request.proxyAuthorization != s.signIn) {
        Reply refused{.status = 407, .body = "sign in first\n"};
        if (!s.challenge.empty())
            refused.headers.push_back({"Proxy-Authenticate", s.challenge});
        return refused;
    }
    auto route = s.routes.find(PathOf(request.target));
    if (route == s.routes.end() || route->second.replies.empty())
        return Reply{.status = 404, .body = "no such resource\n"};
    State::Route& r = route->second;
    return r.replies[std::min(r.served++, r.replies.size() - 1)];
}

// Sends one response; true if the connection can carry another, that is when
// the announced length is what was sent.
bool Answer(State& s, SOCKET sock, const Request& request, const Reply& reply)
{
    std::unique_lock<std::mutex> lock(s.mutex);
    unsigned unstallsBefore = s.unstalls;
    lock.unlock();

    int status = reply.status;
    std::string contentRange = reply.contentRange;
    std::string body = reply.body;
    unsigned long long from;
    char dash, more;  // only "bytes=N-" counts
    if (reply.ranges && sscanf(request.range.c_str(), "bytes=%llu%c%c", &from, &dash, &more) == 2 &&
        dash == '-' && (request.ifRange.empty() || request.ifRange == Validator(reply))) {
        std::string size = std::to_string(body.size());
        status = from < body.size() ? 206 : 416;
        contentRange = status == 416 ? "bytes */" + size
                                     : "bytes " + std::to_string(from) + "-" +
                                           std::to_string(body.size() - 1) + "/" + size;
        body.erase(0, std::min<size_t>(from, body.size()));
    }
    std::string length = reply.contentLengthText;
    if (length.empty() && reply.sendLength)
        length = std::to_string(reply.announce >= 0 ? reply.announce : body.size());
    std::string head = "HTTP/1.1 " + std::to_string(status) + " Scripted\r\n";
    if (!length.empty())
        head += "Content-Length: " + length + "\r\n";
    if (!contentRange.empty())
        head += "Content-Range: " + contentRange + "\r\n";
    for (const auto& [name, value] : reply.headers)
        head += name + ": " + value + "\r\n";
    head += "\r\n";
    if (!SendAll(s, sock, head.data(), head.size()))
        return false;

    size_t end = std::min({body.size(), reply.cutAfter, reply.stallAfter});
    size_t piece = reply.paceBytes > 0 ? reply.paceBytes : std::max<size_t>(end, 1);
    for (size_t at = 0; at < end;) {
        size_t n = std::min(piece, end - at);
        if (!SendAll(s, sock, body.data() + at, n))
            return false;
        at += n;
        if (at < end && reply.paceMs > 0) {
            lock.lock();
            s.wake.wait_for(lock, std::chrono::milliseconds(reply.paceMs),
                            [&] { return s.stopping.load(); });
            lock.unlock();
        }
    }
    if (reply.stallAfter < body.size() && reply.stallAfter < reply.cutAfter) {
        lock.lock();
        s.wake.wait(lock, [&] { return s.stopping || s.unstalls != unstallsBefore; });
        return false;
    }
    return end == body.size() && length == std::to_string(body.size());
}

void Converse(State& s, SOCKET sock)
{
    std::string buffer, head;
    while (ReadHead(s, sock, buffer, head)) {
        Request request = Parse(head);
        if (!Answer(s, sock, request, Choose(s, request)))
            break;
    }
    shutdown(sock, SD_SEND);
    closesocket(sock);
}

void Accept(State& s)
{
    while (WaitFor(s, s.listener, false)) {
        SOCKET sock = accept(s.listener, nullptr, nullptr);
        if (sock == INVALID_SOCKET)
            continue;
        u_long nonBlocking = 1;
        ioctlsocket(sock, FIONBIO, &nonBlocking);
        BOOL noDelay = TRUE;  // a head and a body sent apart would wait on delayed ACKs
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&noDelay),
                   sizeof noDelay);
        std::lock_guard<std::mutex> lock(s.mutex);
        s.connections.emplace_back(Converse, std::ref(s), sock);
    }
}

// Winsock is started once for the whole test program and never cleaned up.
// A WSACleanup that brings Wine's count of start-ups back to 0 closes every
// socket of the process, WinINet's too, and the count is kept without a
// lock, so a server's clean-up racing the WSAStartup that WinINet makes on
// a thread of its own could bring it there while WinINet holds sockets.
void StartWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        abort();
}

}  // namespace

Server::Server() : state_(new State)
{
    StartWinsock();
    State& s = *state_;
    s.listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    u_long nonBlocking = 1;
    if (bind(s.listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(s.listener, SOMAXCONN) != 0 ||
        getsockname(s.listener, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        ioctlsocket(s.listener, FIONBIO, &nonBlocking) != 0) {
        abort();  // no server, no test worth running
    }
    s.port = ntohs(address.sin_port);
    s.acceptor = std::thread(Accept, std::ref(s));
}

Server::~Server()
{
    State& s = *state_;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.stopping = true;
        s.wake.notify_all();
    }
    s.acceptor.join();
    for (std::thread& connection : s.connections)
        connection.join();
    closesocket(s.listener);
    HKEY key;
    if (!s.proxy.empty() &&
        RegOpenKeyExW(HKEY_CURRENT_USER, kSettings, 0, KEY_SET_VALUE, &key) == 0) {
        for (size_t i = 0; i < s.proxy.size(); ++i) {
            const State::Saved& old = s.proxy[i];
            if (old.present)
                RegSetValueExW(key, kProxyValues[i], 0, old.type, old.data.data(),
                               static_cast<DWORD>(old.data.size()));
            else
                RegDeleteValueW(key, kProxyValues[i]);
        }
        RegCloseKey(key);
    }
}

std::wstring Server::Url(const char* path) const
{
    return L"http://127.0.0.1:" + std::to_wstring(state_->port) +
           std::wstring(path, path + strlen(path));
}

void Server::Serve(const std::string& path, std::vector<Reply> replies)
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->routes[path] = State::Route{std::move(replies), 0};
}

std::vector<Request> Server::Requests() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->requests;
}

void Server::Unstall()
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    ++state_->unstalls;
    state_->wake.notify_all();
}

void Server::BecomeProxy()
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettings, 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr) != 0) {
        abort();
    }
    if (state_->proxy.empty()) {  // a second call keeps the first call's originals
        for (const wchar_t* name : kProxyValues) {
            State::Saved old;
            DWORD size = 0;
            old.present = RegQueryValueExW(key, name, nullptr, &old.type, nullptr, &size) == 0;
            old.data.resize(size);
            if (old.present)
                RegQueryValueExW(key, name, nullptr, nullptr, old.data.data(), &size);
            state_->proxy.push_back(old);
        }
    }
    DWORD enable = 1;
    std::wstring server = L"127.0.0.1:" + std::to_wstring(state_->port);
    RegSetValueExW(key, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<BYTE*>(&enable), 4);
    RegSetValueExW(key, L"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                   static_cast<DWORD>((server.size() + 1) * sizeof(wchar_t)));
    RegDeleteValueW(key, L"ProxyOverride");
    RegCloseKey(key);
}

void Server::RequireProxySignIn(const std::string& user, const std::string& password,
                                const std::string& challenge)
{
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string plain = user + ":" + password, coded;
    for (size_t at = 0; at < plain.size(); at += 3) {
        size_t n = std::min<size_t>(3, plain.size() - at);
        unsigned bits = 0;
        for (size_t k = 0; k < 3; ++k)
            bits = bits << 8 | (k < n ? static_cast<unsigned char>(plain[at + k]) : 0u);
        for (size_t k = 0; k < 4; ++k)
            coded += k <= n ? kDigits[(bits >> (18 - 6 * k)) & 63] : '=';
    }
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->signIn = "Basic " + coded;
    state_->challenge = challenge;
}

}  // namespace loopback
