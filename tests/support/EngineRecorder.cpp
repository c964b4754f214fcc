// SPDX-License-Identifier: GPL-3.0-or-later
#include "EngineRecorder.h"

#include "EngineTestUtil.h"

namespace zorptest {

void EngineRecorder::Attach(TVexaModbus& e)
{
    auto note = [this](std::string s) { events.push_back(std::move(s)); };
    e.OnConnect = [note](QObject*) { note("connect"); };
    e.OnDisconnect = [note](QObject*) { note("disconnect"); };
    e.OnListen = [note](QObject*) { note("listen"); };
    e.OnError = [note](QObject*, int32_t code) { note("error " + std::to_string(code)); };
    e.OnChangeState = [note, &e](QObject*) { note("state " + std::to_string(e.GetState())); };
    e.OnReadCoils = [this, note](QObject*, uint8_t, uint16_t addr, uint16_t count, const std::vector<bool>& d) {
        lastCoils = d;
        lastAddr = addr;
        lastCount = count;
        note("coils");
    };
    auto data = [this, note](const char* name) {
        return [this, note, name](QObject*, uint8_t, uint16_t addr, uint16_t count, const std::vector<uint8_t>& d) {
            lastData = d;
            lastAddr = addr;
            lastCount = count;
            note(name);
        };
    };
    e.OnReadDiscreteInputs = data("inputs");
    e.OnReadHoldingRegs = data("holding");
    e.OnReadInputRegs = data("input regs");
    e.OnReadFileRecord = [this, note](QObject*, uint8_t, uint16_t file, uint16_t addr, uint16_t count,
                                      const std::vector<uint8_t>& d) {
        lastData = d;
        lastAddr = addr;
        lastCount = count;
        note("file " + std::to_string(file));
    };
    e.OnWriteSingleReg = [note](QObject*) { note("wrote reg"); };
    e.OnWriteMultiRegs = [note](QObject*) { note("wrote regs"); };
    e.OnWriteSingleCoil = [note](QObject*) { note("wrote coil"); };
    e.OnWriteMultiCoils = [note](QObject*) { note("wrote coils"); };
    e.OnWriteSingleSpecialReg = [note](QObject*) { note("wrote special"); };
    e.OnSendData = [this](QObject*, const void* block, int32_t size) {
        const auto* p = static_cast<const uint8_t*>(block);
        sent.emplace_back(p, p + size);
    };
    e.OnReceiveData = [this](QObject*, const uint8_t* block, int32_t size) { received.emplace_back(block, block + size); };
}

std::vector<std::string> EngineRecorder::Outcomes() const
{
    std::vector<std::string> out;
    for (const auto& s : events)
        if (s.rfind("state ", 0) != 0) out.push_back(s);
    return out;
}

int EngineRecorder::Count(const std::string& event) const
{
    int n = 0;
    for (const auto& s : events) n += s == event;
    return n;
}

} // namespace zorptest
