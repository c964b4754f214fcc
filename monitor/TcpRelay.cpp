// SPDX-License-Identifier: GPL-3.0-or-later
// The monitor's Modbus TCP relay.
#include "TcpRelay.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "framing/MbapFramer.h"

namespace zorp::monitor {

using framing::Direction;
using framing::MbapFramer;
using framing::Output;
using framing::Side;

struct TcpRelay::Conn {
    int id = 0;
    int client = -1;
    int server = -1;
    bool connecting = true;
    bool closed = false;
    MbapFramer up{Side::Listener}; // master to slave: requests
    MbapFramer down{Side::Master}; // slave to master: answers
    std::string toServer, toClient;
};

namespace {
// Bytes held for a side that does not read before the connection is dropped.
constexpr size_t kMaxQueued = 1 << 20;

bool SplitHostPort(const std::string& text, std::string& host, std::string& port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        host.clear();
        port = text;
    } else {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.size() > 1 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    }
    return !port.empty() && port.find_first_not_of("0123456789") == std::string::npos && port.size() <= 5 &&
           std::stoi(port) <= 65535;
}

void NoDelay(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}
} // namespace

TcpRelay::TcpRelay(BusMonitor& monitor) : FMonitor(monitor) {}

TcpRelay::~TcpRelay() { Stop(); }

bool TcpRelay::Start(const std::string& listen, const std::string& target, std::string& error)
{
    std::string host, port;
    if (!SplitHostPort(target, host, port) || host.empty()) {
        error = "the target must be HOST:PORT, not '" + target + "'";
        return false;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &res); rc != 0 || !res) {
        error = "cannot resolve " + target + ": " + ::gai_strerror(rc);
        return false;
    }
    FTarget.assign(reinterpret_cast<const uint8_t*>(res->ai_addr),
                   reinterpret_cast<const uint8_t*>(res->ai_addr) + res->ai_addrlen);
    FFamily = res->ai_family;
    ::freeaddrinfo(res);

    if (!SplitHostPort(listen, host, port)) {
        error = "the listening address must be [ADDRESS:]PORT, not '" + listen + "'";
        return false;
    }
    hints = {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    if (const int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &res); rc != 0 || !res) {
        error = "cannot resolve " + listen + ": " + ::gai_strerror(rc);
        return false;
    }
    FListen = ::socket(res->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (FListen >= 0) ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (FListen < 0 || ::bind(FListen, res->ai_addr, res->ai_addrlen) != 0 || ::listen(FListen, 64) != 0) {
        error = "cannot listen on " + listen + ": " + std::strerror(errno);
        ::freeaddrinfo(res);
        Stop();
        return false;
    }
    ::freeaddrinfo(res);
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
    char text[INET6_ADDRSTRLEN] = {};
    unsigned p = 0;
    if (a.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        p = ntohs(v4->sin_port);
    } else {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        p = ntohs(v6->sin6_port);
    }
    FListenText = std::string(text) + ":" + std::to_string(p);
    return true;
}

std::string TcpRelay::ListenAddress() const { return FListenText; }

void TcpRelay::AddFds(std::vector<pollfd>& fds)
{
    FPolled.clear();
    fds.push_back({FListen, POLLIN, 0});
    for (auto& c : FConns) {
        FPolled.push_back(c.get());
        const short cev = short((c->connecting || c->toServer.size() > kMaxQueued ? 0 : POLLIN) |
                                (c->toClient.empty() ? 0 : POLLOUT));
        const short sev = short(c->connecting ? POLLOUT
                                              : ((c->toClient.size() > kMaxQueued ? 0 : POLLIN) |
                                                 (c->toServer.empty() ? 0 : POLLOUT)));
        fds.push_back({c->client, cev, 0});
        fds.push_back({c->server, sev, 0});
    }
}

void TcpRelay::Accept()
{
    for (;;) {
        const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        auto c = std::make_unique<Conn>();
        c->id = FNextId++;
        c->client = fd;
        NoDelay(fd);
        c->server = ::socket(FFamily, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c->server < 0) {
            ::close(fd);
            continue;
        }
        NoDelay(c->server);
        const int rc = ::connect(c->server, reinterpret_cast<const sockaddr*>(FTarget.data()), socklen_t(FTarget.size()));
        if (rc != 0 && errno != EINPROGRESS) {
            ::close(c->server);
            ::close(fd);
            continue;
        }
        c->connecting = rc != 0;
        FConns.push_back(std::move(c));
    }
}

bool TcpRelay::Flush(int fd, std::string& out)
{
    while (!out.empty()) {
        const ssize_t n = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        if (n > 0) out.erase(0, size_t(n));
        else if (n < 0 && errno == EINTR) continue;
        else return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

bool TcpRelay::Pump(Conn& c, bool fromClient)
{
    uint8_t buf[8192];
    const int fd = fromClient ? c.client : c.server;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    const int64_t now = BusMonitor::NowNs();
    std::string& out = fromClient ? c.toServer : c.toClient;
    out.append(reinterpret_cast<const char*>(buf), size_t(n));
    MbapFramer& f = fromClient ? c.up : c.down;
    const Direction dir = fromClient ? Direction::Request : Direction::Answer;
    f.Feed(buf, size_t(n), now);
    for (;;) {
        const Output o = f.Next();
        if (o.what == Output::What::Nothing) break;
        if (o.what == Output::What::Frame) FMonitor.OnTcpFrame(c.id, dir, o.adu, now);
        else FMonitor.OnTcpFault(c.id, dir, o.bytes, now);
    }
    return Flush(fromClient ? c.server : c.client, out) || c.connecting;
}

void TcpRelay::Handle(const std::vector<pollfd>& fds, size_t first)
{
    if (first < fds.size() && (fds[first].revents & POLLIN)) Accept();
    for (size_t i = 0; i < FPolled.size(); ++i) {
        Conn& c = *FPolled[i];
        const size_t at = first + 1 + 2 * i;
        if (at + 1 >= fds.size()) break;
        const short cev = fds[at].revents, sev = fds[at + 1].revents;
        bool ok = true;
        if (c.connecting && sev) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(c.server, SOL_SOCKET, SO_ERROR, &err, &len);
            ok = err == 0;
            c.connecting = false;
        }
        if (ok && (cev & (POLLIN | POLLHUP | POLLERR))) ok = Pump(c, true);
        if (ok && !c.connecting && (sev & (POLLIN | POLLHUP | POLLERR))) ok = Pump(c, false);
        if (ok && !c.connecting) ok = Flush(c.server, c.toServer) && Flush(c.client, c.toClient);
        if (!ok) Close(c);
    }
    for (size_t i = 0; i < FConns.size();) {
        if (FConns[i]->closed) FConns.erase(FConns.begin() + std::ptrdiff_t(i));
        else ++i;
    }
    FPolled.clear();
}

void TcpRelay::Close(Conn& c)
{
    if (c.closed) return;
    // What the slave still owes the master goes out first, as far as it can.
    if (!c.toClient.empty()) Flush(c.client, c.toClient);
    ::close(c.client);
    ::close(c.server);
    c.closed = true;
    FMonitor.CloseConnection(c.id, BusMonitor::NowNs());
}

void TcpRelay::Stop()
{
    for (auto& c : FConns) Close(*c);
    FConns.clear();
    FPolled.clear();
    if (FListen >= 0) ::close(FListen);
    FListen = -1;
}

} // namespace zorp::monitor
