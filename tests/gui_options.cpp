// SPDX-License-Identifier: GPL-3.0-or-later
// The tester's own options and what comes out of it: the [Options] section
// beside the designed keys, why a poll failed (the Errors panel's tooltip and
// error lines in the log), the pacing of Real time, the log saved as text,
// the grid exported as CSV and copied cell by cell.
#include <QAction>
#include <QPushButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QMenu>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QGroupBox>
#include <QRegularExpression>
#include <QScreen>
#include <QToolTip>
#include <gtest/gtest.h>

#include "CommLog.h"
#include "GuiSupport.h"
#include "IniFile.h"
#include "LabeledEdit.h"
#include "RadioGroup.h"
#include "SettingsSupport.h"
#include "StatusBar.h"
#include "StringGrid.h"
#include "TesterOptions.h"
#include "VexaModbus.h"
#include "uData.h"

using namespace zorptest;

namespace {

// A slave on 127.0.0.1 with RTU framing over TCP whose answer to each request
// the test chooses: a valid one, silence, an exception or a broken CRC.
class ScriptedRtuSlave : public QObject {
public:
    enum class Mode { Answer, Silent, Exception02, BadCrc };
    Mode Reply = Mode::Answer;

    ScriptedRtuSlave()
    {
        FServer.listen(QHostAddress::LocalHost, 0);
        connect(&FServer, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = FServer.nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, this, [this, s] { Serve(s); });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    uint16_t port() const { return FServer.serverPort(); }

private:
    void Serve(QTcpSocket* s)
    {
        FBuffer += s->readAll();
        while (FBuffer.size() >= 8) {
            const QByteArray pdu = FBuffer.left(6);
            FBuffer.remove(0, 8);
            QByteArray answer;
            switch (Reply) {
            case Mode::Silent: continue;
            case Mode::Exception02: answer = QByteArray::fromHex("0183") + QByteArray(1, 2); break;
            default: answer = GuiTcpSlave::answerPdu(pdu); break;
            }
            answer[1] = Reply == Mode::Exception02 ? char(uint8_t(pdu[1]) | 0x80) : answer[1];
            uint16_t crc = zorp::ModbusCRC16(reinterpret_cast<const uint8_t*>(answer.constData()), size_t(answer.size()));
            if (Reply == Mode::BadCrc) crc ^= 0x5A5A;
            answer.append(char(crc & 0xFF));
            answer.append(char(crc >> 8));
            s->write(answer);
        }
    }
    QTcpServer FServer;
    QByteArray FBuffer;
};

class OptionsTest : public SettingsWindowTest {
protected:
    void TearDown() override
    {
        if (W) {
            W->cbRealTime->setChecked(false);
            W->mdb->Disconnect();
            spin(30);
        }
        SettingsWindowTest::TearDown();
    }
    // Connects the window to a slave on 127.0.0.1: mode 1 RTU over TCP, 2 TCP.
    void Connect(int mode, uint16_t port)
    {
        W->rgModbusMode->SetItemIndex(mode);
        W->leIP->setText("127.0.0.1");
        W->lePort->setText(QString::number(port));
        RunGuarded([this] { W->btnConnectClick(W->btnConnect); });
        ASSERT_TRUE(waitUntil([this] { return W->mdb->Connected(); }, 10000));
    }
    void Read() { RunGuarded([this] { W->btnReadClick(W->btnRead); }); }
    QString Section(const QByteArray& bytes, const char* name)
    {
        const QString text = QString::fromUtf8(bytes);
        const qsizetype start = text.indexOf(QStringLiteral("[%1]").arg(QLatin1String(name)));
        if (start < 0) return {};
        const qsizetype end = text.indexOf(u'[', start + 1);
        return text.mid(start, end < 0 ? -1 : end - start);
    }
    // Milliseconds of the day of a log line's time stamp ("dd-mm-yyyy hh:mm:ss.zzz: ...").
    static int LogTime(const QString& line)
    {
        static const QRegularExpression re(QStringLiteral("^\\S+ (\\d\\d)\\D(\\d\\d)\\D(\\d\\d)\\.(\\d\\d\\d):"));
        const auto m = re.match(line);
        if (!m.hasMatch()) return -1;
        return ((m.captured(1).toInt() * 60 + m.captured(2).toInt()) * 60 + m.captured(3).toInt()) * 1000 +
               m.captured(4).toInt();
    }
    // Gaps between each answer and the next request in the log, in ms.
    std::vector<int> AnswerToRequestGaps() const
    {
        std::vector<int> gaps;
        for (int i = 0; i + 1 < W->REComm->LineCount(); ++i)
            if (W->REComm->LineColor(i) == QColor(0, 0, 255) && W->REComm->LineColor(i + 1) == QColor(255, 0, 0))
                gaps.push_back(LogTime(W->REComm->LineText(i + 1)) - LogTime(W->REComm->LineText(i)));
        return gaps;
    }
};

} // namespace

TEST_F(OptionsTest, OptionsLiveInTheirOwnSectionAndLeaveTheDesignedKeysByteForByte)
{
    CreateWindow();
    EXPECT_EQ(W->FOptions, TTesterOptions{});
    for (QAction* a : {W->actErrorsInLog, W->actKeepPolling, W->actRemoveEcho, W->actPauseCustom})
        EXPECT_FALSE(a->isChecked()) << a->objectName().toStdString();
    EXPECT_TRUE(W->actPauseDesigned->isChecked());
    EXPECT_FALSE(W->mdb->RemoveEcho());
    DestroyWindow();
    const QString designed = Section(ReadFile(IniPath()), "TfrmModbusMaster");
    ASSERT_FALSE(designed.isEmpty());
    EXPECT_FALSE(ReadFile(IniPath()).contains("[Options]"));

    CreateWindow();
    W->actKeepPolling->trigger();
    W->actErrorsInLog->trigger();
    W->actRemoveEcho->trigger();
    TTesterOptions o = W->FOptions;
    o.RealTimePauseMs = 250;
    RunGuarded([&] { W->SetOptions(o); });
    EXPECT_TRUE(W->mdb->RemoveEcho());
    EXPECT_TRUE(W->actPauseCustom->isChecked());
    DestroyWindow();
    const QByteArray bytes = ReadFile(IniPath());
    EXPECT_EQ(Section(bytes, "TfrmModbusMaster"), designed);
    const TTesterOptions back = TTesterOptions::Load(IniPath());
    EXPECT_TRUE(back.KeepPollingAfterErrors && back.ErrorsInLog && back.RemoveEcho);
    EXPECT_EQ(back.RealTimePauseMs, 250);

    CreateWindow();
    EXPECT_EQ(W->FOptions, back);
    EXPECT_TRUE(W->actKeepPolling->isChecked() && W->actErrorsInLog->isChecked() && W->actRemoveEcho->isChecked());
    EXPECT_TRUE(W->mdb->RemoveEcho());
    W->actPauseDesigned->trigger();
    EXPECT_EQ(W->FOptions.RealTimePauseMs, -1);
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}

TEST(TesterOptions, MalformedValuesKeepTheirDefaults)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("setings.ini");
    const struct {
        const char* Line;
        int Pause;
        bool Keep;
    } cases[] = {
        {"RealTimePause=designed", -1, false}, {"RealTimePause=0", 0, false},      {"RealTimePause=250", 250, false},
        {"RealTimePause=-5", -1, false},       {"RealTimePause=60001", -1, false}, {"RealTimePause=12ms", -1, false},
        {"KeepPollingAfterErrors=1", -1, true}, {"KeepPollingAfterErrors=yes", -1, false},
        {"KeepPollingAfterErrors= 1 ", -1, true}, {"", -1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Line);
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QByteArray("[options]\r\n") + c.Line + "\r\n");
        f.close();
        const TTesterOptions o = TTesterOptions::Load(path);
        EXPECT_EQ(o.RealTimePauseMs, c.Pause);
        EXPECT_EQ(o.KeepPollingAfterErrors, c.Keep);
        EXPECT_FALSE(o.ErrorsInLog || o.RemoveEcho || o.AlwaysUseFunction16);
    }
}

