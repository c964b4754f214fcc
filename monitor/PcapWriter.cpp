// SPDX-License-Identifier: GPL-3.0-or-later
// Capture files of the monitor's frames.
#include "PcapWriter.h"

#include <cstring>
#include <vector>

namespace zorp::monitor {

namespace {
constexpr uint32_t kMagicNs = 0xA1B23C4D;
constexpr uint32_t kLinkIpv4 = 228; // raw IPv4 packets

void Le32(std::vector<uint8_t>& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void Le16(std::vector<uint8_t>& b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void Be16(std::vector<uint8_t>& b, uint16_t v)
{
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
} // namespace

PcapWriter::~PcapWriter() { Close(); }

bool PcapWriter::Open(const std::string& path)
{
    Close();
    FFile = std::fopen(path.c_str(), "wb");
    if (!FFile) return false;
    std::vector<uint8_t> h;
    Le32(h, kMagicNs);
    Le16(h, 2);
    Le16(h, 4);
    Le32(h, 0);     // time zone
    Le32(h, 0);     // accuracy
    Le32(h, 65535); // snap length
    Le32(h, kLinkIpv4);
    std::fwrite(h.data(), 1, h.size(), FFile);
    return true;
}

void PcapWriter::Write(const BusEvent& e)
{
    if (!FFile || e.frame.empty() || e.frame.size() > 1400) return;
    if (e.kind != BusEvent::Kind::Request && e.kind != BusEvent::Kind::Answer) return;
    const uint16_t master = uint16_t(40000 + (e.channel & 0x3FFF));
    const bool toSlave = e.kind == BusEvent::Kind::Request;
    const uint16_t udpLength = uint16_t(8 + e.frame.size());
    std::vector<uint8_t> ip;
    ip.reserve(28 + e.frame.size());
    ip.push_back(0x45);
    ip.push_back(0);
    Be16(ip, uint16_t(20 + udpLength));
    Be16(ip, 0);      // identification
    Be16(ip, 0x4000); // don't fragment
    ip.push_back(64);
    ip.push_back(17); // UDP
    Be16(ip, 0);      // checksum, below
    for (int k = 0; k < 2; ++k) {
        ip.push_back(127);
        ip.push_back(0);
        ip.push_back(0);
        ip.push_back(1);
    }
    uint32_t sum = 0;
    for (size_t i = 0; i < 20; i += 2) sum += uint32_t(ip[i] << 8 | ip[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    ip[10] = uint8_t(~sum >> 8);
    ip[11] = uint8_t(~sum);
    Be16(ip, toSlave ? master : kSlavePort);
    Be16(ip, toSlave ? kSlavePort : master);
    Be16(ip, udpLength);
    Be16(ip, 0); // no UDP checksum
    ip.insert(ip.end(), e.frame.begin(), e.frame.end());

    std::vector<uint8_t> rec;
    Le32(rec, uint32_t(e.wallNs / 1000000000));
    Le32(rec, uint32_t(e.wallNs % 1000000000));
    Le32(rec, uint32_t(ip.size()));
    Le32(rec, uint32_t(ip.size()));
    std::fwrite(rec.data(), 1, rec.size(), FFile);
    std::fwrite(ip.data(), 1, ip.size(), FFile);
}

void PcapWriter::Close()
{
    if (FFile) std::fclose(FFile);
    FFile = nullptr;
}

} // namespace zorp::monitor
