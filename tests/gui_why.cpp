// SPDX-License-Identifier: GPL-3.0-or-later
// Why a link or a poll failed, in plain sight: the last error's meaning in
// the status bar, connection errors naming the device or host and the
// system's reason, and the engine's time-out and tries as options.
#include <QPushButton>
#include <QTcpServer>
#include <QTest>
#include <cerrno>
#include <gtest/gtest.h>

#include "GuiSupport.h"
#include "LinkDiagnosis.h"
#include "RadioGroup.h"
#include "StatusBar.h"
#include "LabeledEdit.h"
#include "TimeoutsDialog.h"
#include "VexaModbus.h"
#include <QAbstractSocket>
#include <QSpinBox>

using namespace zorptest;

TEST(LinkDiagnosis, NamesTheDeviceOrHostAndTheReason)
{
    using namespace LinkDiagnosis;
    const struct {
        QString Text;
        const char* Expected[2];
    } cases[] = {
        {SerialErrnoText("/dev/ttyUSB0", EACCES, "dialout"),
         {"/dev/ttyUSB0: permission denied", "add yourself to the group dialout"}},
        {SerialErrnoText("/dev/ttyUSB0", EACCES, ""), {"permission denied", "group dialout"}},
        {SerialErrnoText("/dev/ttyUSB0", EACCES, "uucp"), {"permission denied", "group uucp"}},
        {SerialErrnoText("/dev/ttyUSB1", ENOENT, ""), {"/dev/ttyUSB1: no such device", "plugged in"}},
        {SerialErrnoText("/dev/ttyS3", EBUSY, ""), {"/dev/ttyS3: device busy", "another program"}},
        {SerialOpenFailure("/nonexistent/ttyZ9", "9600 baud, 8N1"), {"/nonexistent/ttyZ9: no such device", ""}},
        {SocketFailure("10.0.0.7", 502, QAbstractSocket::ConnectionRefusedError, false, 3000),
         {"10.0.0.7:502: connection refused", ""}},
        {SocketFailure("10.0.0.7", 502, QAbstractSocket::SocketTimeoutError, false, 3000),
         {"10.0.0.7:502: timed out", "3000 ms"}},
        {SocketFailure("10.0.0.7", 502, QAbstractSocket::NetworkError, true, 3000), {"reset or broken", ""}},
        {SocketFailure("10.0.0.7", 502, QAbstractSocket::NetworkError, false, 3000), {"cannot be reached", ""}},
        {SocketFailure("10.0.0.7", 502, QAbstractSocket::RemoteHostClosedError, true, 3000), {"reset", ""}},
        {HostFailure("plc.invalid", 502), {"plc.invalid:502: the host name could not be resolved", ""}},
    };
    for (const auto& c : cases)
        for (const char* e : c.Expected)
            EXPECT_TRUE(c.Text.contains(QLatin1String(e))) << c.Text.toStdString() << " lacks " << e;
}

TEST_F(GuiWindowTest, ConnectionErrorsShowTheDeviceAndTheReasonInTheStatusBar)
{
    // A serial port whose device does not exist.
    mapComPort(4, "/nonexistent/ttyZ9");
    w->rgModbusMode->SetItemIndex(0);
    w->leCOM->setText("4");
    w->btnConnect->click();
    ASSERT_TRUE(waitUntil([&] { return w->FErrors == 1; }));
    const QString serial = w->sBar->PanelText(4);
    EXPECT_TRUE(serial.startsWith("Error 1: ")) << serial.toStdString();
    EXPECT_TRUE(serial.contains("COM 4, /nonexistent/ttyZ9: no such device")) << serial.toStdString();
    EXPECT_TRUE(w->sBar->PanelHint(4).contains(serial.mid(9))) << w->sBar->PanelHint(4).toStdString();

    // A TCP port where nothing listens: refused, with host and port. Connect
    // first clears the panel.
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const uint16_t port = probe.serverPort();
    probe.close();
    w->rgModbusMode->SetItemIndex(2);
    w->leIP->setText("127.0.0.1");
    w->lePort->setText(QString::number(port));
    w->btnConnect->click();
    EXPECT_EQ(w->sBar->PanelText(4), "");
    ASSERT_TRUE(waitUntil([&] { return w->FErrors == 1; }));
    const QString tcp = w->sBar->PanelText(4);
    EXPECT_TRUE(tcp.contains(QStringLiteral("127.0.0.1:%1: connection refused").arg(port))) << tcp.toStdString();
    EXPECT_TRUE(w->ErrorsHint().contains("connection refused")) << w->ErrorsHint().toStdString();
    EXPECT_TRUE(boxes.isEmpty());
}

TEST_F(GuiWindowTest, TimeOutAndTriesAreOptionsOfTheEngine)
{
    EXPECT_EQ(w->mdb->Timeout(), 3000u);
    EXPECT_EQ(w->mdb->MaxRepeat(), 3);
    TfrmTimeouts::RunHook = [](TfrmTimeouts* d) {
        if (qEnvironmentVariableIsSet("ZORP_SHOTS_DIR"))
            d->grab().save(qEnvironmentVariable("ZORP_SHOTS_DIR") + "/timeouts_dialog.png");
        d->seTimeout->setValue(200);
        d->seTries->setValue(2);
        return true;
    };
    w->actTimeouts->trigger();
    TfrmTimeouts::RunHook = nullptr;
    EXPECT_EQ(w->mdb->Timeout(), 200u);
    EXPECT_EQ(w->mdb->MaxRepeat(), 2);
    const TTesterOptions stored = TTesterOptions::Load(w->OptionsFileName());
    EXPECT_EQ(stored.TimeoutMs, 200);
    EXPECT_EQ(stored.MaxRepeat, 2);

    // A slave that never answers: the error names the new figures.
    GuiTcpSlave slave(false);
    slave.Silent = true;
    w->rgModbusMode->SetItemIndex(2);
    w->leIP->setText("127.0.0.1");
    w->lePort->setText(QString::number(slave.port()));
    w->btnConnect->click();
    ASSERT_TRUE(waitUntil([&] { return !w->btnConnect->isEnabled(); }));
    w->btnRead->click();
    ASSERT_TRUE(waitUntil([&] { return w->FErrors == 1; }));
    EXPECT_EQ(slave.requests(), 3);
    const QString shown = w->sBar->PanelText(4);
    EXPECT_TRUE(shown.startsWith("Error 4: ") && shown.contains("3 tries (time-out 200 ms)")) << shown.toStdString();

    // A cancelled dialog changes nothing; the next window starts with them.
    TfrmTimeouts::RunHook = [](TfrmTimeouts* d) {
        d->seTimeout->setValue(9000);
        return false;
    };
    w->actTimeouts->trigger();
    TfrmTimeouts::RunHook = nullptr;
    EXPECT_EQ(w->mdb->Timeout(), 200u);
    w->close();
    w.reset();
    createWindow();
    EXPECT_EQ(w->mdb->Timeout(), 200u);
    EXPECT_EQ(w->mdb->MaxRepeat(), 2);
    EXPECT_TRUE(boxes.isEmpty());
}
