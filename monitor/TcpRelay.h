// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A transparent Modbus TCP relay between any number of masters and one
// slave: every master's connection gets a connection of its own to the
// slave, bytes pass unchanged both ways, and a copy of each direction is
// framed by its header (MbapFramer) and handed to the monitor (requests
// from the master, answers from the slave, paired by connection and
// transaction identifier). Driven by the caller's poll loop.
#include <poll.h>
#include <memory>
#include <string>
#include <vector>

#include "BusMonitor.h"

namespace zorp::monitor {

class TcpRelay {
public:
    explicit TcpRelay(BusMonitor& monitor);
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    // listen: "[ADDRESS:]PORT" (every interface without ADDRESS; port 0
    // picks a free one); target: "HOST:PORT". False with `error` set.
    bool Start(const std::string& listen, const std::string& target, std::string& error);
    // The address it listens on, e.g. "127.0.0.1:5020".
    std::string ListenAddress() const;
    // Appends the descriptors to watch; Handle takes the poll's results
    // from index `first` on (in the order AddFds gave them).
    void AddFds(std::vector<pollfd>& fds);
    void Handle(const std::vector<pollfd>& fds, size_t first);
    void Stop();
    size_t Connections() const { return FConns.size(); }

    struct Conn;

private:
    void Accept();
    void Close(Conn& c);
    bool Pump(Conn& c, bool fromClient);
    bool Flush(int fd, std::string& out);

    BusMonitor& FMonitor;
    int FListen = -1;
    std::string FListenText;
    std::vector<uint8_t> FTarget; // sockaddr bytes
    int FFamily = 0;
    int FNextId = 1;
    std::vector<std::unique_ptr<Conn>> FConns;
    std::vector<Conn*> FPolled; // the connections in the order AddFds gave them
};

} // namespace zorp::monitor
