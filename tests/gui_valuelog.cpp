// SPDX-License-Identifier: GPL-3.0-or-later
// Logging of decoded Values to CSV: the file rereads exactly, one line per
// response; a file that fails stops the logging and not the polling; a
// process killed mid-run leaves every row it flushed, and rows reach the
// disk without further writes.
#include <QCheckBox>
#include <QDateTime>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <cstdlib>

#include "LabeledEdit.h"
#include "SettingsSupport.h"
#include "StringGrid.h"
#include "ValueLogger.h"
#include "ValueWatch.h"

using namespace zorptest;

namespace {

constexpr int colDataType = 1;
constexpr int colValue = 2;
constexpr int colDescription = 3;

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// RFC 4180 records of a CSV text with CR LF line ends. An unterminated last
// line is returned in Partial.
QList<QStringList> ParseCsv(const QString& text, QString* partial = nullptr)
{
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == u'"' && i + 1 < text.size() && text[i + 1] == u'"') field += c, ++i;
            else if (c == u'"') quoted = false;
            else field += c;
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            row << field;
            field.clear();
        } else if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
            row << field;
            rows << row;
            row.clear();
            field.clear();
            ++i;
            lineStart = i + 1;
        } else {
            field += c;
        }
    }
    if (partial) *partial = text.mid(lineStart);
    return rows;
}

// The child process of the kill tests (run when ZORP_LOG_CHILD is set, before
// the tests start): logs a row every millisecond to ZORP_LOG_FILE, forever
// ("stream") or up to a count ("idle:N", then prints "wrote N" and idles),
// printing "flushed N" after every flush. The parent kills it.
int RunLogChild()
{
    static char name[] = "logchild";
    static char* argv[] = {name, nullptr};
    int argc = 1;
    QCoreApplication app(argc, argv);
    const QString mode = qEnvironmentVariable("ZORP_LOG_CHILD");
    const int limit = mode.startsWith("idle:") ? mode.mid(5).toInt() : -1;
    TValueLogger log;
    log.OnFlushed = [](qint64 n) {
        std::printf("flushed %lld\n", static_cast<long long>(n));
        std::fflush(stdout);
    };
    QString error;
    if (!log.Start(qEnvironmentVariable("ZORP_LOG_FILE"), {"n", "text"}, error)) return 2;
    QTimer t;
    int n = 0;
    QObject::connect(&t, &QTimer::timeout, [&] {
        ++n;
        const QString a = QString::number(n), b = QStringLiteral("v,%1").arg(n);
        const QStringView v[2] = {a, b};
        log.WriteRow(QDateTime::currentDateTime(), v, 2);
        if (n == limit) {
            t.stop();
            std::printf("wrote %d\n", n);
            std::fflush(stdout);
        }
    });
    t.start(1);
    return app.exec();
}

[[maybe_unused]] const bool kChild = [] {
    if (std::getenv("ZORP_LOG_CHILD")) std::_Exit(RunLogChild());
    return false;
}();

class ValueLogTest : public SettingsWindowTest {
protected:
    void SetUp() override
    {
        SettingsWindowTest::SetUp();
        CreateWindow();
        V = W->ValueWatch;
        const QStringList types = {"UInt16 (Word) AABB", "HEX", "BYTES", "SInt16 (SmallInt) AABB", "",
                                   "Single (Float) DDCC BBAA", "---"};
        W->leStartAddress->setText("1");
        W->leLength->setText("7");
        W->sgData->SetRowCount(8);
        W->FillAddresses();
        for (int r = 1; r <= 7; ++r) W->sgData->SetCells(colDataType, r, types[r - 1]);
        W->sgData->SetCells(colDescription, 1, "Temp, \"outer\"");
        W->sgData->SetCells(colDescription, 4, " Pressure ");
        W->MarkContinuationRows();
    }
    // A response; returns the Value texts of rows 1 to 7 after it.
    QStringList Respond(uint8_t seed)
    {
        std::vector<uint8_t> b(14);
        for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(seed * 7 + i * 13);
        W->mdbReadHoldingRegs(W.get(), 1, 1, 7, b);
        QStringList v;
        for (int r = 1; r <= 7; ++r) v << W->sgData->Cells(colValue, r);
        return v;
    }
    QString ReadText(const QString& path) { return QString::fromUtf8(ReadFile(path)); }
    TValueWatch* V = nullptr;
};

} // namespace