TEST_F(OptionsTest, TheErrorsTooltipNamesTimeOutExceptionAndCrc)
{
    ScriptedRtuSlave slave;
    CreateWindow();
    W->actErrorsInLog->trigger();
    Connect(1, slave.port());
    W->mdb->SetTimeout(100);
    W->mdb->SetMaxRepeat(1);
    W->cbFunc->setCurrentIndex(2);
    const struct {
        ScriptedRtuSlave::Mode Mode;
        const char* Meaning;
    } cases[] = {
        {ScriptedRtuSlave::Mode::Silent, "error 4: no valid answer after 2 tries (time-out 100 ms)"},
        {ScriptedRtuSlave::Mode::Exception02, "error 21: exception 02, illegal data address"},
        {ScriptedRtuSlave::Mode::BadCrc, "error 7: the answer failed its CRC check"},
    };
    int errors = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Meaning);
        slave.Reply = c.Mode;
        Read();
        ASSERT_TRUE(waitUntil([&] { return W->FErrors == errors + 1; }, 5000));
        ++errors;
        const QStringList hint = W->sBar->PanelHint(3).split('\n');
        ASSERT_EQ(hint.size(), errors + 1);
        // Newest first: time stamp, code and meaning, then the request.
        EXPECT_TRUE(hint[1].contains(c.Meaning)) << hint[1].toStdString();
        EXPECT_TRUE(hint[1].contains("(read 03: Read Holding Registers, address 1, count 1)"));
        EXPECT_GE(OptionsTest::LogTime(hint[1]), 0);
        EXPECT_FALSE(hint[1].contains("Real-time polling stopped"));
        // The same line in the log, in the colour of errors.
        const int last = W->REComm->LineCount() - 1;
        EXPECT_EQ(W->REComm->LineText(last), hint[1]);
        EXPECT_EQ(W->REComm->LineColor(last), TfrmModbusMaster::ErrorLogColor());
    }

    // An error that ends a Real-time cycle says so.
    slave.Reply = ScriptedRtuSlave::Mode::Answer;
    W->cbRealTime->setChecked(true);
    Read();
    ASSERT_TRUE(waitUntil([&] { return W->FResponses >= 3; }));
    slave.Reply = ScriptedRtuSlave::Mode::Exception02;
    ASSERT_TRUE(waitUntil([&] { return W->FErrors == errors + 1; }, 5000));
    spin(150);
    EXPECT_EQ(W->FErrors, errors + 1);
    EXPECT_TRUE(W->sBar->PanelHint(3).split('\n')[1].endsWith(" - Real-time polling stopped"));
    EXPECT_TRUE(W->REComm->LineText(W->REComm->LineCount() - 1).endsWith(" - Real-time polling stopped"));

    // The list keeps the last ten; a new connection starts it afresh.
    for (int i = 0; i < 12; ++i)
        W->mdbError(W->mdb, 16);
    EXPECT_EQ(W->sBar->PanelHint(3).split('\n').size(), 11);
    EXPECT_TRUE(W->sBar->PanelHint(3).startsWith("The last 10 errors, newest first:"));
    W->mdb->Disconnect();
    ASSERT_TRUE(waitUntil([&] { return !W->mdb->Connected(); }));
    Connect(1, slave.port());
    EXPECT_EQ(W->sBar->PanelHint(3), "");
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();

    if (qEnvironmentVariableIsSet("ZORP_SHOTS_DIR")) {
        // For a look at the tooltip under a real display server.
        for (int i = 0; i < 3; ++i) {
            slave.Reply = cases[i].Mode;
            Read();
            ASSERT_TRUE(waitUntil([&] { return W->FErrors == i + 1; }, 5000));
        }
        const QRect panel = W->sBar->PanelRect(3);
        QHelpEvent he(QEvent::ToolTip, panel.center(), W->sBar->mapToGlobal(panel.center()));
        QApplication::sendEvent(W->sBar, &he);
        spin(400);
        const QPixmap shot = W->screen()->grabWindow(0);
        shot.save(qEnvironmentVariable("ZORP_SHOTS_DIR") + "/error_tooltip.png");
    }
}

