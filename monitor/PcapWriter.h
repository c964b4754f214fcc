// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A capture file that Wireshark and tshark decode: every frame the monitor
// found, in a UDP datagram between 127.0.0.1 ports, the slave's side on
// port 502 (requests to it, answers from it; the master's side is port
// 40000 plus the channel). RTU frames keep their address and CRC and
// decode as Modbus RTU with "Decode As" udp.port 502 as mbrtu
// (tshark -d udp.port==502,mbrtu); Modbus TCP frames keep their header and
// decode as Modbus/UDP without any option. Nanosecond time stamps (pcap
// with the nanosecond magic).
#include <cstdio>
#include <string>

#include "BusEvent.h"

namespace zorp::monitor {

class PcapWriter {
public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // False (with errno set) when the file cannot be written.
    bool Open(const std::string& path);
    bool IsOpen() const { return FFile != nullptr; }
    // Writes a request's or answer's frame; anything else is left out.
    void Write(const BusEvent& e);
    void Close();

    static constexpr uint16_t kSlavePort = 502;

private:
    std::FILE* FFile = nullptr;
};

} // namespace zorp::monitor
