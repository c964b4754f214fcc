// SPDX-License-Identifier: GPL-3.0-or-later
// zorp-poll against independent slaves: output format, exit status,
// argument checking.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "PeerMaster.h"
#include "PeerProcess.h"
#include "TestSupport.h"

using namespace zorptest;

namespace {

QString pollProgram() { return QDir(binaryDir()).filePath(QStringLiteral("zorp-poll")); }

// With --verbose: the summary line that the tests read.
RunResult poll(const QStringList& args)
{
    return runProgram(pollProgram(), args + QStringList{QStringLiteral("--verbose")}, 30000);
}
RunResult pollPlain(const QStringList& args) { return runProgram(pollProgram(), args, 30000); }

QString lastLine(const QByteArray& text)
{
    const QStringList lines = QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.back();
}

// "polls P responses R errors E elapsed_ms T" with the given P, R, E.
void expectSummary(const RunResult& r, int polls, int responses, int errors)
{
    const QRegularExpression re(QStringLiteral("^polls (\\d+) responses (\\d+) errors (\\d+) elapsed_ms (\\d+)$"));
    const auto m = re.match(lastLine(r.err));
    ASSERT_TRUE(m.hasMatch()) << r.err.toStdString();
    EXPECT_EQ(m.captured(1).toInt(), polls);
    EXPECT_EQ(m.captured(2).toInt(), responses);
    EXPECT_EQ(m.captured(3).toInt(), errors);
}

QByteArray registerLines(int function, uint32_t address, uint32_t count)
{
    QByteArray out;
    const auto values = peerExpected(function, address, count);
    for (uint32_t k = 0; k < count; ++k)
        out += QStringLiteral("%1\t%2\t%3\n")
                   .arg(address + k)
                   .arg(values[k], 4, 16, QLatin1Char('0'))
                   .arg(values[k])
                   .toUpper()
                   .toUtf8();
    return out;
}

QByteArray bitLines(int function, uint32_t address, uint32_t count)
{
    QByteArray out;
    const auto values = peerExpected(function, address, count);
    for (uint32_t k = 0; k < count; ++k)
        out += QByteArray::number(address + k) + '\t' + (values[k] ? '1' : '0') + '\n';
    return out;
}

class PollPymodbusTcp : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.start(peerPython(),
                               {peerScript(QStringLiteral("pymodbus_server.py")), QStringLiteral("tcp")},
                               QStringLiteral("PORT")))
            << peer.errors().toStdString();
        target = QStringLiteral("127.0.0.1:%1").arg(peer.port());
    }
    PeerProcess peer;
    QString target;
};

} // namespace

TEST_F(PollPymodbusTcp, PrintsRegistersAndBitsExactly)
{
    for (int fc : {3, 4}) {
        const auto r = poll({QStringLiteral("--tcp"), target, QStringLiteral("--function"), QString::number(fc),
                             QStringLiteral("--address"), QStringLiteral("65530"), QStringLiteral("--count"),
                             QStringLiteral("7")});
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(r.out, registerLines(fc, 65530, 7));
        expectSummary(r, 1, 1, 0);
    }
    for (int fc : {1, 2}) {
        const auto r = poll({QStringLiteral("--tcp"), target, QStringLiteral("--function"), QString::number(fc),
                             QStringLiteral("--address"), QStringLiteral("1"), QStringLiteral("--count"),
                             QStringLiteral("255")});
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(r.out, bitLines(fc, 1, 255));
        expectSummary(r, 1, 1, 0);
    }
}

TEST_F(PollPymodbusTcp, RepeatsQuietly)
{
    const auto r = poll({QStringLiteral("--tcp"), target, QStringLiteral("--function=3"), QStringLiteral("--address=1"),
                         QStringLiteral("--count=125"), QStringLiteral("--repeat"), QStringLiteral("50"),
                         QStringLiteral("--quiet")});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.isEmpty());
    expectSummary(r, 50, 50, 0);
}

