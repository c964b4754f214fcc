// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The engine on a fake link, driven pass by pass, with a tick count that the
// test moves by hand (gEngineNow): time-outs run out without waiting.
#include <gtest/gtest.h>

#include <QObject>
#include <cstdint>
#include <vector>

#include "EngineAccess.h"
#include "EngineRecorder.h"
#include "VexaModbus.h"

namespace zorptest {

inline uint32_t gEngineNow = 1000;

class EngineFixture : public ::testing::Test {
protected:
    using A = TVexaModbusTestAccess;
    EngineRecorder rec; // outlives the engine
    QObject owner;
    EngineMemo* memo = nullptr;
    TVexaModbus* e = nullptr;

    void SetUp() override
    {
        gEngineNow = 1000;
        zorp::SetTickCountSource([] { return gEngineNow; });
        memo = new EngineMemo(&owner);
        e = new TVexaModbus(&owner);
        rec.Attach(*e);
    }
    void TearDown() override { zorp::SetTickCountSource(nullptr); }

    // A master link that is up, without a real port: frames are recorded
    // through OnSendData.
    void Up(TModbusProtocol p = mbpRTU)
    {
        e->SetProtocol(p);
        A::FakeLinkUp(*e);
        A::SetRawState(*e, msIdle);
    }
    void Pass() { A::Pass(*e); }
    void Feed(const std::vector<uint8_t>& b) { A::Deliver(*e, b); }
};

} // namespace zorptest
