// SPDX-License-Identifier: GPL-3.0-or-later
// The chart of decoded Values: recording from the grid's rows, the point
// cap, pausing, the choice of rows and the [Chart] section of profiles.
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QMenu>
#include <QProcess>
#include <QTcpServer>
#include <cmath>
#include <cstring>

#include "ChartRecorder.h"
#include "ChartWindow.h"
#include "IniFile.h"
#include "LabeledEdit.h"
#include "RadioGroup.h"
#include "SettingsSupport.h"
#include "StringGrid.h"
#include "ValueDecoding.h"
#include "ValueWatch.h"
#include "VexaModbus.h"
#include "qcustomplot.h"

using namespace zorptest;

namespace {

constexpr int colDataType = 1;
constexpr int colValue = 2;
constexpr int colDescription = 3;

class ChartTest : public SettingsWindowTest {
protected:
    void SetUp() override
    {
        SettingsWindowTest::SetUp();
        CreateWindow();
        V = W->ValueWatch;
    }
    // Start Address 1, Length n, and the given Data Types from row 1 on.
    void Layout(int n, const QStringList& types, const QStringList& descriptions = {})
    {
        W->leStartAddress->setText("1");
        W->leLength->setText(QString::number(n));
        W->sgData->SetRowCount(n + 1);
        W->FillAddresses();
        for (int r = 1; r <= n; ++r) {
            W->sgData->SetCells(colDataType, r, r - 1 < types.size() ? types[r - 1] : QString());
            W->sgData->SetCells(colDescription, r, r - 1 < descriptions.size() ? descriptions[r - 1] : QString());
        }
        W->MarkContinuationRows();
    }
    void Registers(const std::vector<uint8_t>& bytes)
    {
        W->mdbReadHoldingRegs(W.get(), 1, 1, uint16_t(bytes.size() / 2), bytes);
    }
    // The numbers of a series, without its gaps.
    static std::vector<double> Values(const TChartSeries& s)
    {
        std::vector<double> v;
        for (int k = 0; k < s.Points.size(); ++k)
            if (!std::isnan(s.Points[k].value)) v.push_back(s.Points[k].value);
        return v;
    }
    TValueWatch* V = nullptr;
};

// The wire bytes of a value of a type, placed by the type's byte order.
void Place(std::vector<uint8_t>& wire, int firstRow, const TDataTypeInfo& t, uint64_t bits)
{
    for (int j = 0; j < t.ByteCount; ++j)
        wire[size_t(2 * (firstRow - 1) + t.Order[j])] = uint8_t(bits >> (8 * (t.ByteCount - 1 - j)));
}

} // namespace

TEST(ChartRecorderTest, ParsesOnlyNumberTexts)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* Text;
        bool Ok;
        double Value;
    } cases[] = {
        {"0", true, 0},
        {"-128", true, -128},
        {"18446744073709551615", true, 18446744073709551615.0},
        {"-9223372036854775808", true, -9223372036854775808.0},
        {"230.125000", true, 230.125},
        {"-0.500000", true, -0.5},
        {"1.234568E+20", true, 1.234568e20},
        {"-1.5E-07", true, -1.5e-7},
        {"NaN", true, nan},
        {"INF", true, nan},
        {"-INF", true, nan},
        {"", false, 0},
        {"0A1F", false, 0},               // HEX
        {"00001010 00011111", false, 0},  // BIN
        {"10,31", false, 0},              // BYTES
        {"A B", false, 0},                // ASCII
        {"---", false, 0},
        {"inf", false, 0},
        {"nan", false, 0},
        {"+5", false, 0},
        {"0x10", false, 0},
        {"1 ", false, 0},
        {"1e400", false, 0}, // beyond any double: no Value text
        {"\xC5\x82" "5", false, 0},
    };
    for (const Case& c : cases) {
        double v = 12345;
        const bool ok = TChartRecorder::ParseValue(QString::fromUtf8(c.Text), v);
        EXPECT_EQ(ok, c.Ok) << c.Text;
        if (!ok) continue;
        if (std::isnan(c.Value)) {
            EXPECT_TRUE(std::isnan(v)) << c.Text;
        } else {
            EXPECT_EQ(v, c.Value) << c.Text;
        }
    }
    double v = 0;
    EXPECT_FALSE(TChartRecorder::ParseValue(QString(70, u'1'), v)) << "longer than any Value text";
}

