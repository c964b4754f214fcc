// SPDX-License-Identifier: GPL-3.0-or-later
// Many masters at once against one Modbus TCP server on 127.0.0.1: N
// connections, each reading 10 holding registers in a closed loop (the next
// request when the answer is in), for a number of seconds after a warm-up.
// The same program drives zorp-slave and the libmodbus reference server.
//
//   slave_many_masters PORT MASTERS SECONDS [SERVER_PID]
//
// Prints "tps X" (all transactions a second), "slowest_ratio Y" (the
// slowest master's rate over the mean), "connected N", and with SERVER_PID
// "rss_per_master_kb Z": the server's resident memory once every master
// has connected and been answered, less before any connected, per master.
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

long RssKb(long pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = -1;
    while (in >> key) {
        if (key == "VmRSS:") {
            in >> value;
            return value;
        }
        std::getline(in, key);
    }
    return -1;
}

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Master {
    int fd = -1;
    uint16_t tid = 0;
    size_t got = 0;
    uint8_t in[64];
    long done = 0;
};

constexpr size_t kAnswer = 9 + 20; // header, unit, function, count, 10 registers

bool Send(Master& m)
{
    ++m.tid;
    const uint8_t req[12] = {uint8_t(m.tid >> 8), uint8_t(m.tid), 0, 0, 0, 6, 1, 3, 0, 0, 0, 10};
    return ::send(m.fd, req, sizeof req, MSG_NOSIGNAL) == ssize_t(sizeof req);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s PORT MASTERS SECONDS [SERVER_PID]\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int n = std::atoi(argv[2]);
    const double seconds = std::atof(argv[3]);
    const long pid = argc > 4 ? std::atol(argv[4]) : 0;
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
    const long rssBefore = pid ? RssKb(pid) : 0;
    std::vector<Master> masters(static_cast<size_t>(n));
    const int ep = ::epoll_create1(0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < n; ++i) {
        Master& m = masters[size_t(i)];
        m.fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (m.fd < 0 || ::connect(m.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            std::perror("connect");
            return 1;
        }
        const int one = 1;
        ::setsockopt(m.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::fcntl(m.fd, F_SETFL, O_NONBLOCK);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = uint32_t(i);
        ::epoll_ctl(ep, EPOLL_CTL_ADD, m.fd, &ev);
    }
    for (Master& m : masters)
        Send(m);
    int connected = 0;
    long rssAfter = 0;
    double start = 0, end = 0;
    const double warmUp = 0.5;
    const double begin = Now();
    std::vector<epoll_event> events(static_cast<size_t>(n));
    bool counting = false;
    for (;;) {
        const double now = Now();
        if (!counting && now - begin >= warmUp && connected == n) {
            counting = true;
            start = now;
            for (Master& m : masters)
                m.done = 0;
            if (pid)
                rssAfter = RssKb(pid);
        }
        if (counting && now - start >= seconds) {
            end = now;
            break;
        }
        if (now - begin > warmUp + seconds + 30) {
            std::fprintf(stderr, "only %d of %d masters were answered\n", connected, n);
            return 1;
        }
        const int k = ::epoll_wait(ep, events.data(), n, 100);
        for (int e = 0; e < k; ++e) {
            Master& m = masters[events[size_t(e)].data.u32];
            const ssize_t r = ::recv(m.fd, m.in + m.got, sizeof m.in - m.got, 0);
            if (r <= 0) {
                std::fprintf(stderr, "a master's connection ended\n");
                return 1;
            }
            m.got += size_t(r);
            if (m.got < kAnswer)
                continue;
            if (m.in[0] != uint8_t(m.tid >> 8) || m.in[1] != uint8_t(m.tid) || m.in[7] != 3) {
                std::fprintf(stderr, "a wrong answer\n");
                return 1;
            }
            m.got = 0;
            if (m.done++ == 0 && !counting)
                ++connected;
            Send(m);
        }
    }
    long total = 0, slowest = -1;
    for (const Master& m : masters) {
        total += m.done;
        if (slowest < 0 || m.done < slowest)
            slowest = m.done;
    }
    const double mean = double(total) / n;
    std::printf("tps %.1f\n", double(total) / (end - start));
    std::printf("slowest_ratio %.3f\n", mean > 0 ? double(slowest) / mean : 0.0);
    std::printf("connected %d\n", connected);
    if (pid)
        std::printf("rss_per_master_kb %.1f\n", double(rssAfter - rssBefore) / n);
    for (Master& m : masters)
        ::close(m.fd);
    return 0;
}
