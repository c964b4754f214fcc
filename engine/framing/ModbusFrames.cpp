// SPDX-License-Identifier: GPL-3.0-or-later
// Master-side Modbus frames: builders, delimitation and response checks.
#include "ModbusFrames.h"

#include <cstring>

#include "ModbusCRC.h"
#include "framing/Bits.h"
#include "framing/FrameWriter.h"

namespace zorp {
namespace {

// Assembles a frame: the PDU goes after the device address (RTU) or after
// the MBAP header (TCP), then the CRC (RTU only).
class FrameWriter {
public:
    FrameWriter(uint8_t* out, size_t cap, Framing f, uint8_t device, uint16_t tid, size_t pduLength)
        : FOut(out), FTcp(f == Framing::Tcp), FTid(tid)
    {
        if (f == Framing::None || out == nullptr || framing::AduLength(FTcp, 1 + pduLength) > cap) return;
        FOk = true;
        FPos = framing::BodyOffset(FTcp);
        Byte(device);
    }

    bool Ok() const { return FOk; }
    void Byte(uint8_t b) { FOut[FPos++] = b; }
    void Word(uint16_t w) { Byte(static_cast<uint8_t>(w >> 8)); Byte(static_cast<uint8_t>(w)); }
    void Bytes(const uint8_t* b, size_t n) { if (n) std::memcpy(FOut + FPos, b, n); FPos += n; }

