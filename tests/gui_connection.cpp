// SPDX-License-Identifier: GPL-3.0-or-later
// The connection panel: key filters, field conversions, Connect and
// Disconnect against real slaves on 127.0.0.1 and a pseudo-terminal, and the
// way back from a link that broke.
#include <QApplication>
#include <QClipboard>
#include <QGroupBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>
#include <gtest/gtest.h>

#include "CommLog.h"
#include "HostilePeer.h"
#include "GuiSupport.h"
#include "LabeledEdit.h"
#include "PortPty.h"
#include "RadioGroup.h"
#include "StringGrid.h"
#include "StatusBar.h"
#include "TestSupport.h"
#include "VexaModbus.h"
#include "uMaster.h"

using namespace zorptest;

namespace {

class ConnectionTest : public GuiWindowTest {
protected:
    // Types text into the box through real key events, starting from empty.
    QString typeInto(TLabeledEdit* e, const QString& text)
    {
        e->setFocus();
        e->clear();
        QTest::keyClicks(e, text);
        return e->text();
    }
    void useTcp(int mode, uint16_t port)
    {
        w->rgModbusMode->SetItemIndex(mode);
        w->leIP->setText("127.0.0.1");
        w->lePort->setText(QString::number(port));
    }
    bool connected() { return waitUntil([&] { return !w->btnConnect->isEnabled(); }, 5000); }
    // A port on 127.0.0.1 with nobody listening.
    static uint16_t closedPort()
    {
        QTcpServer s;
        s.listen(QHostAddress::LocalHost, 0);
        return s.serverPort();
    }
    void expectConnectedState(bool up)
    {
        EXPECT_EQ(w->btnConnect->isEnabled(), !up);
        EXPECT_EQ(w->btnDisconnect->isEnabled(), up);
        // The log stays usable while connected.
        EXPECT_TRUE(w->gbComm->isEnabled());
    }
};

const QRegularExpression kStamp(QStringLiteral("^\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d\\.\\d{3}: "));

} // namespace

TEST_F(ConnectionTest, EveryFilterTakesItsCharactersAndRefusesTheRest)
{
    struct Row {
        TLabeledEdit* e;
        const char* typed;
        const char* kept;
    } rows[] = {
        {w->leCOM, "1a- 2.x3", "123"},
        {w->leSpeed, "19a2 00-", "19200"},
        {w->leSlaveID, "2 x4-7", "247"},
        {w->lePort, "5a0.2", "502"},
        {w->leIP, "10.0a.0 .1-", "10.0.0.1"},
        {w->leParity, "eEnNxo", "E"},
        {w->leDataBits, "56978", "7"},
        {w->leStopBits, "30a2", "2"},
        {w->leStartAddress, "4x0-0", "400"},
        {w->leLength, "1y2 5", "125"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.e->objectName().toStdString());
        EXPECT_EQ(typeInto(r.e, QString::fromLatin1(r.typed)), QString::fromLatin1(r.kept));
    }
    // Parity takes "N" as well, and capitals only.
    EXPECT_EQ(typeInto(w->leParity, "nN"), "N");

    // Backspace passes every filter; characters above 255 and Latin-1 letters do not.
    for (TLabeledEdit* e : {w->leCOM, w->leIP, w->leParity, w->leDataBits, w->leStopBits, w->leLength}) {
        SCOPED_TRACE(e->objectName().toStdString());
        e->setFocus();
        e->setText(e == w->leParity ? "E" : e == w->leStopBits ? "2" : e == w->leDataBits ? "8" : "1");
        e->end(false);
        for (const QString& c : {QString::fromUtf8("Ł"), QString::fromUtf8("é"), QString::fromUtf8("€"),
                                 QString::fromUcs4(U"\U0001F600", 1)}) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, c);
            QApplication::sendEvent(e, &press);
        }
        EXPECT_EQ(e->text().size(), 1);
        QTest::keyClick(e, Qt::Key_Backspace);
        EXPECT_EQ(e->text(), "");
    }
}