TEST(ChartRecorderTest, KeepsAtMostTheCapDroppingTheOldest)
{
    TChartRecorder rec;
    ASSERT_TRUE(rec.Add(3));
    ASSERT_TRUE(rec.Add(7));
    EXPECT_FALSE(rec.Add(3)) << "one series per row";
    EXPECT_NE(rec.Series()[0].Color, rec.Series()[1].Color);
    const int cap = TChartRecorder::DefaultMaxPoints;
    ASSERT_EQ(rec.MaxPoints(), cap);
    const int extra = 1234;
    // Series 0: distinct keys. Series 1: many responses within one
    // millisecond share a clock reading; the cap must hold for them too.
    for (int i = 0; i < cap + extra; ++i) {
        rec.RecordNumber(0, 1.0e9 + i * 0.05, double(i));
        rec.RecordNumber(1, 1.0e9 + (i / 100) * 0.001, double(i));
    }
    for (int s = 0; s < 2; ++s) {
        const TChartSeries& ser = rec.Series()[size_t(s)];
        ASSERT_EQ(ser.Points.size(), cap) << s;
        EXPECT_EQ(ser.Points.front().value, double(extra)) << "oldest dropped first, series " << s;
        EXPECT_EQ(ser.Points.back().value, double(cap + extra - 1)) << s;
        for (int k = 0; k < cap; ++k) ASSERT_EQ(ser.Points[k].value, double(extra + k)) << s;
        EXPECT_EQ(ser.Min, 0.0) << "min and max are of everything recorded";
        EXPECT_EQ(ser.Max, double(cap + extra - 1));
        double last = -1;
        for (int k = 0; k < cap; ++k) {
            ASSERT_GT(ser.Points[k].key, last) << "keys strictly increase, series " << s;
            last = ser.Points[k].key;
        }
    }
    EXPECT_EQ(rec.PointBytes(), size_t(2 * cap) * sizeof(QCPGraphData));
    EXPECT_EQ(rec.AllocatedBytes(), rec.PointBytes()) << "no spare room once full";

    for (int i = 0; i < TChartRecorder::MaxSeries; ++i) rec.Add(100 + i);
    EXPECT_EQ(int(rec.Series().size()), TChartRecorder::MaxSeries);
}