    size_t Finish() { return framing::FinishAdu(FTcp, FTid, FOut, FPos - framing::BodyOffset(FTcp)); }

private:
    uint8_t* FOut;
    bool FTcp;
    uint16_t FTid;
    bool FOk = false;
    size_t FPos = 0;
};

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

} // namespace

size_t BuildWordRequest(uint8_t* out, size_t cap, Framing f, uint8_t device, uint16_t tid,
                        uint8_t fc, uint16_t address, uint16_t word)
{
    FrameWriter w(out, cap, f, device, tid, 5);
    if (!w.Ok()) return 0;
    w.Byte(fc);
    w.Word(WireAddress(address));
    w.Word(word);
    return w.Finish();
}

size_t BuildMultiRegsRequest(uint8_t* out, size_t cap, Framing f, uint8_t device, uint16_t tid,
                             uint16_t address, const uint16_t* values, size_t valueCount, uint16_t count)
{
    if (count == 0 || count > kMaxWriteRegisters || count > valueCount || values == nullptr) return 0;
    FrameWriter w(out, cap, f, device, tid, 6 + 2u * count);
    if (!w.Ok()) return 0;
    w.Byte(16);
    w.Word(WireAddress(address));
    w.Word(count);
    w.Byte(static_cast<uint8_t>(2u * count));
    for (uint16_t i = 0; i < count; ++i) w.Word(values[i]);
    return w.Finish();
}

size_t BuildMultiCoilsRequest(uint8_t* out, size_t cap, Framing f, uint8_t device, uint16_t tid,
                              uint16_t address, uint8_t coilCount, const uint8_t* bytes,
                              size_t bytesAvailable, uint16_t byteCount)
{
    if (byteCount > 255 || byteCount > bytesAvailable || (byteCount && bytes == nullptr)) return 0;
    FrameWriter w(out, cap, f, device, tid, 6 + size_t(byteCount));
    if (!w.Ok()) return 0;
    w.Byte(15);
    w.Word(WireAddress(address));
    w.Byte(0);
    w.Byte(coilCount);
    w.Byte(static_cast<uint8_t>(byteCount));
    w.Bytes(bytes, byteCount);
    return w.Finish();
}

size_t BuildFileRecordRequest(uint8_t* out, size_t cap, Framing f, uint8_t device, uint16_t tid,
                              uint16_t fileNumber, uint16_t recordNumber, uint16_t length)
{
    FrameWriter w(out, cap, f, device, tid, 9);
    if (!w.Ok()) return 0;
    w.Byte(20);
    w.Byte(7); // byte count of the one sub-request
    w.Byte(6); // reference type
    w.Word(fileNumber);
    w.Word(recordNumber);
    w.Word(length);
    return w.Finish();
}

std::vector<uint8_t> PackBits(const std::vector<bool>& values, size_t count)
{
    std::vector<uint8_t> bytes((count + 7) / 8, 0);
    framing::PackBitsInto(count, [&](size_t k) { return k < values.size() && values[k]; }, bytes.data(), bytes.size());
    return bytes;
}

std::vector<bool> UnpackBits(const uint8_t* data, size_t dataLength, size_t count)
{
    std::vector<bool> bits(count, false);
    framing::UnpackBitsFrom(data, dataLength, count, [&](size_t k, bool v) { bits[k] = v; });
    return bits;
}

int32_t ExceptionReportCode(uint8_t exceptionCode, ResponseKind kind)
{
    switch (exceptionCode) {
    case 1: return 20;
    case 2: return 21;
    case 3: return 22;
    case 4: return kind == ResponseKind::Read ? 23 : 30;
    case 0x0A: return 26;
    case 0x0B: return 27;
    default: return 0;
    }
}

int32_t RetriedExceptionCode(uint8_t exceptionCode)
{
    return exceptionCode == 5 ? 24 : exceptionCode == 6 ? 25 : 0;
}

namespace {

CheckResult Report(int32_t code, bool resetFirst = false)
{
    CheckResult r;
    r.verdict = Verdict::Report;
    r.code = code;
    r.resetFirst = resetFirst;
    return r;
}

// Device address and exception response, common to reads and acks.
bool CheckCommon(const uint8_t* buf, size_t size, bool isException, uint8_t device, ResponseKind kind,
                 CheckResult& out)
{
    if (size < 1) { out = CheckResult{}; return true; }
    if (buf[0] != device) { out = Report(9, true); return true; }
    if (isException) {
        if (size < 3) { out = CheckResult{}; return true; }
        const int32_t code = ExceptionReportCode(buf[2], kind);
        if (code) out = Report(code, true);
        else {
            out = CheckResult{};
            out.verdict = Verdict::Ignore;
            out.resetFirst = true;
            out.code = RetriedExceptionCode(buf[2]);
        }
        return true;
    }
    return false;
}

} // namespace

CheckResult CheckReadResponse(const uint8_t* buf, size_t size, bool tcp, bool isException,
                              uint8_t device, uint8_t fc)
{
    CheckResult r;
    if (CheckCommon(buf, size, isException, device, ResponseKind::Read, r)) return r;
    if (size < 3) return r;
    const size_t bc = buf[2];
    if (size < bc + (tcp ? 3 : 5)) return r;
    if (!tcp && !CrcMatches(buf, bc + 3)) return Report(7);
    if (buf[1] != fc) return Report(10);
    r.verdict = Verdict::Accept;
    r.dataOffset = 3;
    r.dataLength = bc;
    return r;
}

CheckResult CheckAckResponse(const uint8_t* buf, size_t size, bool tcp, bool isException,
                             uint8_t device, uint8_t fc, uint16_t address, uint16_t word)
{
    CheckResult r;
    if (CheckCommon(buf, size, isException, device, ResponseKind::Ack, r)) return r;
    if (size < (tcp ? 6u : 8u)) return r;
    // The echo carries the wire address the request carried: the 1-based
    // address less one, so that address 0 (65536) went out as 0xFFFF and
    // its echo is taken as the acknowledgement it is.
    if (Be16(buf + 2) != uint16_t(address - 1u) || Be16(buf + 4) != word) return Report(5);
    if (!tcp && !CrcMatches(buf, 6)) return Report(5);
    if (buf[1] != fc) return Report(10);
    r.verdict = Verdict::Accept;
    return r;
}

const char* ErrorMessage(int32_t code)
{
    switch (code) {
    case 0: return "Error: Port nie istnieje !!!";
    case 1: return "Exception: Nie można otworzyć portu !!!";
    case 4: return "Error: Nie odebrano poprawnych danych !!!";
    case 5: return "Error: Nie odebrano poprawnego potwierdzenia !!!";
    case 7: return "Error: Nieprawidłowa suma kontrolna (CRC).";
    case 9: return "Nieprawidłowy adres urządzenia. (DeviceID)";
    case 10: return "Nieprawidłowy kod funkcji";
    case 16: return "Połączenie zostało utracone.";
    case 17: return "Error: Adres 0 to rozgłoszenie - odczyt niemożliwy !!!";
    case 20: return "Modbus exception: Nieznany kod funkcji";
    case 21: return "Modbus exception: Zbyt duża ilość rejestrów do odczytania";
    case 22: return "Modbus exception: Nieprawidłowy adres początkowy lub końcowy";
    case 23: return "Modbus exception: Nie można odczytać danych";
    case 24: return "Modbus exception: Urządzenie przyjęło żądanie, przetwarzanie trwa";
    case 25: return "Modbus exception: Urządzenie zajęte";
    case 26: return "Modbus exception: Brama nie ma drogi do urządzenia";
    case 27: return "Modbus exception: Urządzenie za bramą nie odpowiada";
    case 30: return "Modbus exception: Nie można zapisać danych";
    default: return nullptr;
    }
}

} // namespace zorp
