// SPDX-License-Identifier: GPL-3.0-or-later
// TCP side of the port object, server mode with several masters at once:
// every accepted client is a connection of its own, read and written
// straight through its socket. Its bytes go to the port's OnClientData with
// the client's number; what the port writes goes to the client chosen by
// SelectClient. A client that fails or leaves is closed and announced by
// OnWsDisconnect; the server goes on listening.
#include "TcpSide.h"

#include <QAbstractSocket>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "CommPort.h"

namespace zorp {

namespace {

bool Gone(int fd)
{
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0)
        return false;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void Retire(QSocketNotifier*& n)
{
    if (!n)
        return;
    n->setEnabled(false);
    n->disconnect();
    n->deleteLater();
    n = nullptr;
}

} // namespace

TcpSide::Client* TcpSide::FindClient(int id) const
{
    for (const auto& c : FClients)
        if (c->id == id)
            return c.get();
    return nullptr;
}

int TcpSide::PeerFd() const
{
    // While a client is announced (OnWsAccept), it is the one described.
    if (!Multi())
        return FFd >= 0 ? FFd : FPendingFd;
    const Client* c = FindClient(FActive);
    if (!c && !FAwaiting.empty())
        c = FindClient(FAwaiting.front());
    if (!c)
        c = FindClient(FLastAccepted);
    return c ? c->fd : -1;
}

void TcpSide::IncomingMulti(int fd, const uint8_t address[4])
{
    if (FClients.size() >= size_t(FMaxClients)) {
        // As many masters as allowed are served: the one silent longest
        // makes room if it has been silent long enough, else the newcomer
        // is closed at once.
        const Client* oldest = nullptr;
        for (const auto& c : FClients)
            if (c->accepted && IdleSince(c->lastRx) && (!oldest || c->lastRx < oldest->lastRx))
                oldest = c.get();
        if (!oldest) {
            FPort->PostFull(PeerText(fd), false);
            ::close(fd);
            return;
        }
        FPort->PostFull(PeerText(oldest->fd), true);
        CloseClient(oldest->id, true);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    auto c = std::make_unique<Client>();
    c->id = ++FNextClient;
    c->fd = fd;
    c->lastRx = TcpClockMs();
    const int id = c->id;
    c->read = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
    c->write = new QSocketNotifier(qintptr(fd), QSocketNotifier::Write, this);
    c->read->setEnabled(false);
    c->write->setEnabled(false);
    connect(c->read, &QSocketNotifier::activated, this, [this, id] { ClientReadable(id); });
    connect(c->write, &QSocketNotifier::activated, this, [this, id] { ClientWritable(id); });
    FClients.push_back(std::move(c));
    FAwaiting.push_back(id);
    FPort->PostAccept(address);
}

void TcpSide::FinishAcceptMulti(bool accept)
{
    if (FAwaiting.empty())
        return;
    const int id = FAwaiting.front();
    FAwaiting.erase(FAwaiting.begin());
    Client* c = FindClient(id);
    if (!c)
        return;
    if (!accept || Gone(c->fd)) {
        // Accepted by the owner and gone already: announced as gone.
        c->accepted = accept;
        CloseClient(id, accept);
        return;
    }
    c->accepted = true;
    FLastAccepted = id;
    ConfigureAccepted(c->fd);
    FPort->PostConnect();
    c->read->setEnabled(true);
    // Bytes the client sent while it waited for the verdict.
    ClientReadable(id);
}

void TcpSide::ClientReadable(int id)
{
    Client* c = FindClient(id);
    if (!c || !c->accepted)
        return;
    char block[4096];
    ssize_t got;
    do
        got = ::recv(c->fd, block, sizeof block, MSG_DONTWAIT);
    while (got < 0 && errno == EINTR);
    if (got > 0) {
        c->lastRx = TcpClockMs();
        FPort->DeliverClient(id, block, got);
        return;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    // The master closed, reset or vanished (keep-alive): it alone is gone.
    CloseClient(id, true);
}

void TcpSide::ClientWritable(int id)
{
    Client* c = FindClient(id);
    if (!c)
        return;
    while (!c->out.isEmpty()) {
        ssize_t sent;
        do
            sent = ::send(c->fd, c->out.constData(), size_t(c->out.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        while (sent < 0 && errno == EINTR);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            CloseClient(id, true);
            return;
        }
        c->out.remove(0, sent);
    }
    c->write->setEnabled(!c->out.isEmpty());
}

qint64 TcpSide::WriteMulti(const char* data, qint64 size)
{
    Client* c = FindClient(FActive);
    if (!c || !c->accepted)
        return 0;
    if (size <= 0)
        return 0;
    // A master that does not read its answers may hold at most this much.
    constexpr qsizetype kMaxQueued = 1 << 20;
    if (c->out.size() > kMaxQueued) {
        CloseClient(c->id, true);
        return -1;
    }
    c->out.append(data, size);
    ClientWritable(c->id);
    return size;
}

void TcpSide::CloseClient(int id, bool announce)
{
    for (auto it = FClients.begin(); it != FClients.end(); ++it) {
        Client* c = it->get();
        if (c->id != id)
            continue;
        const bool wasAccepted = c->accepted;
        Retire(c->read);
        Retire(c->write);
        if (c->fd >= 0)
            ::close(c->fd);
        FClients.erase(it);
        if (FActive == id)
            FActive = -1;
        FPort->ClientClosed(id);
        if (announce && wasAccepted)
            FPort->PostDisconnect();
        return;
    }
}

void TcpSide::CloseAllClients()
{
    FAwaiting.clear();
    while (!FClients.empty())
        CloseClient(FClients.back()->id, false);
}

} // namespace zorp
