// SPDX-License-Identifier: GPL-3.0-or-later
#include "SerialLowLatency.h"

#ifdef __linux__
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace zorp {

void AskForLowLatency([[maybe_unused]] int fd)
{
#ifdef __linux__
    serial_struct ss{};
    if (fd < 0 || ::ioctl(fd, TIOCGSERIAL, &ss) != 0) return;
    if (ss.flags & ASYNC_LOW_LATENCY) return;
    ss.flags |= ASYNC_LOW_LATENCY;
    [[maybe_unused]] const int rc = ::ioctl(fd, TIOCSSERIAL, &ss);
#endif
}

} // namespace zorp