TEST_F(ConnectionTest, ClipboardShortcutsWorkWithFilteredPastesAndKeysWithoutCharactersWork)
{
    // Ctrl+V pastes what the field's filter accepts of the clipboard's text,
    // up to the field's maximum length.
    const struct {
        TLabeledEdit* e;
        const char* before;
        const char* clip;
        const char* after;
    } pastes[] = {{w->leIP, "1.2", "9a9 .x7\n", "1.299.7"},   {w->lePort, "5", "0-2 ", "502"},
                  {w->leCOM, "", "12345", "123"},              {w->leParity, "", "eN", "N"},
                  {w->leStartAddress, "4", "00 0", "4000"},     {w->leSlaveID, "", "abc", ""}};
    for (const auto& p : pastes) {
        SCOPED_TRACE(p.e->objectName().toStdString());
        QApplication::clipboard()->setText(QString::fromLatin1(p.clip));
        p.e->setFocus();
        p.e->setText(QString::fromLatin1(p.before));
        p.e->end(false);
        QTest::keyClick(p.e, Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(p.e->text(), QString::fromLatin1(p.after));
    }
    // Ctrl+A selects, Ctrl+C copies, Ctrl+X cuts.
    TLabeledEdit* e = w->leIP;
    e->setFocus();
    e->setText("1.2");
    QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(e->selectedText(), "1.2");
    QTest::keyClick(e, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "1.2");
    QTest::keyClick(e, Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(e->text(), "");
    EXPECT_EQ(QApplication::clipboard()->text(), "1.2");
    // Other control characters stay refused.
    e->setText("1");
    e->end(false);
    QTest::keyClick(e, Qt::Key_B, Qt::ControlModifier);
    EXPECT_EQ(e->text(), "1");

    // Arrows, Home, End and Delete are not filtered.
    e->setText("123");
    QTest::keyClick(e, Qt::Key_Home);
    QTest::keyClick(e, Qt::Key_Delete);
    EXPECT_EQ(e->text(), "23");
    QTest::keyClick(e, Qt::Key_Right);
    QTest::keyClick(e, Qt::Key_Delete);
    EXPECT_EQ(e->text(), "2");
    QTest::keyClick(e, Qt::Key_End);
    QTest::keyClick(e, '7');
    EXPECT_EQ(e->text(), "27");

    // Pasting through the context menu is not filtered; the maximum length holds.
    QApplication::clipboard()->setText("abc.def-ghi-jkl-mno-pqr");
    e->clear();
    e->paste();
    EXPECT_EQ(e->text(), "abc.def-ghi-jkl");
    w->leParity->clear();
    QApplication::clipboard()->setText("xy");
    w->leParity->paste();
    EXPECT_EQ(w->leParity->text(), "x");
    // The speed box refuses non-digits even when pasted.
    w->leSpeed->setText("96");
    w->leSpeed->end(false);
    QApplication::clipboard()->setText("0a");
    w->leSpeed->paste();
    EXPECT_EQ(w->leSpeed->text(), "96");
}

TEST_F(ConnectionTest, EmptySerialFieldsFallBackToTheirDefaultsAndParityIsKept)
{
    PortPty pty;
    ASSERT_TRUE(pty.ok());
    mapComPort(1, pty.slavePath());
    w->rgModbusMode->SetItemIndex(0);
    w->mdb->SetComNumber(5);
    w->mdb->SetComSpeed(1200);
    w->mdb->SetDataBits(7);
    w->mdb->SetStopBits(2);
    for (TLabeledEdit* e : {w->leCOM, w->leSpeed, w->leDataBits, w->leStopBits})
        e->clear();
    w->leParity->setText("E");
    QTest::mouseClick(w->btnConnect, Qt::LeftButton);
    EXPECT_EQ(w->mdb->InterfaceType(), mbiRS485);
    EXPECT_EQ(w->mdb->Protocol(), mbpRTU);
    EXPECT_EQ(w->mdb->ComNumber(), 1);
    EXPECT_EQ(w->mdb->ComSpeed(), 9600);
    EXPECT_EQ(w->mdb->DataBits(), 8);
    EXPECT_EQ(w->mdb->StopBits(), 1);
    EXPECT_EQ(w->mdb->Parity(), pEven);
    // A pseudo-terminal refuses even parity: the connect fails, the window stays.
    zorptest::spin(100);
    expectConnectedState(false);
    w->leParity->clear();
    w->btnConnectClick(w->btnConnect);
    EXPECT_EQ(w->mdb->Parity(), pEven);
    w->leParity->setText("x"); // only a stored file can put this here
    w->btnConnectClick(w->btnConnect);
    EXPECT_EQ(w->mdb->Parity(), pEven);
    w->leParity->setText("N");
    w->btnConnectClick(w->btnConnect);
    EXPECT_EQ(w->mdb->Parity(), pNone);
    ASSERT_TRUE(connected());
    EXPECT_TRUE(boxes.isEmpty());
    w->btnDisconnect->click();
    ASSERT_TRUE(waitUntil([&] { return w->btnConnect->isEnabled(); }));

    // An empty port gives 502; the IP is passed as typed.
    w->rgModbusMode->SetItemIndex(1);
    w->lePort->clear();
    w->leIP->setText("127.0.0.1");
    w->btnConnect->click();
    EXPECT_EQ(w->mdb->InterfaceType(), mbiEthernet);
    EXPECT_EQ(w->mdb->Protocol(), mbpRTU);
    EXPECT_EQ(w->mdb->EthPort(), 502);
    EXPECT_EQ(w->mdb->EthIP(), "127.0.0.1");
}

TEST_F(ConnectionTest, ConnectClearsLogAndCountersEvenWhenTheSlaveIdIsBad)
{
    w->mdbSendData(w->mdb, "\x01\x03", 2);
    w->FPolls = 4;
    w->FResponses = 3;
    w->FErrors = 1;
    w->ShowCounters();
    w->mdb->SetDeviceID(9);
    useTcp(2, 1502);
    w->leSlaveID->clear();
    w->btnConnect->click();
    EXPECT_EQ(w->REComm->LineCount(), 0);
    EXPECT_EQ(w->FPolls + w->FResponses + w->FErrors, 0);
    EXPECT_EQ(w->sBar->PanelText(1), "Polls: 0");
    EXPECT_EQ(w->sBar->PanelText(2), "Responses: 0");
    EXPECT_EQ(w->sBar->PanelText(3), "Errors: 0");
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0].Title, "ZORP");
    EXPECT_EQ(boxes[0].Text, "'''' is not a valid integer value.");
    // The mode was written, the device address was not, and Connect was not called.
    EXPECT_EQ(w->mdb->Protocol(), mbpTCP);
    EXPECT_EQ(w->mdb->EthPort(), 1502);
    EXPECT_EQ(w->mdb->DeviceID(), 9);
    EXPECT_EQ(w->mdb->GetState(), int(msNone));

    // Values the engine cannot hold are refused instead of being cut.
    w->leSlaveID->setText("300");
    w->btnConnect->click();
    ASSERT_EQ(boxes.size(), 2);
    EXPECT_EQ(boxes[1].Text, "Slave ID 300 is out of range 0..255.");
    EXPECT_EQ(w->mdb->DeviceID(), 9);
    w->leSlaveID->setText("255");
    w->lePort->setText("70000");
    w->btnConnect->click();
    ASSERT_EQ(boxes.size(), 3);
    EXPECT_EQ(boxes[2].Text, "Port 70000 is out of range 0..65535.");
    EXPECT_EQ(w->mdb->GetState(), int(msNone));
    w->rgModbusMode->SetItemIndex(0);
    w->leCOM->setText("65537"); // its low 16 bits would be COM 1
    w->btnConnect->click();
    ASSERT_EQ(boxes.size(), 4);
    EXPECT_EQ(boxes[3].Text, "COM 65537 is out of range 1..65535.");
    EXPECT_EQ(w->mdb->GetState(), int(msNone));
    expectConnectedState(false);
}

