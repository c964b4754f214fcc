// SPDX-License-Identifier: GPL-3.0-or-later
// zorp-poll's typed values, writes, output formats, scan and argument checks
// against independent slaves (pymodbus, libmodbus) and zorp-slave.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <csignal>

#include "PeerMaster.h"
#include "PeerProcess.h"
#include "SlaveSupport.h"
#include "TestSupport.h"
#include "ValueAliases.h"
#include "ValueCases.h"
#include "ValueDecoding.h"

using namespace zorptest;

namespace {

QString pollProgram() { return QDir(binaryDir()).filePath(QStringLiteral("zorp-poll")); }

RunResult poll(const QString& target, const QStringList& args)
{
    return runProgram(pollProgram(), QStringList{QStringLiteral("--tcp"), target} + args, 60000);
}

QStringList Args(const char* text) { return QString::fromUtf8(text).split(u' ', Qt::SkipEmptyParts); }

QString Hex(uint16_t w) { return QStringLiteral("%1").arg(w, 4, 16, QLatin1Char('0')).toUpper(); }

// The registers from address on, read back raw.
std::vector<uint16_t> readWords(const QString& target, long address, size_t count)
{
    const auto r = poll(target, Args("--function 3 --count") << QString::number(count) << QStringLiteral("--address")
                                                           << QString::number(address));
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    std::vector<uint16_t> out;
    for (const QString& line : QString::fromUtf8(r.out).split(u'\n', Qt::SkipEmptyParts))
        out.push_back(uint16_t(line.section(u'\t', 1, 1).toUInt(nullptr, 16)));
    return out;
}

// One slave of each kind, serving Modbus TCP on 127.0.0.1.
struct Peers {
    PeerProcess Pymodbus, Libmodbus;
    slavetest::SlaveProcess Slave;
    QList<QPair<QString, QString>> Targets; // name, HOST:PORT

    bool Start()
    {
        if (!Pymodbus.start(peerPython(), {peerScript(QStringLiteral("pymodbus_server.py")), QStringLiteral("tcp")},
                            QStringLiteral("PORT")))
            return false;
        if (!Libmodbus.start(peerBinary(QStringLiteral("libmodbus_server")), {QStringLiteral("tcp")}, QStringLiteral("PORT")))
            return false;
        if (!Slave.Start({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--registers"),
                          QStringLiteral("0=0")}))
            return false;
        const auto at = [](quint16 port) { return QStringLiteral("127.0.0.1:%1").arg(port); };
        Targets = {{"pymodbus", at(Pymodbus.port())}, {"libmodbus", at(Libmodbus.port())}, {"zorp-slave", at(Slave.Port())}};
        return true;
    }
};

// A python check of the output with the standard csv or json module: prints
// "ADDRESS=VALUE|DESCRIPTION" per value, "error=N|MEANING" per failed poll.
QString parsed(const QByteArray& output, const char* format)
{
    static const char* script = R"PY(
import csv, json, sys
fmt = sys.argv[1]
data = sys.stdin.read()
if fmt == "json":
    for line in data.splitlines():
        o = json.loads(line)
        assert "time" in o and "unit" in o
        if "error" in o:
            print("error=%s|%s" % (o["error"], o["meaning"]))
        for v in o.get("values", []):
            print("%s=%s|%s" % (v["address"], json.dumps(v["value"]), v.get("description", "")))
else:
    rows = list(csv.DictReader(data.splitlines(keepends=True)))
    for r in rows:
        if r["error"] or r["meaning"]:
            print("error=%s|%s" % (r["error"], r["meaning"]))
        else:
            print("%s=%s|%s" % (r["address"], r["value"], r["description"]))
)PY";
    QProcess py;
    py.start(peerPython(), {QStringLiteral("-c"), QString::fromLatin1(script), QString::fromLatin1(format)});
    if (!py.waitForStarted(20000)) return QStringLiteral("<no python>");
    py.write(output);
    py.closeWriteChannel();
    if (!py.waitForFinished(20000)) return QStringLiteral("<python hangs>");
    if (py.exitCode() != 0) return QStringLiteral("<parse error> ") + QString::fromUtf8(py.readAllStandardError());
    return QString::fromUtf8(py.readAllStandardOutput());
}

} // namespace