TEST_F(ValueLogTest, CsvRereadsExactlyOneRowPerResponse)
{
    struct Case {
        const char* Name;
        std::vector<int> Plot;       // chart rows; none: every typed row
        std::vector<int> Columns;    // the rows the log must hold
        QStringList Headers;
    } cases[] = {
        {"typed rows", {}, {1, 2, 3, 4, 6}, {"Time", "Temp, \"outer\"", "Address 2", "Address 3", "Pressure", "Address 6"}},
        {"chart rows", {6, 1}, {6, 1}, {"Time", "Address 6", "Temp, \"outer\""}},
    };
    for (const Case& c : cases) {
        V->RemoveRow(0);
        for (int r : c.Plot) V->PlotRow(r);
        const QString file = Dir.filePath(QString("log %1.csv").arg(c.Name));
        const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
        V->StartLogging(file);
        EXPECT_TRUE(V->actLogCsv->isChecked());
        QList<QStringList> shown;
        for (uint8_t k = 0; k < 5; ++k) shown << Respond(k);
        V->StopLogging();
        EXPECT_FALSE(V->actLogCsv->isChecked());
        const QDateTime after = QDateTime::currentDateTime().addMSecs(1);
        shown << Respond(9); // after the stop: not logged

        QString partial;
        const QList<QStringList> rows = ParseCsv(ReadText(file), &partial);
        EXPECT_TRUE(partial.isEmpty()) << c.Name;
        ASSERT_EQ(rows.size(), 6) << c.Name;
        EXPECT_EQ(rows[0], c.Headers) << c.Name;
        QDateTime last = before;
        for (int k = 0; k < 5; ++k) {
            const QStringList& row = rows[k + 1];
            ASSERT_EQ(row.size(), qsizetype(c.Columns.size() + 1)) << c.Name;
            EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}([+-]\d\d:\d\d|Z)$)")
                            .match(row[0]).hasMatch())
                << row[0].toStdString();
            const QDateTime t = QDateTime::fromString(row[0], Qt::ISODateWithMs);
            EXPECT_TRUE(t >= last && t <= after) << row[0].toStdString();
            last = t;
            for (size_t i = 0; i < c.Columns.size(); ++i)
                EXPECT_EQ(row[qsizetype(i + 1)], shown[k][c.Columns[i] - 1]) << c.Name << " row " << k;
        }
    }
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join("|").toStdString();
}

TEST_F(ValueLogTest, ARowPlottedWhileLoggingIsLoggedFromThenOn)
{
    // Row 1's name is a quoted field with quotes inside: the rewrite keeps it one field.
    W->sgData->SetCells(colDataType, 2, "UInt16 (Word) AABB");
    W->sgData->SetCells(colDescription, 2, "Flow");
    V->PlotRow(1);
    const QString file = Dir.filePath("added.csv");
    V->StartLogging(file);
    QList<QStringList> shown;
    for (uint8_t k = 0; k < 3; ++k) shown << Respond(k);
    V->PlotRow(2);
    V->PlotRow(1); // already logged: no second column
    for (uint8_t k = 3; k < 5; ++k) shown << Respond(k);
    V->StopLogging();
    QString partial;
    const QList<QStringList> rows = ParseCsv(ReadText(file), &partial);
    EXPECT_TRUE(partial.isEmpty());
    ASSERT_EQ(rows.size(), 6);
    EXPECT_EQ(rows[0], (QStringList{"Time", "Temp, \"outer\"", "Flow"}));
    for (int k = 0; k < 5; ++k) {
        ASSERT_EQ(rows[k + 1].size(), 3) << k;
        EXPECT_EQ(rows[k + 1][1], shown[k][0]) << k;
        EXPECT_EQ(rows[k + 1][2], k < 3 ? QString() : shown[k][1]) << k;
    }
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join("|").toStdString();
}