TEST_F(ConnectionTest, TcpAndRtuOverTcpConnectLogAndDisconnect)
{
    for (int mode : {2, 1}) {
        SCOPED_TRACE(mode);
        GuiTcpSlave slave(mode == 1);
        ASSERT_TRUE(slave.ok());
        useTcp(mode, slave.port());
        w->leSlaveID->setText("17");
        w->btnConnect->click();
        ASSERT_TRUE(connected());
        const QString up = QStringLiteral("Connected to: 127.0.0.1:%1").arg(slave.port());
        EXPECT_EQ(w->sBar->PanelText(0), up);
        expectConnectedState(true);
        EXPECT_EQ(w->mdb->DeviceID(), 17);

        w->mdb->ReadHoldingRegs(1, 2);
        ASSERT_TRUE(waitUntil([&] { return w->REComm->LineCount() >= 2; }));
        const QString sent = w->REComm->LineText(0);
        const QString got = w->REComm->LineText(w->REComm->LineCount() - 1);
        EXPECT_TRUE(kStamp.match(sent).hasMatch()) << sent.toStdString();
        EXPECT_TRUE(kStamp.match(got).hasMatch()) << got.toStdString();
        if (mode == 2) {
            // Transaction id, protocol 0, length 6, then the request.
            EXPECT_TRUE(sent.endsWith("] [00] [00] [00] [06] [11] [03] [00] [00] [00] [02] ")) << sent.toStdString();
            EXPECT_EQ(sent.size(), 25 + 12 * 5);
            EXPECT_TRUE(got.endsWith("[00] [00] [00] [07] [11] [03] [04] [01] [00] [01] [01] ")) << got.toStdString();
        } else {
            EXPECT_TRUE(sent.endsWith(": [11] [03] [00] [00] [00] [02] [C6] [9B] ")) << sent.toStdString();
            EXPECT_TRUE(got.contains(": [11] [03] [04] [01] [00] [01] [01] ")) << got.toStdString();
        }
        EXPECT_EQ(w->REComm->LineColor(0), QColor(255, 0, 0));
        EXPECT_EQ(w->REComm->LineColor(w->REComm->LineCount() - 1), QColor(0, 0, 255));
        // The log still follows while its group is disabled.
        EXPECT_TRUE(w->REComm->AtEnd());

        // The mode may change while connected; it takes effect at the next Connect.
        w->rgModbusMode->SetItemIndex(0);
        EXPECT_EQ(w->mdb->InterfaceType(), mbiEthernet);

        const int lines = w->REComm->LineCount();
        QTest::mouseClick(w->btnDisconnect, Qt::LeftButton);
        ASSERT_TRUE(waitUntil([&] { return w->btnConnect->isEnabled(); }));
        EXPECT_EQ(w->sBar->PanelText(0), "Disconnected");
        expectConnectedState(false);
        EXPECT_EQ(w->REComm->LineCount(), lines);
    }
    EXPECT_TRUE(boxes.isEmpty());
}