// The words of the tester's own decoding cases, written raw to each slave,
// read back with each type's alias (and, from one slave, its full name):
// every value prints as the tester shows it.
TEST(PollTyped, EveryAliasReadsAsTheTesterShows)
{
    Peers peers;
    ASSERT_TRUE(peers.Start());
    const long base = 101;
    QStringList hex;
    std::vector<long> at;
    for (const TValueCase& c : ValueCases()) {
        at.push_back(base + hex.size());
        for (uint16_t w : c.Words) hex << Hex(w);
    }
    ASSERT_LE(hex.size(), 123);
    for (const auto& [name, target] : peers.Targets) {
        SCOPED_TRACE(name.toStdString());
        auto r = poll(target, Args("--function 16 --address 101 --type hex --write") << hex.join(u','));
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const auto back = readWords(target, base, size_t(hex.size()));
        ASSERT_EQ(int(back.size()), hex.size());
        for (int i = 0; i < hex.size(); ++i) EXPECT_EQ(Hex(back[size_t(i)]), hex[i]);

        for (size_t i = 0; i < ValueCases().size(); ++i) {
            const TValueCase& c = ValueCases()[i];
            const TDataTypeInfo& type = *ValueDecoding::FindDataType(QString::fromLatin1(c.Type));
            QStringList names = {ValueDecoding::DataTypeAlias(type)};
            if (name == "pymodbus") names << QString::fromLatin1(c.Type);
            for (const QString& typeName : names) {
                r = poll(target, {QStringLiteral("--function"), QStringLiteral("3"), QStringLiteral("--address"),
                                  QString::number(at[i]), QStringLiteral("--count"), QString::number(c.Words.size()),
                                  QStringLiteral("--type"), typeName});
                EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
                EXPECT_EQ(QString::fromUtf8(r.out), QStringLiteral("%1\t%2\n").arg(at[i]).arg(QString::fromUtf8(c.Text)))
                    << typeName.toStdString();
            }
        }
    }
}

// Typed writes put exactly the words of the type's byte order on the slave.
TEST(PollTyped, TypedWritesLandAsTheExactWords)
{
    Peers peers;
    ASSERT_TRUE(peers.Start());
    struct Case {
        const char* Args;
        long Address;
        std::vector<uint16_t> Words; // registers read back from Address, or bits with function 5 and 15
    };
    const Case cases[] = {
        {"--function 16 --type f32:cdab --write 12.5", 201, {0x0000, 0x4148}},
        {"--function 16 --type f32 --write 12.5,-2.5", 203, {0x4148, 0x0000, 0xC020, 0x0000}},
        {"--function 16 --type i64:abcdefgh --write -2", 207, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFE}},
        {"--function 16 --type u32:dcba --write 0x01020304", 211, {0x0403, 0x0201}},
        {"--function 16 --type f64:hgfedcba --write -1234.5678", 213, {0xADFA, 0x5C6D, 0x454A, 0x93C0}},
        {"--function 16 --type bytes --write 10,31,0,65", 217, {0x0A1F, 0x0041}},
        {"--function 16 --type ascii --write AB", 219, {0x4142}},
        {"--function 16 --type i8 --write -1,127", 220, {0x00FF, 0x007F}},
        {"--function 16 --write 1,65535 --count 2", 222, {0x0001, 0xFFFF}},
        {"--function 6 --type i16 --write -2", 224, {0xFFFE}},
        {"--function 6 --type u16:ba --write 0x1234", 225, {0x3412}},
        {"--function 5 --write 1", 301, {1}},
        {"--function 15 --write 1,0,1,1,0,0,1", 302, {1, 0, 1, 1, 0, 0, 1}},
        // The last address goes out as wire address 65535, and so does its echo.
        {"--function 6 --write 0x1234", 65536, {0x1234}},
        {"--function 5 --write 1", 65536, {1}},
    };
    for (const auto& [name, target] : peers.Targets) {
        for (const Case& c : cases) {
            SCOPED_TRACE(name.toStdString() + ": " + c.Args);
            auto r = poll(target, Args(c.Args) << QStringLiteral("--address") << QString::number(c.Address));
            ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
            EXPECT_TRUE(r.out.isEmpty());
            const bool coils = QString::fromLatin1(c.Args).startsWith(u"--function 5") ||
                               QString::fromLatin1(c.Args).startsWith(u"--function 15");
            if (!coils) {
                EXPECT_EQ(readWords(target, c.Address, c.Words.size()), c.Words);
                continue;
            }
            r = poll(target, {QStringLiteral("--function"), QStringLiteral("1"), QStringLiteral("--address"),
                              QString::number(c.Address), QStringLiteral("--count"), QString::number(c.Words.size())});
            QByteArray want;
            for (size_t k = 0; k < c.Words.size(); ++k)
                want += QByteArray::number(qlonglong(c.Address + long(k))) + '\t' + (c.Words[k] ? '1' : '0') + '\n';
            EXPECT_EQ(r.out, want);
        }
    }
}

