// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Header-only (the shared support library has no widgets). Support for the tester's window tests: a window fixture that keeps the
// title window short, captures error boxes and keeps settings files in a
// temporary folder; and a small in-process Modbus slave on 127.0.0.1.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include "AppErrors.h"
#include "CommPort.h"
#include "ModbusCRC.h"
#include "TestSupport.h"
#include "uMaster.h"
#include "uSplash.h"

class QTcpServer;
class QTcpSocket;
class TfrmModbusMaster;

namespace zorptest {

// A Modbus slave for functions 1 to 4 over TCP, with Modbus TCP or RTU
// framing. Register k (wire address) holds k + 0x100; coil and input k are
// on when k is odd. Answers every unit id.
class GuiTcpSlave : public QObject {
public:
    // Port 0: any free port.
    explicit GuiTcpSlave(bool rtuFraming, QObject* parent = nullptr, uint16_t port = 0);
    ~GuiTcpSlave() override;

    bool ok() const;
    uint16_t port() const;
    // When set, each answer is sent in two pieces, the second 40 ms later.
    bool SplitAnswers = false;
    // When set, requests are read but never answered.
    bool Silent = false;
    int requests() const { return FRequests; }
    int clients() const { return FClients.size(); }
    // Closes every client connection (a FIN; the slave goes on listening).
    void closeClients();

    // The answer to one complete request (without framing), or empty.
    static QByteArray answerPdu(const QByteArray& pdu);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket* s);

    bool FRtu;
    QTcpServer* FServer = nullptr;
    QList<QPointer<QTcpSocket>> FClients;
    int FRequests = 0;
};

// One captured error box.
struct GuiErrorBox {
    QString Title;
    QString Text;
};

// Fixture: a shown main window with the title window at 20 ms, error boxes
// captured, settings files kept in a temporary folder.
class GuiWindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates and shows the window (SetUp does it unless createInSetUp is false).
    void createWindow();
    bool createInSetUp = true;

    std::unique_ptr<TfrmModbusMaster> w;
    QList<GuiErrorBox> boxes;
    QTemporaryDir configDir;
    QString comPortsIni;
    // Maps COM n to a device path for the port object.
    void mapComPort(int n, const QString& path);
};

// ---- implementation --------------------------------------------------------------


inline GuiTcpSlave::GuiTcpSlave(bool rtuFraming, QObject* parent, uint16_t port)
    : QObject(parent), FRtu(rtuFraming)
{
    FServer = new QTcpServer(this);
    FServer->listen(QHostAddress::LocalHost, port);
    connect(FServer, &QTcpServer::newConnection, this, &GuiTcpSlave::onNewConnection);
}

inline GuiTcpSlave::~GuiTcpSlave()
{
    closeClients();
}

inline bool GuiTcpSlave::ok() const
{
    return FServer->isListening();
}

inline uint16_t GuiTcpSlave::port() const
{
    return FServer->serverPort();
}

inline void GuiTcpSlave::closeClients()
{
    for (auto& s : FClients)
        if (s)
            s->disconnectFromHost();
    FClients.clear();
}

inline void GuiTcpSlave::onNewConnection()
{
    while (QTcpSocket* s = FServer->nextPendingConnection()) {
        FClients.append(s);
        connect(s, &QTcpSocket::readyRead, this, [this, s] { onReadyRead(s); });
        connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
    }
}

inline QByteArray GuiTcpSlave::answerPdu(const QByteArray& pdu)
{
    if (pdu.size() < 6)
        return {};
    const uint8_t unit = uint8_t(pdu[0]);
    const uint8_t fc = uint8_t(pdu[1]);
    const int a = (uint8_t(pdu[2]) << 8) | uint8_t(pdu[3]);
    const int q = (uint8_t(pdu[4]) << 8) | uint8_t(pdu[5]);
    QByteArray out;
    out.append(char(unit));
    out.append(char(fc));
    if (fc == 3 || fc == 4) {
        out.append(char(2 * q));
        for (int k = 0; k < q; ++k) {
            const int v = (a + k + 0x100) & 0xFFFF;
            out.append(char(v >> 8));
            out.append(char(v & 0xFF));
        }
    } else if (fc == 1 || fc == 2) {
        const int n = (q + 7) / 8;
        out.append(char(n));
        for (int b = 0; b < n; ++b) {
            uint8_t v = 0;
            for (int bit = 0; bit < 8 && b * 8 + bit < q; ++bit)
                if ((a + b * 8 + bit) % 2 == 1)
                    v |= uint8_t(1u << bit);
            out.append(char(v));
        }
    } else {
        out.append(char(1));
        out[1] = char(fc | 0x80);
    }
    return out;
}

inline void GuiTcpSlave::onReadyRead(QTcpSocket* s)
{
    QByteArray buf = s->property("zorpbuf").toByteArray() + s->readAll();
    for (;;) {
        QByteArray pdu;
        QByteArray header;
        if (FRtu) {
            if (buf.size() < 8)
                break;
            pdu = buf.left(6);
            buf.remove(0, 8);
        } else {
            if (buf.size() < 12)
                break;
            header = buf.left(4);
            pdu = buf.mid(6, 6);
            buf.remove(0, 12);
        }
        ++FRequests;
        if (Silent)
            continue;
        const QByteArray answer = answerPdu(pdu);
        QByteArray frame;
        if (FRtu) {
            frame = answer;
            const uint16_t crc = zorp::ModbusCRC16(reinterpret_cast<const uint8_t*>(answer.constData()), size_t(answer.size()));
            frame.append(char(crc & 0xFF));
            frame.append(char(crc >> 8));
        } else {
            frame = header;
            frame.append(char(answer.size() >> 8));
            frame.append(char(answer.size() & 0xFF));
            frame.append(answer);
        }
        if (SplitAnswers && frame.size() > 2) {
            const int half = int(frame.size()) / 2;
            s->write(frame.left(half));
            s->flush();
            QPointer<QTcpSocket> ps(s);
            const QByteArray rest = frame.mid(half);
            QTimer::singleShot(40, this, [ps, rest] {
                if (ps) {
                    ps->write(rest);
                    ps->flush();
                }
            });
        } else {
            s->write(frame);
            s->flush();
        }
    }
    s->setProperty("zorpbuf", buf);
}

// ---- window fixture ------------------------------------------------------------

inline void GuiWindowTest::SetUp()
{
    ASSERT_TRUE(configDir.isValid());
    qputenv("ZORP_CONFIG_DIR", configDir.path().toLocal8Bit());
    comPortsIni = configDir.filePath(QStringLiteral("comports.ini"));
    TCommPort::SetComPortsIniPath(comPortsIni);
    TfrmSplash::SetDuration(20);
    SetErrorBoxHook([this](const QString& title, const QString& text) { boxes.append({title, text}); });
    if (createInSetUp)
        createWindow();
}

inline void GuiWindowTest::createWindow()
{
    w = std::make_unique<TfrmModbusMaster>();
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
}

inline void GuiWindowTest::TearDown()
{
    if (w) {
        w->close();
        w.reset();
    }
    SetErrorBoxHook(nullptr);
    TCommPort::SetComPortsIniPath(QString());
    qunsetenv("ZORP_CONFIG_DIR");
}

inline void GuiWindowTest::mapComPort(int n, const QString& path)
{
    // Rewritten whole: one mapping per test is all the tests need.
    QFile f(comPortsIni);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(QStringLiteral("[Ports]\n%1=%2\n").arg(n).arg(path).toLocal8Bit());
}

} // namespace zorptest