// What a redraw hands the plot: few points however many are kept, keys in
// order and from the series, and in every pixel column the extremes and the
// gaps the raw points have there.
TEST(ChartRecorderTest, ThinnedPointsKeepEveryColumnsExtremesAndGaps)
{
    TChartRecorder rec;
    rec.Add(1);
    const int total = TChartRecorder::DefaultMaxPoints + 37; // drops a part of a block
    const double t0 = 1.8e9;
    for (int i = 0; i < total; ++i) {
        double v = std::sin(i / 300.0) * 100 + (i % 7) - (i % 1013 == 0 ? 500 : 0);
        if (i % 20011 == 5) v = std::numeric_limits<double>::quiet_NaN();
        rec.RecordNumber(0, t0 + i * 0.01, v);
    }
    const TChartPoints& d = rec.Series()[0].Points;
    const double first = d.front().key, last = d.back().key;
    struct Case {
        double From, To;
        int Pixels;
    } cases[] = {
        {first - 10, last + 10, 900},          // everything: block summaries
        {first + 0.005, last - 3.33, 700},     // ends inside blocks
        {first + 100, first + 300, 900},       // 20,000 points: runs of raw points
        {first + 100, first + 110, 900},       // 1,000 points: the points themselves
        {last - 1, last + 5, 50},
        {first - 5, first - 1, 100},           // before the first point
        {first + 200.5, first + 200.5, 10},
    };
    double lo = 0, hi = 0;
    ASSERT_TRUE(rec.ValueRange(0, lo, hi));
    double rawLo = 1e300, rawHi = -1e300;
    for (int k = 0; k < d.size(); ++k)
        if (!std::isnan(d[k].value)) rawLo = std::min(rawLo, d[k].value), rawHi = std::max(rawHi, d[k].value);
    EXPECT_EQ(lo, rawLo);
    EXPECT_EQ(hi, rawHi);

    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.From - first << ".." << c.To - first << " on " << c.Pixels);
        QVector<QCPGraphData> out;
        rec.Thinned(0, c.From, c.To, c.Pixels, out);
        // The raw points drawn: those in the range and one beyond each end.
        auto b = [&](qsizetype k) { return d[int(k)]; };
        qsizetype i0 = d.LowerBound(c.From), i1 = d.UpperBound(c.To);
        if (i0 > 0) --i0;
        if (i1 < d.size()) ++i1;
        const qsizetype count = std::max<qsizetype>(0, i1 - i0);
        EXPECT_LE(out.size(), std::max<qsizetype>(4 * c.Pixels, 3 * 2 * c.Pixels + 12 * TChartRecorder::BlockSize));
        if (count <= 4 * c.Pixels) {
            ASSERT_EQ(out.size(), count);
            for (qsizetype k = 0; k < count; ++k) {
                EXPECT_EQ(out[k].key, b(i0 + k).key);
                EXPECT_TRUE(out[k].value == b(i0 + k).value || std::isnan(out[k].value));
            }
            continue;
        }
        for (qsizetype k = 1; k < out.size(); ++k) ASSERT_LT(out[k - 1].key, out[k].key);
        // Columns over the drawn points' keys; a run may reach into the
        // next column, so each column's envelope is sought in it and its
        // neighbours.
        const double k0 = b(i0).key, width = (b(i1 - 1).key - k0) / c.Pixels;
        auto column = [&](double key) { return std::clamp(int((key - k0) / width), 0, c.Pixels - 1); };
        std::vector<double> outLo(size_t(c.Pixels), 1e300), outHi(size_t(c.Pixels), -1e300);
        std::vector<bool> outGap(size_t(c.Pixels), false);
        for (const QCPGraphData& p : out) {
            ASSERT_GE(p.key, k0);
            ASSERT_LE(p.key, b(i1 - 1).key);
            const size_t col = size_t(column(p.key));
            if (std::isnan(p.value)) outGap[col] = true;
            else outLo[col] = std::min(outLo[col], p.value), outHi[col] = std::max(outHi[col], p.value);
        }
        for (qsizetype k = i0; k < i1; ++k) {
            const int col = column(b(k).key);
            double envLo = 1e300, envHi = -1e300;
            bool gap = false;
            for (int n = std::max(0, col - 1); n <= std::min(c.Pixels - 1, col + 1); ++n) {
                envLo = std::min(envLo, outLo[size_t(n)]);
                envHi = std::max(envHi, outHi[size_t(n)]);
                gap = gap || outGap[size_t(n)];
            }
            if (std::isnan(b(k).value)) {
                EXPECT_TRUE(gap) << "gap at point " << k;
            } else {
                ASSERT_LE(envLo, b(k).value) << "point " << k;
                ASSERT_GE(envHi, b(k).value) << "point " << k;
            }
        }
    }
    // A redraw asks for the view and as much again on either side, on three
    // times the columns: points that fill only the view are thinned as for
    // the view alone.
    QVector<QCPGraphData> wide, view;
    const double span = last - first;
    rec.Thinned(0, first - span, last + span, 3 * 900, wide);
    rec.Thinned(0, first, last, 900, view);
    ASSERT_EQ(wide.size(), view.size());
    for (qsizetype k = 0; k < view.size(); ++k) EXPECT_EQ(wide[k].key, view[k].key);
}

