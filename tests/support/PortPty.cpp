// SPDX-License-Identifier: GPL-3.0-or-later
#include "PortPty.h"

#include "TestSupport.h"

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace zorptest {

PortPty::PortPty()
{
    int m = -1, s = -1;
    char name[256] = {};
    if (openpty(&m, &s, name, nullptr, nullptr) != 0)
        return;
    // Raw on both sides: a cooked pty echoes and rewrites 0x03, 0x0A, ...
    for (int fd : {m, s}) {
        termios t{};
        if (tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    FMaster = m;
    FSlave = s;
    FSlavePath = QString::fromLocal8Bit(name);
}

PortPty::~PortPty()
{
    closeMaster();
    closeSlave();
}

bool PortPty::write(const QByteArray& bytes)
{
    qsizetype done = 0;
    int idle = 0;
    while (FMaster >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(FMaster, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0) {
            done += n;
            idle = 0;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR) && ++idle < 2000) {
            spin(1);
        } else {
            return false;
        }
    }
    return FMaster >= 0;
}

QByteArray PortPty::read(int want, int timeoutMs)
{
    QByteArray out;
    waitUntil(
        [&] {
            char buf[4096];
            for (;;) {
                const ssize_t n = FMaster >= 0 ? ::read(FMaster, buf, sizeof buf) : -1;
                if (n <= 0)
                    break;
                out.append(buf, n);
            }
            return out.size() >= want;
        },
        timeoutMs);
    return out;
}

void PortPty::closeMaster()
{
    if (FMaster >= 0)
        ::close(FMaster);
    FMaster = -1;
}

void PortPty::closeSlave()
{
    if (FSlave >= 0)
        ::close(FSlave);
    FSlave = -1;
}

} // namespace zorptest
