// SPDX-License-Identifier: GPL-3.0-or-later
// Connection panel: Connect and Disconnect, the engine's link reports, the
// recovery from a link the transport lost, and the key filters of the
// window's edit boxes.
#include "uMaster.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QTimer>
#include <utility>

#include "AppErrors.h"
#include "CommPort.h"
#include "CommLog.h"
#include "LabeledEdit.h"
#include "LinkRecovery.h"
#include "PollWindows.h"
#include "RadioGroup.h"
#include "SerialPortsDialog.h"
#include "StatusBar.h"
#include "VexaModbus.h"

namespace {
// Backspace passes every filter; anything else only when accept(c) holds.
template <typename Pred>
void filterKey(QChar& Key, Pred accept)
{
    const char16_t c = Key.unicode();
    if (c == 8)
        return;
    if (c > 255 || !accept(c))
        Key = QChar(0);
}

bool isDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}
} // namespace

void TfrmModbusMaster::btnConnectClick(QObject*)
{
    Recovery->Cancel();
    FUserDisconnect = false;
    REComm->Clear();

    FPolls = 0;
    FResponses = 0;
    FErrors = 0;
    ShowCounters();
    ResetTransactions();
    FErrorRecords.clear();
    sBar->SetPanelHint(3, QString());
    sBar->SetPanelText(4, QString());
    sBar->SetPanelHint(4, QString());
    FPortError = -1;

    auto ethernet = [this](TModbusProtocol protocol) {
        mdb->SetInterfaceType(mbiEthernet);
        mdb->SetProtocol(protocol);
        mdb->SetEthIP(leIP->text());
        const int port = StrToIntDef(lePort->text(), 502);
        // Five digits admit values a TCP port cannot have; passing their low
        // bits would reach some unrelated port, so such a value is refused.
        if (port < 0 || port > 65535)
            throw EAppError(QStringLiteral("Port %1 is out of range 0..65535").arg(port));
        mdb->SetEthPort(static_cast<uint16_t>(port));
    };

    switch (rgModbusMode->ItemIndex()) {
    case 0: {
        mdb->SetInterfaceType(mbiRS485);
        mdb->SetProtocol(mbpRTU);
        const int com = StrToIntDef(leCOM->text(), 1);
        // The low bits of a larger number would open another port.
        if (com < 1 || com > 65535)
            throw EAppError(QStringLiteral("COM %1 is out of range 1..65535").arg(com));
        mdb->SetComNumber(com);
        const QString parity = leParity->text();
        if (parity == QLatin1String("E"))
            mdb->SetParity(pEven);
        else if (parity == QLatin1String("N"))
            mdb->SetParity(pNone);
        mdb->SetDataBits(static_cast<uint16_t>(StrToIntDef(leDataBits->text(), 8)));
        mdb->SetStopBits(static_cast<uint16_t>(StrToIntDef(leStopBits->text(), 1)));
        mdb->SetComSpeed(StrToIntDef(leSpeed->text(), 9600));
        break;
    }
    case 1: ethernet(mbpRTU); break;
    case 2: ethernet(mbpTCP); break;
    default: break; // no mode selected: the engine keeps its settings
    }

    mdb->SetDeviceID(static_cast<uint8_t>(SlaveIdField()));

    mdb->Connect();
}

void TfrmModbusMaster::btnDisconnectClick(QObject*)
{
    FUserDisconnect = true;
    Recovery->Cancel();
    mdb->Disconnect();
}

void TfrmModbusMaster::mdbConnect(QObject*)
{
    switch (mdb->InterfaceType()) {
    case mbiRS485:
        sBar->SetPanelText(0, QStringLiteral("COM %1: Opened").arg(mdb->ComNumber()));
        break;
    case mbiEthernet:
        sBar->SetPanelText(0, QStringLiteral("Connected to: %1:%2").arg(mdb->EthIP()).arg(mdb->EthPort()));
        break;
    default: break;
    }
    FLinkUp = true;
    FUserDisconnect = false;
    Recovery->Connected();
    // Poll windows a workspace left waiting for the link start Real time.
    if (PollWindows) PollWindows->LinkUp();
    btnConnect->setEnabled(false);
    btnDisconnect->setEnabled(true);
    // The log stays enabled: it can be scrolled, selected and copied while
    // lines come in (it follows its end until the user scrolls away).
}