TEST_F(ChartTest, SeriesFollowTheValuesOfEveryNumericTypeClass)
{
    using ValueDecoding::FindDataType;
    struct Row {
        const char* Type;
        int First;
        uint64_t Bits[3];  // the value's bits in three responses
        double Expect[3];
    };
    auto f32 = [](float f) { uint32_t u; std::memcpy(&u, &f, 4); return uint64_t(u); };
    auto f64 = [](double d) { uint64_t u; std::memcpy(&u, &d, 8); return u; };
    const Row rows[] = {
        {"SInt8 (ShortInt)", 1, {0x80, 0x7F, 0xFF}, {-128, 127, -1}},
        {"UInt16 (Word) BBAA", 2, {0xFFFF, 0, 513}, {65535, 0, 513}},
        {"SInt32 (Integer, LongInt) CCDD AABB", 3, {0xFFFFFFFE, 70000, 0x80000000}, {-2, 70000, -2147483648.0}},
        {"UInt32 (LongWord) DDCC BBAA", 5, {0xFFFFFFFF, 1, 123456789}, {4294967295.0, 1, 123456789}},
        {"Int64 HHGG FFEE DDCC BBAA", 7, {uint64_t(-9007199254740992LL), 42, 0}, {-9007199254740992.0, 42, 0}},
        {"UInt64 AABB CCDD EEFF GGHH", 11, {~0ULL, 1ULL << 40, 7}, {18446744073709551615.0, 1099511627776.0, 7}},
        {"Single (Float) CCDD AABB", 15, {f32(1.5f), f32(-230.25f), f32(0.0f)}, {1.5, -230.25, 0}},
        {"Double (Real) GGHH EEFF CCDD AABB", 17, {f64(-2.25), f64(1e6 + 0.5), f64(3.0)}, {-2.25, 1e6 + 0.5, 3}},
    };
    QStringList types(21);
    for (const Row& r : rows) types[r.First - 1] = r.Type;
    types[20] = "BIT";
    Layout(21, types, {"Signed byte"});
    for (const Row& r : rows) ASSERT_TRUE(V->CanPlotRow(r.First)) << r.Type;
    for (const Row& r : rows) V->PlotRow(r.First);
    // The BIT row's series records the coil at its address.
    W->cbFunc->setCurrentIndex(0);
    V->PlotRow(21);
    W->cbFunc->setCurrentIndex(2);
    ASSERT_EQ(int(V->Recorder.Series().size()), 9);
    EXPECT_EQ(V->RowName(1), "Signed byte");
    EXPECT_EQ(V->RowName(2), "Address 2");

    for (int k = 0; k < 3; ++k) {
        std::vector<uint8_t> wire(42, 0);
        for (const Row& r : rows) Place(wire, r.First, *FindDataType(QString::fromLatin1(r.Type)), r.Bits[k]);
        Registers(wire);
        // A coil read in between: only the BIT row has a Value then.
        std::vector<bool> coils(21, false);
        coils[20] = (k % 2) == 0;
        W->mdbReadCoils(W.get(), 1, 1, 21, coils);
    }
    for (size_t i = 0; i < std::size(rows); ++i) {
        const auto got = Values(V->Recorder.Series()[i]);
        EXPECT_EQ(got, std::vector<double>(rows[i].Expect, rows[i].Expect + 3)) << rows[i].Type;
    }
    EXPECT_EQ(Values(V->Recorder.Series()[8]), (std::vector<double>{1, 0, 1})) << "BIT";
    EXPECT_TRUE(V->Recorder.Series()[8].Step);
    EXPECT_FALSE(V->Recorder.Series()[0].Step);
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join("|").toStdString();
}

TEST_F(ChartTest, OnlyNumericRowsCanBeChosenAndAtMostSixteen)
{
    QStringList types = {"HEX", "BIN", "BYTES", "ASCII", "", "UInt32 (LongWord) AABB CCDD", "", "bogus"};
    for (int i = 0; i < 17; ++i) types << "UInt16 (Word) AABB";
    Layout(int(types.size()), types);
    // "Plot this row" from the grid's context menu on a row's Value cell.
    bool enabled = false;
    TfrmModbusMaster::GridMenuHook = [&](QMenu* m) -> QAction* {
        for (QAction* a : m->actions())
            if (a->text() == "Plot this row") {
                enabled = a->isEnabled();
                return a;
            }
        ADD_FAILURE() << "no Plot this row entry";
        return nullptr;
    };
    auto popup = [&](int row) {
        W->sgData->SetTopRow(std::max(1, row));
        const QPoint pos = W->sgData->CellRect(colValue, row).center();
        return RunGuarded([&] { W->sgDataContextPopup(W->sgData, pos); });
    };
    for (int r : {1, 2, 3, 4, 5, 7, 8}) {
        EXPECT_FALSE(V->CanPlotRow(r)) << r;
        popup(r);
        EXPECT_FALSE(enabled) << r;
    }
    for (int r : {0, 26, -1}) EXPECT_FALSE(V->CanPlotRow(r)) << r;
    EXPECT_TRUE(V->Recorder.Series().empty());
    EXPECT_FALSE(RunGuarded([&] { V->PlotRow(1); }));
    EXPECT_EQ(Boxes.size(), 1) << "a refused row says why";

    popup(6);
    EXPECT_TRUE(enabled);
    EXPECT_TRUE(V->Recorder.Contains(6));
    for (int r = 9; r < 9 + 15; ++r) popup(r);
    EXPECT_EQ(int(V->Recorder.Series().size()), 16);
    Boxes.clear();
    EXPECT_FALSE(popup(24));
    EXPECT_EQ(Boxes.size(), 1) << "the seventeenth is refused";
    EXPECT_EQ(int(V->Recorder.Series().size()), 16);
    TfrmModbusMaster::GridMenuHook = nullptr;
    ASSERT_TRUE(V->HasChart());
    EXPECT_TRUE(V->Chart()->isVisible());
    EXPECT_EQ(V->Chart()->Plot->graphCount(), 16);

    // The main window's menus lead to the chart and the logging.
    EXPECT_EQ(W->ExtensionMenu("View")->actions().count(V->actChart), 1);
    EXPECT_EQ(W->ExtensionMenu("File")->actions().count(V->actLogCsv), 1);

    // Removing from the chart's menu.
    V->Chart()->OnRemove(6);
    EXPECT_FALSE(V->Recorder.Contains(6));
    EXPECT_EQ(V->Chart()->Plot->graphCount(), 15);
    V->Chart()->actRemoveAll->trigger();
    EXPECT_EQ(V->Chart()->Plot->graphCount(), 0);
}