TEST_F(OptionsTest, RealTimePauseIsKeptAfterEveryResponseInBothModes)
{
    GuiTcpSlave slave(false);
    ASSERT_TRUE(slave.ok());
    CreateWindow();
    Connect(2, slave.port());
    W->leLength->setText("2");
    const struct {
        int Pause;   // -1: as designed
        int Func;    // combo index
        int MinGap;  // the least gap the log may show
    } cases[] = {{-1, 2, 49}, {120, 3, 119}, {80, 0, 79}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Pause);
        TTesterOptions o = W->FOptions;
        o.RealTimePauseMs = c.Pause;
        RunGuarded([&] { W->SetOptions(o); });
        W->cbFunc->setCurrentIndex(c.Func);
        W->REComm->Clear();
        const int start = W->FResponses;
        W->cbRealTime->setChecked(true);
        Read();
        ASSERT_TRUE(waitUntil([&] { return W->FResponses >= start + 6; }, 10000));
        W->cbRealTime->setChecked(false);
        ASSERT_TRUE(waitUntil([&] { return W->FResponses + W->FErrors >= W->FPolls; }));
        const std::vector<int> gaps = AnswerToRequestGaps();
        ASSERT_GE(gaps.size(), 5u);
        for (int g : gaps)
            EXPECT_GE((g + 86400000) % 86400000, c.MinGap);
    }
    EXPECT_EQ(W->FErrors, 0);
}

