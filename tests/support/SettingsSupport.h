// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Header-only support for the settings, polling and bad-file tests of the
// tester window: a fixture whose settings folder is a temporary one and whose
// window is created when the test says so (after it has laid out its files),
// and a real Modbus TCP slave (python3-pymodbus) on 127.0.0.1.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

#include <csignal>
#include <sys/prctl.h>

#include "AppErrors.h"
#include "FormStorage.h"
#include "TestSupport.h"
#include "uMaster.h"
#include "uSplash.h"

namespace zorptest {

// A Modbus TCP slave from python3-pymodbus: holding and input register k
// (wire address) hold k + 0x100; coil and discrete input k are on when k is
// odd. Pause() stops the process (it then answers nothing), Resume() lets it
// go on.
class SettingsPySlave {
public:
    ~SettingsPySlave() { Stop(); }

    bool Start()
    {
        {
            QTcpServer probe;
            if (!probe.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0))
                return false;
            FPort = probe.serverPort();
        }
        static const char* script = R"PY(
import logging, sys
logging.disable(logging.CRITICAL)
from pymodbus.server import StartTcpServer
from pymodbus.datastore import ModbusSlaveContext, ModbusServerContext, ModbusSequentialDataBlock
port = int(sys.argv[1])
regs = [(k + 0x100) & 0xFFFF for k in range(65536)]
bits = [k % 2 == 1 for k in range(65536)]
store = ModbusSlaveContext(di=ModbusSequentialDataBlock(0, bits), co=ModbusSequentialDataBlock(0, bits),
                           hr=ModbusSequentialDataBlock(0, regs), ir=ModbusSequentialDataBlock(0, regs),
                           zero_mode=True)
StartTcpServer(context=ModbusServerContext(slaves=store, single=True), address=("127.0.0.1", port))
)PY";
        FProc = std::make_unique<QProcess>();
        FProc->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // The server dies with the test binary, also when a time-out kills it.
        FProc->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        FProc->start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-c"), QString::fromUtf8(script), QString::number(FPort)});
        if (!FProc->waitForStarted(5000))
            return false;
        // Ready once it accepts a connection.
        return waitUntil(
            [this] {
                QTcpSocket s;
                s.connectToHost(QStringLiteral("127.0.0.1"), FPort);
                const bool ok = s.waitForConnected(200);
                s.abort();
                return ok;
            },
            15000);
    }

    void Pause()
    {
        if (FProc && FProc->processId() > 0)
            ::kill(pid_t(FProc->processId()), SIGSTOP);
    }
    void Resume()
    {
        if (FProc && FProc->processId() > 0)
            ::kill(pid_t(FProc->processId()), SIGCONT);
    }
    void Stop()
    {
        if (!FProc)
            return;
        Resume();
        FProc->kill();
        FProc->waitForFinished(5000);
        FProc.reset();
    }
    uint16_t Port() const { return FPort; }

private:
    std::unique_ptr<QProcess> FProc;
    uint16_t FPort = 0;
};

// Fixture: settings folder in a temporary directory, title window 20 ms,
// error boxes captured. The window is created by CreateWindow().
class SettingsWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Dir.isValid());
        zorp::SetConfigFolder(Dir.path());
        TfrmSplash::SetDuration(20);
        SetErrorBoxHook([this](const QString&, const QString& text) { Boxes.append(text); });
    }
    void TearDown() override
    {
        DestroyWindow();
        zorp::SetSaveDialogHook(nullptr);
        SetErrorBoxHook(nullptr);
        zorp::SetConfigFolder(QString());
    }

    void CreateWindow()
    {
        W = std::make_unique<TfrmModbusMaster>();
        W->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(W.get()));
    }
    // Closes (which writes "setings.ini") and destroys the window.
    void DestroyWindow()
    {
        if (!W)
            return;
        W->close();
        W.reset();
    }

    QString IniPath() const { return Dir.filePath(QStringLiteral("setings.ini")); }
    QString ProfilePath(const QString& name) const { return Dir.filePath(QStringLiteral("Settings/") + name); }

    static QByteArray ReadFile(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void WriteFile(const QString& path, const QByteArray& bytes)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(f.write(bytes), bytes.size());
    }

    QTemporaryDir Dir;
    std::unique_ptr<TfrmModbusMaster> W;
    QStringList Boxes;
};

} // namespace zorptest