TEST_F(ChartTest, PauseFreezesTheViewWhileRecordingGoesOn)
{
    Layout(2, {"UInt16 (Word) AABB", "SInt16 (SmallInt) AABB"}, {"Speed"});
    V->PlotRow(1);
    TfrmChart* c = V->Chart();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(c));
    auto respond = [&](int v) { Registers({uint8_t(v >> 8), uint8_t(v), 0, 0}); };
    respond(10);
    respond(20);
    ASSERT_TRUE(waitUntil([&] { return c->Plot->yAxis->range().contains(20); }));
    EXPECT_EQ(c->LegendText(0), "Speed  20  (min 10, max 20)");

    c->SetPaused(true);
    const QCPRange x = c->Plot->xAxis->range(), y = c->Plot->yAxis->range();
    const int redraws = c->Redraws();
    for (int v = 1000; v < 1010; ++v) respond(v);
    spin(400); // longer than the pacing's shortest interval
    EXPECT_EQ(V->Recorder.Series()[0].Points.size(), 12) << "recording goes on";
    EXPECT_EQ(c->Redraws(), redraws);
    EXPECT_EQ(c->Plot->yAxis->range(), y);
    EXPECT_EQ(c->Plot->xAxis->range(), x);

    c->SetPaused(false);
    EXPECT_GT(c->Redraws(), redraws);
    EXPECT_TRUE(c->Plot->yAxis->range().contains(1009));
    EXPECT_EQ(c->LegendText(0), "Speed  1009  (min 10, max 1009)");

    // Wheel zoom leaves auto-scale; a double-click returns to it.
    const QPoint mid = c->Plot->axisRect()->rect().center();
    QWheelEvent wheel(mid, c->Plot->mapToGlobal(mid), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(c->Plot, &wheel);
    EXPECT_FALSE(c->AutoScale());
    respond(50000);
    c->Redraw();
    EXPECT_FALSE(c->Plot->yAxis->range().contains(50000));
    QTest::mouseDClick(c->Plot, Qt::LeftButton, Qt::NoModifier, mid);
    EXPECT_TRUE(c->AutoScale());
    EXPECT_TRUE(c->Plot->yAxis->range().contains(50000));

    // The picture: the plot's size, not blank.
    const QImage img = c->Picture().toImage();
    EXPECT_EQ(img.size(), c->Plot->size());
    const QString png = Dir.filePath("chart.png");
    ASSERT_TRUE(c->SavePng(png));
    EXPECT_EQ(QImage(png).size(), c->Plot->size());
}