TEST(PollCli, RtuOverTcpAndSerialThroughComNumber)
{
    PeerProcess tcpPeer;
    ASSERT_TRUE(tcpPeer.start(peerPython(), {peerScript(QStringLiteral("pymodbus_server.py")), QStringLiteral("rtu-tcp")},
                              QStringLiteral("PORT")));
    auto r = poll({QStringLiteral("--rtu-tcp"), QStringLiteral("127.0.0.1:%1").arg(tcpPeer.port()),
                   QStringLiteral("--function"), QStringLiteral("4"), QStringLiteral("--address"), QStringLiteral("10"),
                   QStringLiteral("--count"), QStringLiteral("10"), QStringLiteral("--unit"), QStringLiteral("17")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, registerLines(4, 10, 10));

    // COM 4 is the device that comports.ini beside the program names: run
    // a copy of the program in a folder of its own.
    PeerPtyPair line;
    ASSERT_TRUE(line.start());
    PeerProcess serialPeer;
    ASSERT_TRUE(serialPeer.start(peerBinary(QStringLiteral("libmodbus_server")),
                                 {QStringLiteral("rtu"), line.first(), QStringLiteral("19200")}, QStringLiteral("READY")));
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString copy = dir.filePath(QStringLiteral("zorp-poll"));
    ASSERT_TRUE(QFile::copy(pollProgram(), copy));
    QFile ini(dir.filePath(QStringLiteral("comports.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[Ports]\n4=" + line.second().toUtf8() + "\n");
    ini.close();
    r = runProgram(copy, {QStringLiteral("--serial"), QStringLiteral("COM4"), QStringLiteral("--baud"),
                          QStringLiteral("19200"), QStringLiteral("--function"), QStringLiteral("1"),
                          QStringLiteral("--address"), QStringLiteral("3"), QStringLiteral("--count"),
                          QStringLiteral("12"), QStringLiteral("--repeat"), QStringLiteral("3"), QStringLiteral("-v")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, bitLines(1, 3, 12) + bitLines(1, 3, 12) + bitLines(1, 3, 12));
    expectSummary(r, 3, 3, 0);
}

TEST(PollCli, FailuresExitWithOne)
{
    // Exception responses: the engine's message, and every poll counted.
    PeerProcess peer;
    ASSERT_TRUE(peer.start(peerBinary(QStringLiteral("libmodbus_server")), {QStringLiteral("tcp"), QStringLiteral("100")},
                           QStringLiteral("PORT")));
    auto r = poll({QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:%1").arg(peer.port()), QStringLiteral("--function"),
                   QStringLiteral("3"), QStringLiteral("--address"), QStringLiteral("100"), QStringLiteral("--count"),
                   QStringLiteral("2"), QStringLiteral("--repeat"), QStringLiteral("2")});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.isEmpty());
    // In English only: the engine's own log texts are not the tool's messages.
    EXPECT_TRUE(r.err.contains("error 21: exception 02, illegal data address\n")) << r.err.toStdString();
    EXPECT_FALSE(r.err.contains("Modbus exception")) << r.err.toStdString();
    expectSummary(r, 2, 0, 2);

    // Nothing listens: the link never comes up.
    peer.stop();
    r = poll({QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:1"), QStringLiteral("--function"), QStringLiteral("3"),
              QStringLiteral("--address"), QStringLiteral("1"), QStringLiteral("--count"), QStringLiteral("1"),
              QStringLiteral("--timeout"), QStringLiteral("500")});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1);
    expectSummary(r, 0, 0, 1);

    // No such serial device: the engine's opening error.
    r = poll({QStringLiteral("--serial"), QStringLiteral("/dev/zorp-no-such-device"), QStringLiteral("--function"),
              QStringLiteral("1"), QStringLiteral("--address"), QStringLiteral("1"), QStringLiteral("--count"),
              QStringLiteral("1")});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("error 1: the port could not be opened\n")) << r.err.toStdString();
    EXPECT_FALSE(r.err.contains("Nie ")) << r.err.toStdString();
}

TEST(PollCli, BadArgumentsExitWithTwo)
{
    const QString t = QStringLiteral("127.0.0.1:502");
    const QStringList base = {QStringLiteral("--function"), QStringLiteral("3"), QStringLiteral("--address"),
                              QStringLiteral("1")};
    const QList<QStringList> bad = {
        {},
        {QStringLiteral("--tcp"), t, QStringLiteral("--address"), QStringLiteral("1"), QStringLiteral("--count"),
         QStringLiteral("1")},                                                              // no function
        QStringList{QStringLiteral("--tcp"), t} + base + QStringList{QStringLiteral("--count"), QStringLiteral("126")},
        QStringList{QStringLiteral("--tcp"), t} + base + QStringList{QStringLiteral("--count"), QStringLiteral("0")},
        QStringList{QStringLiteral("--tcp"), t} + base + QStringList{QStringLiteral("--count"), QStringLiteral("1x")},
        QStringList{QStringLiteral("--rtu-tcp"), QStringLiteral("127.0.0.1")} + base + QStringList{QStringLiteral("--count"), QStringLiteral("1")},
        QStringList{QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:0")} + base + QStringList{QStringLiteral("--count"), QStringLiteral("1")},
        QStringList{QStringLiteral("--tcp"), t, QStringLiteral("--serial"), QStringLiteral("COM1")} + base +
            QStringList{QStringLiteral("--count"), QStringLiteral("1")},
        QStringList{QStringLiteral("--tcp"), t, QStringLiteral("--baud"), QStringLiteral("9600x")} + base +
            QStringList{QStringLiteral("--count"), QStringLiteral("1")},
        QStringList{QStringLiteral("--tcp"), t, QStringLiteral("--function"), QStringLiteral("7"),
                    QStringLiteral("--address"), QStringLiteral("1"), QStringLiteral("--count"), QStringLiteral("1")},
        QStringList{QStringLiteral("--tcp"), t, QStringLiteral("--function"), QStringLiteral("3"),
                    QStringLiteral("--address"), QStringLiteral("0"), QStringLiteral("--count"), QStringLiteral("1")},
        QStringList{QStringLiteral("--tcp"), t, QStringLiteral("--function"), QStringLiteral("3"),
                    QStringLiteral("--address"), QStringLiteral("65500"), QStringLiteral("--count"), QStringLiteral("40")},
        QStringList{QStringLiteral("--tcp"), t} + base + QStringList{QStringLiteral("--count"), QStringLiteral("1"),
                                                                     QStringLiteral("--bogus")},
        QStringList{QStringLiteral("--serial"), QStringLiteral("COM1"), QStringLiteral("--parity"), QStringLiteral("X")} +
            base + QStringList{QStringLiteral("--count"), QStringLiteral("1")},
        // A COM number that does not fit is no other port; unit 0 is never answered.
        QStringList{QStringLiteral("--serial"), QStringLiteral("COM65537")} + base +
            QStringList{QStringLiteral("--count"), QStringLiteral("1")},
        QStringList{QStringLiteral("--tcp"), t, QStringLiteral("--unit"), QStringLiteral("0")} + base +
            QStringList{QStringLiteral("--count"), QStringLiteral("1")},
    };
    for (const QStringList& args : bad) {
        const auto r = poll(args);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 2) << args.join(u' ').toStdString();
        EXPECT_TRUE(r.err.contains("usage: zorp-poll")) << args.join(u' ').toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }

    // Bits above 255 are valid Modbus but more than the engine can ask.
    const auto r = poll({QStringLiteral("--tcp"), t, QStringLiteral("--function"), QStringLiteral("1"),
                         QStringLiteral("--address"), QStringLiteral("1"), QStringLiteral("--count"),
                         QStringLiteral("256")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains("at most 255")) << r.err.toStdString();
}

TEST(PollCli, ACoilAnswerShorterThanTheCountIsRefused)
{
    // A slave that answers every Read Coils with one data byte, whatever the
    // count: ten coils need two, so the poll fails instead of printing zeros.
    static const char* kShortCoilSlave = R"PY(
import socket, struct, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(1)
print("PORT %d" % s.getsockname()[1], flush=True)
c, _ = s.accept()
buf = b""
while True:
    d = c.recv(260)
    if not d: break
    buf += d
    while len(buf) >= 12:
        tid, _, _, unit, fc = struct.unpack(">HHHBB", buf[:8]); buf = buf[12:]
        c.sendall(struct.pack(">HHHBBBB", tid, 0, 4, unit, fc, 1, 0x55))
)PY";
    PeerProcess peer;
    ASSERT_TRUE(peer.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromLatin1(kShortCoilSlave)},
                           QStringLiteral("PORT")));
    const QString target = QStringLiteral("127.0.0.1:%1").arg(peer.port());
    auto r = poll({QStringLiteral("--tcp"), target, QStringLiteral("--function"), QStringLiteral("1"),
                   QStringLiteral("--address"), QStringLiteral("1"), QStringLiteral("--count"), QStringLiteral("10")});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
    EXPECT_TRUE(r.err.contains("response carries 1 data bytes, 2 expected")) << r.err.toStdString();
}