TEST_F(ConnectionTest, SerialConnectOpensAndClosesTheComPort)
{
    PortPty pty;
    ASSERT_TRUE(pty.ok());
    mapComPort(7, pty.slavePath());
    w->rgModbusMode->SetItemIndex(0);
    w->leCOM->setText("7");
    w->leParity->setText("N");
    w->leSpeed->setText("19200");
    w->btnConnect->click();
    ASSERT_TRUE(connected());
    EXPECT_EQ(w->sBar->PanelText(0), "COM 7: Opened");
    expectConnectedState(true);

    w->mdb->ReadHoldingRegs(1, 10);
    const QByteArray req = pty.read(8);
    EXPECT_EQ(req.toHex(' '), QByteArray("01 03 00 00 00 0a c5 cd"));
    ASSERT_TRUE(waitUntil([&] { return w->REComm->LineCount() >= 1; }));
    EXPECT_TRUE(w->REComm->LineText(0).endsWith(": [01] [03] [00] [00] [00] [0A] [C5] [CD] "));
    // An answer in two pieces gives two blue lines.
    pty.write(QByteArray::fromHex("010302"));
    ASSERT_TRUE(waitUntil([&] { return w->REComm->LineCount() >= 2; }));
    zorptest::spin(30);
    pty.write(QByteArray::fromHex("0001"));
    ASSERT_TRUE(waitUntil([&] { return w->REComm->LineCount() >= 3; }));
    EXPECT_TRUE(w->REComm->LineText(1).endsWith(": [01] [03] [02] "));
    EXPECT_TRUE(w->REComm->LineText(2).endsWith(": [00] [01] "));
    EXPECT_EQ(w->REComm->LineColor(1), QColor(0, 0, 255));
    EXPECT_EQ(w->REComm->LineColor(2), QColor(0, 0, 255));

    w->btnDisconnect->click();
    ASSERT_TRUE(waitUntil([&] { return w->btnConnect->isEnabled(); }));
    EXPECT_EQ(w->sBar->PanelText(0), "COM 7: Closed");
    expectConnectedState(false);
}

TEST_F(ConnectionTest, ARefusedConnectionLeavesTheWindowAsItWas)
{
    useTcp(2, closedPort());
    w->sBar->SetPanelText(0, "before");
    w->btnConnect->click();
    ASSERT_TRUE(waitUntil([&] { return w->FErrors > 0; }));
    zorptest::spin(50);
    expectConnectedState(false);
    EXPECT_EQ(w->sBar->PanelText(0), "before");
    EXPECT_TRUE(boxes.isEmpty());
}