TEST_F(ChartTest, ProfilesWithAndWithoutTheChartSectionLoadBothWays)
{
    const QStringList types = {"UInt16 (Word) AABB", "HEX", "Single (Float) AABB CCDD", "", "BIT"};
    Layout(5, types, {"A"});
    zorp::SetSaveDialogHook([&](QFileDialog*) { return ProfilePath("plain.zvst"); });
    W->btnSaveSettingsClick(W.get());
    V->PlotRow(3);
    V->PlotRow(1);
    V->Recorder.At(0).Color = QColor("#123456");
    V->LogFile = "/tmp/some log.csv";
    zorp::SetSaveDialogHook([&](QFileDialog*) { return ProfilePath("chart.zvst"); });
    W->btnSaveSettingsClick(W.get());

    // What an older program reads is the same with and without [Chart].
    QString withChart = QString::fromUtf8(ReadFile(ProfilePath("chart.zvst")));
    const QString plain = QString::fromUtf8(ReadFile(ProfilePath("plain.zvst")));
    const qsizetype at = withChart.indexOf("[Chart]");
    ASSERT_GE(at, 0);
    EXPECT_TRUE(withChart.contains("Rows=3,1")) << withChart.toStdString();
    EXPECT_TRUE(withChart.contains("Colors=#123456,")) << withChart.toStdString();
    withChart.remove(at, withChart.indexOf('[', at + 1) < 0 ? withChart.size() : withChart.indexOf('[', at + 1) - at);
    EXPECT_EQ(withChart.trimmed().toStdString(), plain.trimmed().toStdString());

    // Load: the newer profile brings its rows and colours back.
    V->RemoveRow(0);
    V->LogFile.clear();
    W->LoadSettingsList();
    W->cbSettings->setCurrentText("chart.zvst");
    W->btnLoadSettingsClick(W.get());
    ASSERT_EQ(V->Recorder.Series().size(), 2u);
    EXPECT_EQ(V->Recorder.Series()[0].Row, 3);
    EXPECT_EQ(V->Recorder.Series()[0].Color, QColor("#123456"));
    EXPECT_EQ(V->Recorder.Series()[1].Row, 1);
    EXPECT_EQ(V->LogFile, "/tmp/some log.csv");

    // The older profile loads and leaves no rows from another layout.
    W->cbSettings->setCurrentText("plain.zvst");
    W->btnLoadSettingsClick(W.get());
    EXPECT_TRUE(V->Recorder.Series().empty());
    EXPECT_EQ(W->sgData->Cells(colDataType, 3), types[2]);

    // Damaged [Chart] entries are left out, the rest loads.
    struct Case {
        const char* Rows;
        const char* Colors;
        std::vector<int> Expect;
    } cases[] = {
        {"abc,2,-1,99999999999,4,5,1", "nonsense,,#00ff00", {5, 1}},
        {"1,1,1", "", {1}},
        {"", "#ffffff", {}},
        {" 5 , 3 ", "#010203,#040506", {5, 3}},
    };
    for (const Case& c : cases) {
        WriteFile(ProfilePath("bad.zvst"),
                  ReadFile(ProfilePath("plain.zvst")) + "\r\n[Chart]\r\nRows=" + c.Rows + "\r\nColors=" + c.Colors + "\r\n");
        W->LoadSettingsList();
        W->cbSettings->setCurrentText("bad.zvst");
        W->btnLoadSettingsClick(W.get());
        std::vector<int> got;
        for (const TChartSeries& s : V->Recorder.Series()) {
            got.push_back(s.Row);
            EXPECT_TRUE(s.Color.isValid());
        }
        EXPECT_EQ(got, c.Expect) << c.Rows;
    }
    EXPECT_EQ(V->Recorder.Series()[0].Color, QColor("#010203"));
    EXPECT_TRUE(V->Recorder.Series()[0].Step) << "row 5 is a BIT row";
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join("|").toStdString();
}

