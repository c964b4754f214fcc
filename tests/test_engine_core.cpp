// SPDX-License-Identifier: GPL-3.0-or-later
// The engine object: defaults, properties, state texts, log lines and the
// opening of a link that cannot come up.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLocale>

#include "CommPort.h"
#include "EngineAccess.h"
#include "EngineRecorder.h"
#include "EngineTestUtil.h"
#include "TestSupport.h"

using A = TVexaModbusTestAccess;
using zorptest::EngineMemo;
using zorptest::EngineRecorder;
using zorptest::EngineTerminal;

namespace {
// A device path no machine has: opening it always fails.
const QString kNoDevice = QStringLiteral("/nonexistent/zorp-no-such-tty");
} // namespace

TEST(EngineObject, FreshEngineHasItsDefaults)
{
    QObject owner;
    auto* e = new TVexaModbus(&owner);
    EXPECT_EQ(e->parent(), &owner);
    EXPECT_EQ(e->GetState(), 0);
    EXPECT_EQ(e->RxCounter(), 0);
    EXPECT_EQ(e->TxCounter(), 0);
    EXPECT_EQ(e->ClientIP(), QString());
    EXPECT_TRUE(A::TimerExists(*e));
    EXPECT_FALSE(A::TimerActive(*e));
    EXPECT_FALSE(e->Connected());
    EXPECT_EQ(e->Mode(), mbmMaster);
    EXPECT_EQ(e->MaxRepeat(), 3);
    EXPECT_EQ(e->DeviceID(), 1);
    EXPECT_EQ(e->ComSpeed(), 9600);
    EXPECT_EQ(e->ComNumber(), 1);
    EXPECT_EQ(e->DataBits(), 8);
    EXPECT_EQ(e->StopBits(), 1);
    EXPECT_EQ(e->Parity(), pNone);
    EXPECT_EQ(e->Protocol(), mbpRTU);
    EXPECT_EQ(e->InterfaceType(), mbiRS485);
    EXPECT_EQ(e->Timeout(), 3000u);
    EXPECT_EQ(e->EthIP(), QString());
    EXPECT_EQ(e->EthPort(), 0);
    EXPECT_EQ(e->SerialNo(), QString());
    EXPECT_EQ(e->DeviceType(), dvtNone);
    ASSERT_NE(e->CommPort(), nullptr);
    EXPECT_FALSE(e->CommPort()->Open());
    EXPECT_EQ(e->CommPort()->WsAddress, QStringLiteral("255.255.255.255"));
    EXPECT_EQ(e->CommPort()->WsPort, QStringLiteral("0"));
    EXPECT_EQ(e->CommPort()->InSize, 8192);
    EXPECT_EQ(e->CommPort()->DeviceLayer, dlSerial);
    // Numbers are formatted with "." whatever the system's region says.
    EXPECT_EQ(QLocale().toString(1.5, 'f', 6), QStringLiteral("1.500000"));
    // Without an owner there is nothing to search, and nothing fails.
    TVexaModbus alone;
    EXPECT_TRUE(alone.Memo.isNull());
}

TEST(EngineObject, StateTexts)
{
    EXPECT_EQ(TVexaModbus::GetStateStr(0), QStringLiteral("Wyłączona maszyna stanu"));
    EXPECT_EQ(TVexaModbus::GetStateStr(7), QStringLiteral("Oczekiwanie na ReadHoldingRegs..."));
    EXPECT_EQ(TVexaModbus::GetStateStr(15), QStringLiteral("Nasłuch"));
    EXPECT_EQ(TVexaModbus::GetStateStr(26), QStringLiteral("Oczekiwanie na ReadFileRecord..."));
    EXPECT_EQ(TVexaModbus::GetStateStr(10), QString());
    EXPECT_EQ(TVexaModbus::GetStateStr(28), QString());
    EXPECT_EQ(TVexaModbus::GetStateStr(29), QString());
    EXPECT_EQ(TVexaModbus::GetStateStr(256), TVexaModbus::GetStateStr(0)); // low 8 bits
    EXPECT_EQ(TVexaModbus::GetStateStr(256 + 14), QStringLiteral("Rozłączanie"));
    EXPECT_EQ(TVexaModbus::GetStateStr(-1), QString());
}