// csv and json read back through Python's csv and json modules: values,
// descriptions with commas and quotes, and failed polls with their meaning.
TEST(PollTyped, CsvAndJsonParseWithStandardParsers)
{
    PeerProcess peer;
    ASSERT_TRUE(peer.start(peerPython(), {peerScript(QStringLiteral("pymodbus_server.py")), QStringLiteral("tcp")},
                           QStringLiteral("PORT")));
    const QString target = QStringLiteral("127.0.0.1:%1").arg(peer.port());
    // Holding registers 1 to 4 (wire 0 to 3): 1234 1335 1436 1537.
    QString values;
    for (int i = 0; i < 3; ++i) values += QStringLiteral("1=305402677|\n3=339088695|\n");
    auto r = poll(target, Args("--function 3 --address 1 --count 4 --type u32 --format json --repeat 3 --interval 30 "
                               "--remove-echo"));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(parsed(r.out, "json"), values);
    r = poll(target, Args("--function 3 --address 1 --count 4 --type u32 --format csv --repeat 3"));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(parsed(r.out, "csv"), values);
    EXPECT_TRUE(r.out.startsWith("time,unit,address,type,value,description,error,meaning\n"));
    ASSERT_EQ(poll(target, Args("--function 16 --address 500 --type f32 --write 12.5,-0.25")).exitCode, 0);
    r = poll(target, Args("--function 3 --address 500 --count 4 --type f32 --format json"));
    EXPECT_EQ(parsed(r.out, "json"), QStringLiteral("500=12.5|\n502=-0.25|\n"));
    r = poll(target, Args("--function 1 --address 1 --count 3 --format json"));
    EXPECT_EQ(parsed(r.out, "json"), QStringLiteral("1=1|\n2=1|\n3=0|\n"));

    // A profile written by hand, CRLF line ends, a description that needs quoting.
    QTemporaryDir dir;
    const QString profile = dir.filePath(QStringLiteral("meter.zvst"));
    QFile f(profile);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Address]\r\nStart=3\r\nLength=3\r\nSlaveID=1\r\nFunc=03: read holding registers\r\n"
            "[Cells_DataType]\r\n1=UInt32 (LongWord) AABB CCDD\r\n2=---\r\n3=HEX\r\n"
            "[Cells_Description]\r\n1=energy, \"total\"\r\n2=\r\n3=status\r\n");
    f.close();
    r = poll(target, {QStringLiteral("--profile"), profile, QStringLiteral("--format"), QStringLiteral("csv")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(parsed(r.out, "csv"), QStringLiteral("3=339088695|energy, \"total\"\n5=1638|status\n"));
    r = poll(target, {QStringLiteral("--profile"), profile});
    EXPECT_EQ(r.out, "3\tUInt32 (LongWord) AABB CCDD\t339088695\tenergy, \"total\"\n5\tHEX\t1638\tstatus\n");
    // After a coil read every typed row stands alone and only BIT rows show a value.
    QFile coils(dir.filePath(QStringLiteral("coils.zvst")));
    ASSERT_TRUE(coils.open(QIODevice::WriteOnly));
    coils.write("[Address]\nStart=1\nLength=3\nFunc=01: Read Coil Status\n"
                "[Cells_DataType]\n1=BIT\n2=UInt32 (LongWord) AABB CCDD\n3=BIT\n");
    coils.close();
    r = poll(target, {QStringLiteral("--profile"), coils.fileName()});
    EXPECT_EQ(r.out, "1\tBIT\t1\t\n2\tUInt32 (LongWord) AABB CCDD\t\t\n3\tBIT\t0\t\n");

    // Failed polls: exceptions and time-outs, with their meaning.
    PeerProcess small;
    ASSERT_TRUE(small.start(peerBinary(QStringLiteral("libmodbus_server")), {QStringLiteral("tcp"), QStringLiteral("100")},
                            QStringLiteral("PORT")));
    r = poll(QStringLiteral("127.0.0.1:%1").arg(small.port()), Args("--function 3 --address 100 --count 2 --format json"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(parsed(r.out, "json"), QStringLiteral("error=21|exception 02, illegal data address\n"));
    PeerProcess picky;
    ASSERT_TRUE(picky.start(peerPython(), {peerScript(QStringLiteral("pymodbus_server.py")), QStringLiteral("tcp"),
                                           QStringLiteral("5")},
                            QStringLiteral("PORT")));
    r = poll(QStringLiteral("127.0.0.1:%1").arg(picky.port()),
             Args("--function 3 --address 1 --count 1 --unit 3 --timeout 100 --retries 1 --format csv"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(parsed(r.out, "csv"), QStringLiteral("error=4|no valid answer after 2 tries (time-out 100 ms)\n"));
    EXPECT_TRUE(r.err.contains("error 4: no valid answer after 2 tries (time-out 100 ms)")) << r.err.toStdString();
}

TEST(PollTyped, ScanFindsExactlyTheUnitsThatAnswer)
{
    PeerProcess picky;
    ASSERT_TRUE(picky.start(peerPython(), {peerScript(QStringLiteral("pymodbus_server.py")), QStringLiteral("tcp"),
                                           QStringLiteral("5,17")},
                            QStringLiteral("PORT")));
    const QString target = QStringLiteral("127.0.0.1:%1").arg(picky.port());
    auto r = poll(target, Args("--scan 1-247 --timeout 60 --format json --verbose"));
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    QStringList units;
    for (const QString& line : QString::fromUtf8(r.out).split(u'\n', Qt::SkipEmptyParts))
        units << QRegularExpression(QStringLiteral("\"unit\":(\\d+),\"answer\":\"data\"")).match(line).captured(1);
    EXPECT_EQ(units, (QStringList{"5", "17"})) << r.out.toStdString();
    EXPECT_TRUE(r.err.contains("scanned 247 answered 2 ")) << r.err.toStdString();

    r = poll(target, Args("--scan 1-4 --timeout 60"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.isEmpty());

    // Exceptions are answers too.
    PeerProcess small;
    ASSERT_TRUE(small.start(peerBinary(QStringLiteral("libmodbus_server")), {QStringLiteral("tcp"), QStringLiteral("100")},
                            QStringLiteral("PORT")));
    r = poll(QStringLiteral("127.0.0.1:%1").arg(small.port()), Args("--scan 1-3 --address 200 --timeout 500"));
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "1\texception 02, illegal data address\n2\texception 02, illegal data address\n"
                     "3\texception 02, illegal data address\n");
}

// --repeat 0 polls until Ctrl-C; the summary counts the polls that ended.
TEST(PollTyped, RepeatZeroRunsUntilInterrupted)
{
    PeerProcess peer;
    ASSERT_TRUE(peer.start(peerPython(), {peerScript(QStringLiteral("pymodbus_server.py")), QStringLiteral("tcp")},
                           QStringLiteral("PORT")));
    QProcess p;
    p.start(pollProgram(), QStringList{QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:%1").arg(peer.port())} +
                               Args("--function 4 --address 1 --count 2 --repeat 0 --interval 20 --format json --verbose"));
    ASSERT_TRUE(p.waitForStarted(10000));
    QByteArray out;
    ASSERT_TRUE(waitUntil([&] {
        out += p.readAllStandardOutput();
        return out.count('\n') >= 3;
    }, 30000));
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(10000));
    out += p.readAllStandardOutput();
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    const auto m = QRegularExpression(QStringLiteral("polls (\\d+) responses (\\d+) errors 0 ")).match(err);
    ASSERT_TRUE(m.hasMatch()) << err.toStdString();
    EXPECT_EQ(m.captured(1), m.captured(2));
    EXPECT_EQ(m.captured(1).toLongLong(), out.count('\n'));
    EXPECT_TRUE(err.contains("interrupted"));
}

// Bad arguments exit 2 before anything is sent (nothing listens on port 1),
// with a message that names the problem.
TEST(PollTyped, BadArgumentsSayWhich)
{
    QTemporaryDir dir;
    const QString badProfile = dir.filePath(QStringLiteral("bad.zvst"));
    QFile f(badProfile);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Address]\nFunc=05: Write Coil\n");
    f.close();
    const struct {
        QStringList Args;
        const char* Says;
    } cases[] = {
        {Args("--function 3 --address 1 --count 2 --type nosuch"), "unknown type \"nosuch\""},
        {Args("--function 3 --address 1 --count 3 --type u32"), "count 3 is not a whole number of UInt32"},
        {Args("--function 1 --address 1 --count 3 --type f32"), "reads bits"},
        {Args("--function 3 --address 1 --count 3 --type bit"), "type BIT is for functions 1 and 2"},
        {Args("--function 6 --address 1 --write 70000"), "\"70000\" is out of range for UInt16 (Word) AABB (0 to 65535)"},
        {Args("--function 16 --address 1 --type i16 --write 1,40000"), "(-32768 to 32767)"},
        {Args("--function 16 --address 1 --type f32 --write 1e39"), "out of range for Single"},
        {Args("--function 16 --address 1 --type f32 --write 1.5x"), "not a number"},
        {Args("--function 6 --address 1 --type f32 --write 1"), "writes one register"},
        {Args("--function 5 --address 1"), "give the values with --write"},
        {Args("--function 3 --address 1 --write 1"), "needs a write function"},
        {Args("--function 15 --address 1 --write 1,2"), "not a bit (0 or 1)"},
        {Args("--function 16 --address 1 --write 1,2 --count 3"), "does not match"},
        {Args("--function 16 --address 1 --type bytes --write 1,2,3"), "odd number of bytes"},
        {Args("--function 16 --address 65536 --write 1,2"), "runs past address 65536"},
        {Args("--function 3 --address 1 --count 1 --format xml"), "format must be text, csv or json"},
        {Args("--function 3 --address 1 --count 1 --interval 1s"), "invalid interval"},
        {Args("--scan 9-3"), "runs backwards"},
        {Args("--scan 1-300"), "last scan unit 300 out of range"},
        {Args("--scan 1-3 --scan-baud 9600"), "apply to --serial only"},
        {Args("--scan 1-3 --type u16"), "--scan reads"},
        {Args("--profile /nonexistent/x.zvst"), "cannot read the profile"},
        {QStringList{QStringLiteral("--profile"), badProfile}, "Func \"05: Write Coil\" is none of the four"},
    };
    for (const auto& c : cases) {
        const auto r = poll(QStringLiteral("127.0.0.1:1"), c.Args);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 2) << c.Args.join(u' ').toStdString();
        EXPECT_TRUE(r.err.contains(c.Says)) << c.Args.join(u' ').toStdString() << "\n" << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
}

// On a serial link the scan tries every line setting given (a pseudo-terminal
// carries any baud rate, so both answer).
TEST(PollTyped, SerialScanTriesEachLineSetting)
{
    PeerPtyPair line;
    ASSERT_TRUE(line.start());
    PeerProcess peer;
    ASSERT_TRUE(peer.start(peerBinary(QStringLiteral("libmodbus_server")),
                           {QStringLiteral("rtu"), line.first(), QStringLiteral("19200")}, QStringLiteral("READY")));
    const auto r = runProgram(pollProgram(),
                              QStringList{QStringLiteral("--serial"), line.second()} +
                                  Args("--scan 1-1 --scan-baud 9600,19200 --scan-parity N --timeout 300 --format csv -v"),
                              60000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QStringList lines = QString::fromUtf8(r.out).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << r.out.toStdString();
    EXPECT_EQ(lines[0], "time,unit,baud,parity,answer,error,meaning");
    EXPECT_TRUE(lines[1].endsWith(",1,9600,N,data,,")) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].endsWith(",1,19200,N,data,,")) << lines[2].toStdString();
    EXPECT_TRUE(r.err.contains("scanned 2 answered 2 ")) << r.err.toStdString();
}