// A Real-time run against the demonstration slave (tools/zorp-slave) feeds
// three series: its counter, sawtooth and float. With ZORP_SHOT_DIR set, the
// run lasts ZORP_SHOT_SECONDS (default 40) and the chart is saved there as
// chart_realtime.png.
TEST_F(ChartTest, RealTimeRunAgainstTheDemoSlaveFeedsThreeSeries)
{
    const QString slave = QStringLiteral(ZORP_BINARY_DIR "/zorp-slave");
    if (!QFileInfo::exists(slave)) GTEST_SKIP() << "zorp-slave is not built";
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    QProcess proc;
    proc.start(slave, {"--tcp", QString::number(port), "--bind", "127.0.0.1"});
    ASSERT_TRUE(proc.waitForStarted(10000));

    Layout(6, {"UInt16 (Word) AABB", "", "", "UInt16 (Word) AABB", "Single (Float) DDCC BBAA"},
           {"Counter", "", "", "Sawtooth", "Voltage"});
    W->rgModbusMode->SetItemIndex(2);
    W->leIP->setText("127.0.0.1");
    W->lePort->setText(QString::number(port));
    bool connected = false;
    for (int attempt = 0; attempt < 20 && !connected; ++attempt) {
        RunGuarded([this] { W->btnConnectClick(W->btnConnect); });
        connected = waitUntil([this] { return W->mdb->Connected(); }, 1000);
        if (!connected) W->mdb->Disconnect();
    }
    ASSERT_TRUE(connected);
    W->cbFunc->setCurrentIndex(2);
    for (int r : {1, 4, 5}) V->PlotRow(r);
    W->resize(W->width(), W->height()); // keeps the main window where it is
    TfrmChart* c = V->Chart();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(c));

    W->cbRealTime->setChecked(true);
    RunGuarded([this] { W->btnReadClick(W->btnRead); });
    const QString shotDir = qEnvironmentVariable("ZORP_SHOT_DIR");
    const TChartSeries& counter = V->Recorder.Series()[0];
    if (shotDir.isEmpty()) {
        // Until the counter moved twice (it counts seconds).
        ASSERT_TRUE(waitUntil([&] { return counter.HasValue && counter.Max - counter.Min >= 2; }, 30000));
    } else {
        const int seconds = qEnvironmentVariableIntValue("ZORP_SHOT_SECONDS");
        spin(1000 * (seconds > 0 ? seconds : 40));
    }
    W->cbRealTime->setChecked(false);
    for (const TChartSeries& s : V->Recorder.Series()) EXPECT_GT(s.Points.size(), 2) << s.Row;
    const TChartSeries& volts = V->Recorder.Series()[2];
    EXPECT_GE(volts.Min, 224.9);
    EXPECT_LE(volts.Max, 235.1);
    EXPECT_LT(V->Recorder.Series()[1].Max, 100) << "the sawtooth runs 0 to 99";
    if (!shotDir.isEmpty()) {
        c->Redraw();
        EXPECT_TRUE(c->grab().save(shotDir + "/chart_realtime.png"));
    }
    W->mdb->Disconnect();
    proc.kill();
    proc.waitForFinished(5000);
}

TEST_F(ChartTest, SixteenSeriesShowInTheLegendOnOneAxisTheirOwnOrNormalised)
{
    QStringList types, names;
    for (int r = 1; r <= 16; ++r) {
        types << "UInt16 (Word) AABB";
        names << QStringLiteral("Boiler %1 supply temperature").arg(r);
    }
    Layout(16, types, names);
    for (int r = 1; r <= 16; ++r) V->PlotRow(r);
    TfrmChart* c = V->Chart();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(c));
    // Row r reads r * 1000 + k at second k, k = 0 to 2: ranges far apart.
    const double t0 = double(QDateTime::currentMSecsSinceEpoch() / 1000);
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 16; ++i) V->Recorder.RecordNumber(i, t0 + k, (i + 1) * 1000 + k);
    c->Redraw();
    c->Redraw(); // the legend's new columns laid out
    // Every legend entry whole inside the window (none squeezed), and the plot keeps room.
    ASSERT_EQ(c->Plot->legend->itemCount(), 16);
    for (int i = 0; i < 16; ++i) {
        const QCPAbstractLegendItem* item = c->Plot->legend->item(i);
        const QRect r = item->outerRect();
        EXPECT_TRUE(c->Plot->rect().contains(r)) << i << ": " << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
        EXPECT_GE(r.width(), item->minimumOuterSizeHint().width()) << i;
    }
    EXPECT_GT(c->Plot->axisRect()->height(), 150);

    QCPAxisRect* rect = c->Plot->axisRect();
    const auto valueAxes = [rect] { return rect->axes(QCPAxis::atLeft | QCPAxis::atRight).size(); };
    EXPECT_EQ(valueAxes(), 2); // yAxis and the hidden yAxis2
    c->SetAxisMode(TfrmChart::TAxisMode::PerSeries);
    EXPECT_TRUE(c->actAxisPerSeries->isChecked());
    c->Redraw();
    EXPECT_EQ(valueAxes(), 2 + 15);
    for (int i = 0; i < 16; ++i) {
        QCPAxis* a = c->ValueAxis(i);
        EXPECT_EQ(c->Plot->graph(i)->valueAxis(), a);
        EXPECT_TRUE(a->range().contains((i + 1) * 1000) && a->range().contains((i + 1) * 1000 + 2)) << i;
        EXPECT_LT(a->range().size(), 10) << i;
        EXPECT_EQ(a->tickLabelColor(), V->Recorder.Series()[size_t(i)].Color);
    }
    if (qEnvironmentVariableIsSet("ZORP_SHOTS_DIR")) {
        c->resize(1100, 640);
        spin(300);
        c->Redraw();
        c->grab().save(qEnvironmentVariable("ZORP_SHOTS_DIR") + "/chart_axes.png");
    }
    c->SetAxisMode(TfrmChart::TAxisMode::Normalised);
    c->Redraw();
    EXPECT_EQ(valueAxes(), 2);
    for (int i = 0; i < 16; ++i) {
        const auto data = c->Plot->graph(i)->data();
        ASSERT_EQ(data->size(), 3) << i;
        EXPECT_DOUBLE_EQ(data->at(0)->value, 0.0);
        EXPECT_DOUBLE_EQ(data->at(1)->value, 0.5);
        EXPECT_DOUBLE_EQ(data->at(2)->value, 1.0);
    }
    EXPECT_TRUE(c->Plot->yAxis->range().contains(0) && c->Plot->yAxis->range().contains(1));
    // The legend keeps the real values.
    EXPECT_EQ(c->LegendText(0), "Boiler 1 supply temperature  1002  (min 1000, max 1002)");
    if (qEnvironmentVariableIsSet("ZORP_SHOTS_DIR")) c->grab().save(qEnvironmentVariable("ZORP_SHOTS_DIR") + "/chart_normalised.png");
    c->SetAxisMode(TfrmChart::TAxisMode::Shared);
    c->Redraw();
    EXPECT_EQ(valueAxes(), 2);
    EXPECT_TRUE(c->Plot->yAxis->range().contains(1000) && c->Plot->yAxis->range().contains(16002));
}

