// SPDX-License-Identifier: GPL-3.0-or-later
// The monitor's read-only serial port.
#include "SerialTap.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "RtuLine.h"
#include "SerialLowLatency.h"

namespace zorp::monitor {

namespace {
speed_t SpeedOf(int baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    default: return B0;
    }
}
} // namespace

framing::LineTiming TimingOf(const TapSettings& s)
{
    const TParity parity = s.parity == 'E' ? pEven : s.parity == 'O' ? pOdd : pNone;
    framing::LineTiming t;
    t.charNs = rtu::CharTimeNs(s.baud, s.dataBits, parity, s.stopBits);
    t.silenceNs = rtu::SilenceNs(s.baud, s.dataBits, parity, s.stopBits);
    return t;
}

int OpenSerialTap(const TapSettings& s, std::string& error)
{
    const speed_t speed = SpeedOf(s.baud);
    if (speed == B0) {
        error = "unsupported baud rate " + std::to_string(s.baud);
        return -1;
    }
    if (s.parity != 'N' && s.parity != 'E' && s.parity != 'O') {
        error = "parity must be N, E or O";
        return -1;
    }
    if (s.stopBits != 1 && s.stopBits != 2) {
        error = "stop bits must be 1 or 2";
        return -1;
    }
    const int fd = ::open(s.path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open serial port " + s.path + ": " + std::strerror(errno);
        if (errno == EACCES) error += " (the user may need to be in the \"dialout\" group)";
        return -1;
    }
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        error = s.path + " is not a serial port: " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    cfmakeraw(&t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cflag &= ~(PARENB | PARODD | CSTOPB | CSIZE);
    t.c_cflag |= CS8;
    if (s.parity != 'N') t.c_cflag |= PARENB;
    if (s.parity == 'O') t.c_cflag |= PARODD;
    if (s.stopBits == 2) t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    // A pseudo-terminal takes only part of the settings; what a real port
    // refuses shows up as garbled frames rather than as an error here.
    ::tcsetattr(fd, TCSANOW, &t);
    AskForLowLatency(fd);
    return fd;
}

} // namespace zorp::monitor