TEST_F(ConnectionTest, AResetTcpLinkReturnsTheWindowToConnect)
{
    hostile::HostileSlave slave;
    ASSERT_NE(slave.Port(), 0);
    useTcp(2, slave.Port());
    w->btnConnect->click();
    ASSERT_TRUE(connected());
    ASSERT_TRUE(waitUntil([&] { return slave.HasClient(); }));
    // The slave resets the connection while the link idles.
    slave.Reset();
    ASSERT_TRUE(waitUntil([&] { return w->btnConnect->isEnabled(); }));
    EXPECT_EQ(w->sBar->PanelText(0), "Connection lost");
    expectConnectedState(false);
    EXPECT_FALSE(w->mdb->Connected());
}

TEST_F(ConnectionTest, ALostSerialLinkReturnsTheWindowToConnect)
{
    auto pty = std::make_unique<PortPty>();
    ASSERT_TRUE(pty->ok());
    mapComPort(3, pty->slavePath());
    w->rgModbusMode->SetItemIndex(0);
    w->leCOM->setText("3");
    w->leParity->setText("N");
    w->btnConnect->click();
    ASSERT_TRUE(connected());

    // The adapter goes away: the engine ends the link without a disconnect report.
    pty->closeMaster();
    ASSERT_TRUE(waitUntil([&] { return w->btnConnect->isEnabled(); }));
    EXPECT_EQ(w->sBar->PanelText(0), "COM 3: Connection lost");
    expectConnectedState(false);
    EXPECT_FALSE(w->mdb->Connected());

    // Connect works again once the line is back.
    pty = std::make_unique<PortPty>();
    ASSERT_TRUE(pty->ok());
    mapComPort(3, pty->slavePath());
    w->btnConnect->click();
    ASSERT_TRUE(connected());
    EXPECT_EQ(w->sBar->PanelText(0), "COM 3: Opened");
    w->btnDisconnect->click();
    ASSERT_TRUE(waitUntil([&] { return w->btnConnect->isEnabled(); }));
    EXPECT_EQ(w->sBar->PanelText(0), "COM 3: Closed");
}

TEST_F(ConnectionTest, ASlaveThatClosesTheConnectionEndsTheLinkAtTheNextRequest)
{
    GuiTcpSlave slave(false);
    ASSERT_TRUE(slave.ok());
    useTcp(2, slave.port());
    w->btnConnect->click();
    ASSERT_TRUE(connected());
    ASSERT_TRUE(waitUntil([&] { return slave.clients() == 1; }));
    slave.closeClients();
    zorptest::spin(100);
    w->mdb->ReadHoldingRegs(1, 1);
    ASSERT_TRUE(waitUntil([&] { return w->btnConnect->isEnabled(); }));
    EXPECT_EQ(w->sBar->PanelText(0), "Disconnected");
    expectConnectedState(false);

    w->btnConnect->click();
    ASSERT_TRUE(connected());
    w->btnDisconnect->click();
    ASSERT_TRUE(waitUntil([&] { return w->btnConnect->isEnabled(); }));
}

TEST_F(ConnectionTest, ClosingWhileConnectedAsksNothing)
{
    GuiTcpSlave slave(false);
    useTcp(2, slave.port());
    w->btnConnect->click();
    ASSERT_TRUE(connected());
    EXPECT_TRUE(w->close());
    w.reset();
    EXPECT_TRUE(boxes.isEmpty());
}

TEST_F(ConnectionTest, StartAddressKeyPressRefreshesTheAddressColumnFromTheTextBeforeTheKey)
{
    // Key presses alone, without the key-up refresh, show what the press does.
    w->leStartAddress->OnKeyUp = nullptr;
    w->leStartAddress->setFocus();
    w->leStartAddress->setText("5");
    w->FillAddresses();
    ASSERT_EQ(w->sgData->Cells(0, 1), "5");
    w->leStartAddress->setText("7");
    w->leStartAddress->end(false);
    QKeyEvent press(QEvent::KeyPress, Qt::Key_0, Qt::NoModifier, "0");
    QApplication::sendEvent(w->leStartAddress, &press);
    EXPECT_EQ(w->leStartAddress->text(), "70");
    EXPECT_EQ(w->sgData->Cells(0, 1), "7");
    // A refused key refreshes with the text as it stands; from "0" nothing is refreshed.
    w->leStartAddress->setText("0");
    QKeyEvent bad(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
    QApplication::sendEvent(w->leStartAddress, &bad);
    EXPECT_EQ(w->sgData->Cells(0, 1), "7");
    w->leStartAddress->setText("12");
    QApplication::sendEvent(w->leStartAddress, &bad);
    EXPECT_EQ(w->leStartAddress->text(), "12");
    EXPECT_EQ(w->sgData->Cells(0, 1), "12");
}