TEST(EngineObject, EthIPIsNormalisedOnlyWhenItIsFourNumbers)
{
    TVexaModbus e;
    const std::pair<const char*, const char*> cases[] = {
        {"192.168.000.010", "192.168.0.10"},
        {"10.0.0", "10.0.0"},
        {"1.2.3.4.5", "1.2.3.4.5"},
        {"plc.example", "plc.example"},
        {"300.1.1.1", "300.1.1.1"},
        {"+1.-2.003.4", "1.-2.3.4"},
        {"1..2.3", "1..2.3"},
        {"", ""},
        {"99999999999.1.1.1", "99999999999.1.1.1"},
        {"127.0.0.1", "127.0.0.1"},
    };
    for (const auto& [in, out] : cases) {
        e.SetEthIP(QString::fromUtf8(in));
        EXPECT_EQ(e.EthIP(), QString::fromUtf8(out)) << in;
    }
}

TEST(EngineObject, ComNumberGoesToThePortObject)
{
    TVexaModbus e;
    e.SetComNumber(5);
    EXPECT_EQ(e.ComNumber(), 5);
    EXPECT_EQ(e.CommPort()->ComNumber, 5);
    A::RemovePort(e);
    EXPECT_EQ(e.ComNumber(), 1);
    e.SetComNumber(7); // nothing to store it in, and nothing fails
    EXPECT_EQ(e.ComNumber(), 1);
}

TEST(EngineObject, SinksAreFoundAmongTheOwnersChildren)
{
    QObject owner;
    new QObject(&owner);
    auto* memo = new EngineMemo(&owner);
    auto* second = new EngineMemo(&owner);
    auto* terminal = new EngineTerminal(&owner);
    auto* e = new TVexaModbus(&owner);
    EXPECT_EQ(e->Memo.data(), memo);
    EXPECT_EQ(e->Terminal.data(), terminal);

    EngineRecorder rec;
    rec.Attach(*e);
    A::SetState(*e, msIdle);
    A::SetState(*e, msIdle); // the same state is announced again
    A::SetState(*e, msWriteSingleReg);
    EXPECT_EQ(rec.Count("state 15"), 2);
    const QStringList expect = {QStringLiteral("Status: Nasłuch"), QStringLiteral("Status: Nasłuch"),
                                QStringLiteral("Status: ")};
    EXPECT_EQ(memo->lines, expect);
    EXPECT_TRUE(second->lines.isEmpty());

    e->CommPort()->SetDevicePathOverride(kNoDevice);
    e->Connect();
    ASSERT_EQ(terminal->attached.size(), 1);
    EXPECT_EQ(terminal->attached[0], e->CommPort());
    EXPECT_EQ(memo->lines.last(), QStringLiteral("Łączenie..."));

    // A memo that goes away is simply no longer written to.
    delete memo;
    A::AddLog(*e, QStringLiteral("x"));
}

TEST(EngineObject, AddLogWithoutMemoDoesNothing)
{
    QObject owner;
    auto* e = new TVexaModbus(&owner);
    EXPECT_TRUE(e->Memo.isNull());
    A::AddLog(*e, QStringLiteral("nobody reads this"));
    A::SetState(*e, msIdle);
    EXPECT_EQ(e->GetState(), msIdle);
}

TEST(EngineObject, DisconnectWhileOffStaysPendingUntilConnect)
{
    TVexaModbus e;
    EngineRecorder rec;
    rec.Attach(e);
    e.Disconnect();
    A::Pass(e);
    EXPECT_EQ(e.GetState(), msNone);
    EXPECT_TRUE(rec.events.empty());
    EXPECT_TRUE(A::TryDisconnect(e));
    EXPECT_FALSE(A::TimerActive(e));
    e.CommPort()->SetDevicePathOverride(kNoDevice);
    e.Connect();
    EXPECT_FALSE(A::TryDisconnect(e));
}