// Short options mean their long forms; --tcp without a port is port 502; the
// summary goes to stderr with --verbose or when stdout is a terminal.
TEST_F(PollPymodbusTcp, ShortOptionsDefaultPortAndSummaryOnlyWhenAsked)
{
    const QByteArray lines = registerLines(3, 65530, 7);
    const struct {
        const char* Args;
        QByteArray Out;
        int Polls; // summary expected with this many polls; 0: no summary, stderr empty
    } cases[] = {
        {"--function 3 --address 65530 --count 7", lines, 0},
        {"--function 3 --address 65530 --count 7 --verbose", lines, 1},
        {"-f 3 -a 65530 -c 7", lines, 0},
        {"-f3 -a65530 -c7 -u1 -o 2000 -v", lines, 1},
        {"-f 3 -a 65530 -c 7 -T hex -F text -l 2 -i 0 -v", "", -2},
        {"-f 3 -a 65530 -c 7 -q -l 3 -v", "", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Args);
        const auto r = pollPlain(QStringList{QStringLiteral("-t"), target} + QString::fromLatin1(c.Args).split(u' '));
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        if (c.Polls == -2) {
            // Typed: ADDRESS<TAB>VALUE, twice.
            EXPECT_EQ(r.out.count('\n'), 14) << r.out.toStdString();
            EXPECT_TRUE(r.out.startsWith("65530\t")) << r.out.toStdString();
            expectSummary(r, 2, 2, 0);
            continue;
        }
        EXPECT_EQ(r.out, c.Out);
        if (c.Polls > 0) {
            expectSummary(r, c.Polls, c.Polls, 0);
            EXPECT_TRUE(r.err.startsWith("zorp-poll: polling " + target.toUtf8() + ", unit 1\n")) << r.err.toStdString();
        } else {
            EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
        }
    }

    // No port: 502.
    auto r = pollPlain({QStringLiteral("-t"), QStringLiteral("127.0.0.1"), QStringLiteral("-f"), QStringLiteral("3"),
                        QStringLiteral("-a"), QStringLiteral("1"), QStringLiteral("-c"), QStringLiteral("1"),
                        QStringLiteral("-o"), QStringLiteral("300"), QStringLiteral("-v")});
    EXPECT_TRUE(r.err.startsWith("zorp-poll: polling 127.0.0.1:502, unit 1\n")) << r.err.toStdString();

    // Standard output on a terminal: the summary comes without --verbose.
    r = runProgram(QStringLiteral("/usr/bin/script"),
                   {QStringLiteral("-qec"),
                    pollProgram() + QStringLiteral(" -t ") + target + QStringLiteral(" -f 3 -a 1 -c 2"),
                    QStringLiteral("/dev/null")},
                   30000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.out.toStdString();
    EXPECT_TRUE(QString::fromUtf8(r.out).contains(QRegularExpression(QStringLiteral("polls 1 responses 1 errors 0 elapsed_ms \\d+"))))
        << r.out.toStdString();

    // --help names the short forms.
    r = pollPlain({QStringLiteral("-h")});
    EXPECT_EQ(r.exitCode, 0);
    for (const char* s : {"-t, --tcp HOST[:PORT]", "-f, --function", "-a, --address", "-c, --count", "-v, --verbose"})
        EXPECT_TRUE(r.out.contains(s)) << s;
}