TEST_F(OptionsTest, KeepPollingAfterErrorsGoesOnThroughTimeOuts)
{
    ScriptedRtuSlave slave;
    CreateWindow();
    W->actKeepPolling->trigger();
    Connect(1, slave.port());
    W->mdb->SetTimeout(60);
    W->mdb->SetMaxRepeat(0);
    W->cbFunc->setCurrentIndex(3);
    W->cbRealTime->setChecked(true);
    Read();
    ASSERT_TRUE(waitUntil([&] { return W->FResponses >= 3; }));
    slave.Reply = ScriptedRtuSlave::Mode::Silent;
    ASSERT_TRUE(waitUntil([&] { return W->FErrors >= 3; }, 5000));
    slave.Reply = ScriptedRtuSlave::Mode::Answer;
    const int responses = W->FResponses;
    ASSERT_TRUE(waitUntil([&] { return W->FResponses >= responses + 3; }, 5000));
    EXPECT_FALSE(W->sBar->PanelHint(3).contains("stopped"));
}

TEST_F(OptionsTest, SavedLogRereadsAsShownWithItsDirections)
{
    GuiTcpSlave slave(false);
    CreateWindow();
    W->actErrorsInLog->trigger();
    Connect(2, slave.port());
    W->leLength->setText("3");
    for (int i = 1; i <= 3; ++i) {
        Read();
        ASSERT_TRUE(waitUntil([&] { return W->FResponses == i; }));
    }
    W->mdbError(W->mdb, 21);
    // The log stays enabled while connected; saving works all the same.
    EXPECT_TRUE(W->gbComm->isEnabled());
    const QString path = Dir.filePath("log out.txt");
    zorp::SetSaveDialogHook([&](QFileDialog*) { return path; });
    W->actSaveLog->trigger();
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
    const QStringList lines = QString::fromUtf8(ReadFile(path)).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), W->REComm->LineCount());
    ASSERT_EQ(lines.size(), 7);
    for (int i = 0; i < lines.size(); ++i) {
        const char* mark = i == 6 ? "ERR " : i % 2 ? "RX " : "TX ";
        EXPECT_EQ(lines[i], mark + W->REComm->LineText(i));
    }
    EXPECT_TRUE(lines[0].endsWith("[00] [06] [01] [03] [00] [00] [00] [03] "));

    // A file that cannot be written is reported and nothing else changes.
    zorp::SetSaveDialogHook([&](QFileDialog*) { return Dir.filePath("no/such/folder/log.txt"); });
    W->actSaveLog->trigger();
    ASSERT_EQ(Boxes.size(), 1);
    EXPECT_TRUE(Boxes[0].startsWith("Unable to write to"));
}

namespace {
// Splits CSV text (RFC 4180: quoted fields, doubled quotes, CRLF rows).
std::vector<QStringList> ParseCsv(const QString& text)
{
    std::vector<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == u'"' && i + 1 < text.size() && text[i + 1] == u'"') {
                field += u'"';
                ++i;
            } else if (c == u'"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            row << field;
            field.clear();
        } else if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
            row << field;
            field.clear();
            rows.push_back(row);
            row.clear();
            ++i;
        } else {
            field += c;
        }
    }
    return rows;
}
} // namespace