TEST_F(ValueLogTest, MenuEntryStartsAndStopsAndFailuresStopOnlyTheLogging)
{
    // The same entry starts (asking for a file) and stops.
    const QString file = Dir.filePath("menu");
    zorp::SetSaveDialogHook([&](QFileDialog*) { return file; });
    V->actLogCsv->trigger();
    EXPECT_TRUE(V->Logging());
    EXPECT_TRUE(V->actLogCsv->isChecked());
    EXPECT_EQ(V->LogFile, file + ".csv");
    Respond(1);
    V->actLogCsv->trigger();
    EXPECT_FALSE(V->Logging());
    EXPECT_FALSE(V->actLogCsv->isChecked());
    EXPECT_EQ(ParseCsv(ReadText(file + ".csv")).size(), 2);

    // A file that cannot be created: a message, no logging.
    zorp::SetSaveDialogHook([&](QFileDialog*) { return Dir.filePath("no/such/folder/x.csv"); });
    V->actLogCsv->trigger();
    EXPECT_FALSE(V->Logging());
    EXPECT_FALSE(V->actLogCsv->isChecked());
    ASSERT_EQ(Boxes.size(), 1);
    EXPECT_TRUE(Boxes[0].contains("no/such/folder/x.csv")) << Boxes[0].toStdString();
    Boxes.clear();

    // A device that takes no data fails at the header.
    EXPECT_FALSE(RunGuarded([&] { V->StartLogging("/dev/full"); }));
    EXPECT_FALSE(V->Logging());
    ASSERT_EQ(Boxes.size(), 1);
    EXPECT_TRUE(Boxes[0].contains("/dev/full")) << Boxes[0].toStdString();
    Boxes.clear();

    // A file that stops taking data in the middle of the run (here: the
    // process's file size limit): the logging stops with one message at the
    // next flush; the responses go on being shown.
    const QString full = Dir.filePath("full.csv");
    V->StartLogging(full);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = rlim_t(QFileInfo(full).size() + 150);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    for (uint8_t k = 0; k < 20 && Boxes.isEmpty(); ++k) {
        Respond(k);
        spin(TValueLogger::FlushIntervalMs / 5);
    }
    ASSERT_TRUE(waitUntil([&] { return !Boxes.isEmpty(); }, 10000));
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(V->Logging());
    EXPECT_FALSE(V->actLogCsv->isChecked());
    EXPECT_TRUE(Boxes[0].startsWith("Logging to " + full + " stopped")) << Boxes[0].toStdString();
    const int before = W->FResponses;
    const QStringList v = Respond(42);
    EXPECT_EQ(W->FResponses, before + 1);
    EXPECT_EQ(W->sgData->Cells(colValue, 1), v[0]);
    spin(50);
    EXPECT_EQ(Boxes.size(), 1) << "one message";
}

// A logging process killed in the middle of its run keeps every row it
// reported flushed, all whole and in order; and rows reach the disk while
// nothing more is written (the timed flush).
TEST(ValueLogKill, KilledProcessKeepsFlushedRows)
{
    QTemporaryDir dir;
    struct Case {
        const char* Mode;
    } cases[] = {{"stream"}, {"idle:7"}};
    for (const Case& c : cases) {
        const QString file = dir.filePath(QString("%1.csv").arg(c.Mode).replace(':', '_'));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ZORP_LOG_CHILD", c.Mode);
        env.insert("ZORP_LOG_FILE", file);
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::SeparateChannels);
        child.start(QCoreApplication::applicationFilePath(), {});
        ASSERT_TRUE(child.waitForStarted(10000));
        QByteArray out;
        qint64 flushed = 0;
        bool wrote = false;
        const bool idle = QByteArray(c.Mode).startsWith("idle");
        auto reached = [&] {
            out += child.readAllStandardOutput();
            for (const QByteArray& line : out.split('\n')) {
                if (line.startsWith("flushed ")) flushed = std::max(flushed, line.mid(8).toLongLong());
                if (line.startsWith("wrote ")) wrote = true;
            }
            if (idle) return wrote && ParseCsv(QString::fromUtf8(ReadAll(file))).size() == 8;
            return flushed >= 50;
        };
        ASSERT_TRUE(waitUntil(reached, 60000)) << c.Mode << ": " << out.toStdString();
        child.kill();
        ASSERT_TRUE(child.waitForFinished(10000));

        QString partial;
        const QList<QStringList> rows = ParseCsv(QString::fromUtf8(ReadAll(file)), &partial);
        ASSERT_FALSE(rows.isEmpty());
        EXPECT_EQ(rows[0], (QStringList{"Time", "n", "text"}));
        if (idle) {
            EXPECT_EQ(rows.size(), 8) << "every row, without a further write";
        } else {
            EXPECT_GE(rows.size() - 1, flushed) << "every row reported flushed";
        }
        for (qsizetype k = 1; k < rows.size(); ++k) {
            ASSERT_EQ(rows[k].size(), 3) << k;
            EXPECT_EQ(rows[k][1], QString::number(k));
            EXPECT_EQ(rows[k][2], QString("v,%1").arg(k));
        }
    }
}