TEST(EngineOpening, PortThatCannotOpenReportsErrorOneBeforeTheState)
{
    QObject owner;
    auto* memo = new EngineMemo(&owner);
    auto* e = new TVexaModbus(&owner);
    EngineRecorder rec;
    rec.Attach(*e);
    e->CommPort()->SetDevicePathOverride(kNoDevice);
    e->SetComSpeed(19200);
    e->SetParity(pEven);
    e->Connect();
    EXPECT_EQ(e->GetState(), msInit);
    EXPECT_TRUE(A::TimerActive(*e));
    A::Pass(*e);
    const std::vector<std::string> expect = {"state 1", "state 15", "error 1", "state 0"};
    EXPECT_EQ(rec.events, expect);
    EXPECT_FALSE(e->Connected());
    EXPECT_EQ(e->CommPort()->Baud, 19200);
    EXPECT_EQ(e->CommPort()->Parity, pEven);
    EXPECT_TRUE(memo->lines.contains(QStringLiteral("Otwieranie portu...")));
    EXPECT_EQ(memo->lines.last(), QStringLiteral("Status: Wyłączona maszyna stanu"));
    EXPECT_TRUE(memo->lines.contains(QStringLiteral("Exception: Nie można otworzyć portu !!!")));
    EXPECT_FALSE(A::TimerActive(*e)); // nothing left to do in msNone
}

TEST(EngineOpening, NoPortObjectReportsErrorZeroAndEndsInDone)
{
    QObject owner;
    auto* memo = new EngineMemo(&owner);
    auto* e = new TVexaModbus(&owner);
    EngineRecorder rec;
    rec.Attach(*e);
    A::RemovePort(*e);
    e->Connect();
    A::Pass(*e);
    const std::vector<std::string> expect = {"state 1", "error 0", "state 16"};
    EXPECT_EQ(rec.events, expect);
    EXPECT_TRUE(memo->lines.contains(QStringLiteral("Error: Port nie istnieje !!!")));
    // A coil write with Wait returns at once: there is no port to wait on.
    A::FakeLinkUp(*e);
    e->WriteSingleCoil(1, true, true);
    EXPECT_EQ(e->GetState(), msWriteSingleCoil);
}

TEST(EngineOpening, ListenSelectsServerModeAndSlaveState)
{
    TVexaModbus e;
    EngineRecorder rec;
    rec.Attach(e);
    e.SetInterfaceType(mbiEthernet);
    e.SetEthIP(QStringLiteral("127.0.0.1"));
    e.SetEthPort(0);
    e.CommPort()->WsBindAddress = QStringLiteral("127.0.0.1");
    e.CommPort()->SetDevicePathOverride(kNoDevice);
    e.Listen();
    EXPECT_EQ(e.Mode(), mbmSlave);
    EXPECT_EQ(e.GetState(), msInitSlave);
    EXPECT_EQ(A::LastTransactionID(e), 0);
    A::Pass(e);
    EXPECT_EQ(e.CommPort()->DeviceLayer, dlTcp);
    EXPECT_EQ(e.CommPort()->WsMode, wsServer);
    EXPECT_EQ(e.CommPort()->WsAddress, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(e.CommPort()->WsPort, QStringLiteral("0"));
    // Connect switches back to master mode and the serial layer.
    e.Connect();
    EXPECT_EQ(e.Mode(), mbmMaster);
    EXPECT_EQ(e.CommPort()->DeviceLayer, dlSerial);
}

TEST(EngineOpening, DisconnectBeforeTheFirstPassEndsInDone)
{
    TVexaModbus e;
    EngineRecorder rec;
    rec.Attach(e);
    e.CommPort()->SetDevicePathOverride(kNoDevice);
    e.Connect();
    e.Disconnect();
    A::Pass(e);
    EXPECT_EQ(e.GetState(), msDone);
    EXPECT_TRUE(A::TryDisconnect(e)); // still pending for the next request
}