TEST_F(OptionsTest, CsvExportHoldsEveryRowAndColumnAsDrawnAndCopyGivesTabs)
{
    CreateWindow();
    W->leLength->setText("4");
    W->sgData->SetRowCount(5);
    W->FillAddresses();
    W->sgData->SetCells(1, 1, "ASCII");
    W->sgData->SetCells(3, 1, "tank, \"north\"");
    W->sgData->SetCells(3, 2, "two\nlines");
    W->ReadData = {0x01, 0x41, 0x00, 0x2C, 0x22, 0x22, 0x7F, 0x80};
    W->ShowRegisterData();
    const QString path = Dir.filePath("grid.csv");
    zorp::SetSaveDialogHook([&](QFileDialog*) { return path; });
    W->actExportCsv->trigger();
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
    const std::vector<QStringList> rows = ParseCsv(QString::fromUtf8(ReadFile(path)));
    ASSERT_EQ(int(rows.size()), W->sgData->RowCount());
    for (int r = 0; r < W->sgData->RowCount(); ++r) {
        ASSERT_EQ(rows[r].size(), 9) << r;
        for (int c = 0; c < 9; ++c)
            EXPECT_EQ(rows[r][c], W->CellDisplayText(c, r)) << c << "," << r;
    }
    EXPECT_EQ(rows[0][8], "Data [ASCII]");
    EXPECT_EQ(rows[1][2], ". A");
    EXPECT_EQ(rows[1][8], ". A");
    EXPECT_EQ(rows[1][3], "tank, \"north\"");

    // Selecting with the mouse, then Shift+arrows, then Ctrl+C.
    TStringGrid& g = *W->sgData;
    QWidget* vp = g.viewport();
    const QPoint from = g.CellRect(4, 1).center(), to = g.CellRect(5, 2).center();
    QTest::mousePress(vp, Qt::LeftButton, Qt::NoModifier, from);
    QMouseEvent move(QEvent::MouseMove, QPointF(to), vp->mapToGlobal(QPointF(to)), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(vp, &move);
    QTest::mouseRelease(vp, Qt::LeftButton, Qt::NoModifier, to);
    EXPECT_EQ(g.Selection(), QRect(QPoint(4, 1), QPoint(5, 2)));
    g.setFocus();
    QTest::keyClick(&g, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(&g, Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(g.Selection(), QRect(QPoint(4, 1), QPoint(6, 3)));
    QTest::keyClick(&g, Qt::Key_C, Qt::ControlModifier);
    QStringList expected;
    for (int r = 1; r <= 3; ++r)
        expected << QStringList{W->CellDisplayText(4, r), W->CellDisplayText(5, r), W->CellDisplayText(6, r)}.join('\t');
    EXPECT_EQ(QApplication::clipboard()->text(), expected.join('\n'));
    EXPECT_EQ(QApplication::clipboard()->text().split('\n')[0], "0141\t00000001 01000001\t321");

    // A right-click through the viewport offers writing for data rows only.
    W->mdbReadHoldingRegs(W->mdb, 1, 1, 4, W->ReadData);
    std::vector<bool> offered;
    TfrmModbusMaster::GridMenuHook = [&](QMenu* m) {
        offered.push_back(m->actions()[0]->isEnabled());
        return nullptr;
    };
    for (const QPoint at : {g.CellRect(2, 3).center(), g.CellRect(2, 0).center()}) {
        QContextMenuEvent e(QContextMenuEvent::Mouse, at, vp->mapToGlobal(at));
        QApplication::sendEvent(vp, &e);
    }
    TfrmModbusMaster::GridMenuHook = nullptr;
    EXPECT_EQ(offered, (std::vector<bool>{true, false}));

    // A left press on Data Type still opens the data editor.
    int editors = 0;
    TfrmDataEditor::OnShownHook = [&](TfrmDataEditor* d) {
        ++editors;
        QTimer::singleShot(0, d, &QDialog::reject);
    };
    QTest::mouseClick(vp, Qt::LeftButton, Qt::NoModifier, g.CellRect(1, 2).center());
    TfrmDataEditor::OnShownHook = nullptr;
    EXPECT_EQ(editors, 1);
    EXPECT_EQ(g.Selection(), QRect(QPoint(1, 2), QPoint(1, 2)));
}