TEST_F(ChartTest, TheCursorReadsTimeAndValueOfTheNearestPoint)
{
    Layout(2, {"UInt16 (Word) AABB", "SInt16 (SmallInt) AABB"}, {"Speed", "Torque"});
    V->PlotRow(1);
    V->PlotRow(2);
    TfrmChart* c = V->Chart();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(c));
    const double t0 = double(QDateTime::currentMSecsSinceEpoch() / 1000);
    for (int k = 0; k < 10; ++k) {
        V->Recorder.RecordNumber(0, t0 + k, 100 + k);
        V->Recorder.RecordNumber(1, t0 + k, -50);
    }
    c->Redraw();
    EXPECT_FALSE(c->CursorVisible());
    auto move = [&](QPoint p) {
        QMouseEvent e(QEvent::MouseMove, p, c->Plot->mapToGlobal(p), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(c->Plot, &e);
    };
    auto at = [&](int series, double key, double value) {
        return QPoint(int(c->Plot->xAxis->coordToPixel(key)), int(c->ValueAxis(series)->coordToPixel(value)));
    };
    const QString time5 = QDateTime::fromMSecsSinceEpoch(qint64(t0 + 5) * 1000).toString("hh:mm:ss.zzz");
    const QString time6 = QDateTime::fromMSecsSinceEpoch(qint64(t0 + 6) * 1000).toString("hh:mm:ss.zzz");
    move(at(0, t0 + 5.2, 105) + QPoint(0, 3));
    EXPECT_TRUE(c->CursorVisible());
    EXPECT_EQ(c->CursorSeries(), 0);
    EXPECT_EQ(c->CursorText(), "Speed\n" + time5 + "  105");
    move(at(1, t0 + 5.8, -50));
    EXPECT_EQ(c->CursorSeries(), 1);
    EXPECT_EQ(c->CursorText(), "Torque\n" + time6 + "  -50");
    // On its own axis the same.
    c->SetAxisMode(TfrmChart::TAxisMode::PerSeries);
    c->Redraw();
    move(at(0, t0 + 2, 102));
    EXPECT_EQ(c->CursorText(), "Speed\n" + QDateTime::fromMSecsSinceEpoch(qint64(t0 + 2) * 1000).toString("hh:mm:ss.zzz") + "  102");
    // Outside the axes, and when the mouse leaves the plot, it goes.
    move(QPoint(1, 1));
    EXPECT_FALSE(c->CursorVisible());
    move(at(0, t0 + 2, 102));
    EXPECT_TRUE(c->CursorVisible());
    if (qEnvironmentVariableIsSet("ZORP_SHOTS_DIR")) c->grab().save(qEnvironmentVariable("ZORP_SHOTS_DIR") + "/chart_cursor.png");
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(c->Plot, &leave);
    EXPECT_FALSE(c->CursorVisible());
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join("|").toStdString();
}