void TfrmModbusMaster::mdbDisconnect(QObject*)
{
    switch (mdb->InterfaceType()) {
    case mbiRS485:
        sBar->SetPanelText(0, QStringLiteral("COM %1: Closed").arg(mdb->ComNumber()));
        break;
    case mbiEthernet:
        sBar->SetPanelText(0, QStringLiteral("Disconnected"));
        break;
    default: break;
    }
    FLinkUp = false;
    ResetTransactions();
    ReadsEnded(TGridFreshness::TCause::LinkClosed);
    btnConnect->setEnabled(true);
    btnDisconnect->setEnabled(false);
    gbComm->setEnabled(true);
    if (!std::exchange(FUserDisconnect, false))
        LinkEnded();
}

void TfrmModbusMaster::LinkEnded()
{
    const bool polling = cbRealTime->isChecked();
    if (FOptions.KeepPollingAfterErrors) {
        Recovery->LinkEnded(polling);
    } else if (polling) {
        // The cycle ended with the link: the box no longer claims it runs.
        cbRealTime->setChecked(false);
    }
}

// A transport error (a reset, aborted or timed-out connection, a failing
// serial device) ends the link inside the engine without a disconnect
// report: the engine rests in msNone with Connected false, where Disconnect
// has nothing left to close. The window notices that state once the engine's
// pass is over and returns to the disconnected state, so that Connect works
// again. The regular closing also passes through msNone, but reports the
// disconnect in the same pass, before the deferred check runs.
void TfrmModbusMaster::mdbChangeState(QObject*)
{
    if (!FLinkUp || mdb->GetState() != msNone)
        return;
    QTimer::singleShot(0, this, [this] { RunGuarded([this] { CheckLinkLost(); }); });
}

void TfrmModbusMaster::CheckLinkLost()
{
    if (!FLinkUp || mdb->Connected() || mdb->GetState() != msNone)
        return;
    sBar->SetPanelText(0, LinkLostText());
    FLinkUp = false;
    ResetTransactions();
    ReadsEnded(TGridFreshness::TCause::LinkClosed);
    btnConnect->setEnabled(true);
    btnDisconnect->setEnabled(false);
    gbComm->setEnabled(true);
    LinkEnded();
}

QString TfrmModbusMaster::LinkLostText() const
{
    if (mdb->InterfaceType() == mbiRS485)
        return QStringLiteral("COM %1: Connection lost").arg(mdb->ComNumber());
    return QStringLiteral("Connection lost");
}

// ---- key filters ---------------------------------------------------------------

void TfrmModbusMaster::leCOMKeyPress(QObject*, QChar& Key)
{
    filterKey(Key, isDigit);
}

void TfrmModbusMaster::lePortKeyPress(QObject*, QChar& Key)
{
    filterKey(Key, isDigit);
}

void TfrmModbusMaster::leIPKeyPress(QObject*, QChar& Key)
{
    filterKey(Key, [](char16_t c) { return isDigit(c) || c == u'.'; });
}

void TfrmModbusMaster::leParityKeyPress(QObject*, QChar& Key)
{
    filterKey(Key, [](char16_t c) { return c == u'E' || c == u'N'; });
}

void TfrmModbusMaster::leDataBitsKeyPress(QObject*, QChar& Key)
{
    filterKey(Key, [](char16_t c) { return c == u'7' || c == u'8'; });
}

void TfrmModbusMaster::leStopBitsKeyPress(QObject*, QChar& Key)
{
    filterKey(Key, [](char16_t c) { return c == u'1' || c == u'2'; });
}

void TfrmModbusMaster::leStartAddressKeyPress(QObject*, QChar& Key)
{
    filterKey(Key, [this](char16_t c) { return isDigit(c) || StartAddressKeyAllowed(c); });
    // The Address column follows the field; the field still holds the text
    // before this key, so the refresh uses it (the key-up refresh follows).
    QString probe = leStartAddress->text();
    if (Key.unicode() != 0)
        probe += Key;
    int v = 0;
    if (TryStartAddressField(probe, v) && v > 0)
        FillAddresses();
}

void TfrmModbusMaster::leLengthKeyPress(QObject*, QChar& Key)
{
    filterKey(Key, isDigit);
}

void TfrmModbusMaster::ShowSerialPorts()
{
    const int n = RunSerialPortsDialog(this, TCommPort::ComPortsIniPath(), StrToIntDef(leCOM->text(), 1));
    if (n > 0)
        leCOM->setText(QString::number(n));
}
