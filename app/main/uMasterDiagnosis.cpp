// SPDX-License-Identifier: GPL-3.0-or-later
// Main window: the device or host and the system's reason behind a link
// error, for the error list, the status bar and the log.
#include "uMaster.h"

#include "CommPort.h"
#include "LinkDiagnosis.h"
#include "VexaModbus.h"

void TfrmModbusMaster::WatchPortErrors()
{
    TCommPort* port = mdb->CommPort();
    if (!port)
        return;
    // The port's error code is kept on its way to the engine, which reports
    // only that the link failed.
    auto engine = port->OnWsError;
    port->OnWsError = [this, engine](TCommPort* p, int code) {
        FPortError = code;
        if (engine)
            engine(p, code);
    };
}

QString TfrmModbusMaster::LinkErrorReason(int32_t Code) const
{
    if (Code != 0 && Code != 1 && Code != 15 && Code != 16)
        return {};
    if (mdb->InterfaceType() == mbiRS485) {
        const QString device =
            QStringLiteral("COM %1 (%2)").arg(mdb->ComNumber()).arg(TCommPort::DevicePathForNumber(mdb->ComNumber()));
        if (Code == 0 || Code == 1) {
            static const char parity[] = {'N', 'O', 'E', 'M', 'S'};
            const int p = int(mdb->Parity());
            const QString line = QStringLiteral("%1 baud, %2%3%4")
                                     .arg(mdb->ComSpeed())
                                     .arg(mdb->DataBits())
                                     .arg(QLatin1Char(p >= 0 && p < 5 ? parity[p] : '?'))
                                     .arg(mdb->StopBits());
            return LinkDiagnosis::SerialOpenFailure(TCommPort::DevicePathForNumber(mdb->ComNumber()), line)
                .prepend(QStringLiteral("COM %1, ").arg(mdb->ComNumber()));
        }
        return FPortError >= 0 ? LinkDiagnosis::SerialFailure(device, FPortError) : QString();
    }
    if (mdb->InterfaceType() == mbiEthernet) {
        if (FPortError < 0)
            return LinkDiagnosis::HostFailure(mdb->EthIP(), mdb->EthPort());
        return LinkDiagnosis::SocketFailure(mdb->EthIP(), mdb->EthPort(), FPortError, FLinkUp, int(mdb->Timeout()));
    }
    return {};
}
