// ShowRegisterData rewrites only the rows whose registers changed while
// nothing else touched the grid. Whatever happens in between (responses with
// a few changed bytes, other lengths, types edited, rows added or removed,
// bit responses), the grid must read exactly as a full rendering makes it.
#include <QApplication>
#include <QRandomGenerator>
#include <gtest/gtest.h>

#include "GridTestSupport.h"
#include "GuiSupport.h"
#include "StringGrid.h"
#include "ValueDecoding.h"

using namespace zorptest;

namespace {

QStringList AllCells(const TStringGrid& g)
{
    QStringList out;
    for (int r = 0; r < g.RowCount(); ++r)
        for (int c = 0; c < g.ColCount(); ++c) out << g.Cells(c, r);
    return out;
}

} // namespace

TEST_F(GuiWindowTest, RenderingOnlyChangedRowsReadsLikeAFullRendering)
{
    // A second window renders every response in full, as a reference.
    TfrmModbusMaster ref;
    QRandomGenerator rng(20261209);
    const QStringList types = ValueDecoding::DataTypeNames();
    ASSERT_FALSE(types.isEmpty());
    auto both = [&](const std::function<void(TfrmModbusMaster&)>& f) {
        f(*w);
        f(ref);
    };
    both([](TfrmModbusMaster& m) {
        setDataRows(m, 40);
    });
    std::vector<uint8_t> data(80);
    for (auto& b : data) b = uint8_t(rng.bounded(256));

    for (int step = 0; step < 400; ++step) {
        const int what = int(rng.bounded(100));
        if (what < 60) {
            // A response like the last one with a few bytes changed.
            const int n = int(rng.bounded(4));
            for (int i = 0; i < n && !data.empty(); ++i) data[rng.bounded(quint32(data.size()))] = uint8_t(rng.bounded(256));
        } else if (what < 70) {
            // Another length, odd ones included.
            data.resize(rng.bounded(100));
            for (auto& b : data) b = uint8_t(rng.bounded(256));
        } else if (what < 85) {
            // A type edited (a continuation mark now and then).
            const int row = 1 + int(rng.bounded(quint32(w->sgData->RowCount() - 1)));
            const QString t = rng.bounded(5) == 0 ? QStringLiteral("---") : types[int(rng.bounded(quint32(types.size())))];
            both([&](TfrmModbusMaster& m) { m.sgData->SetCells(gcType, row, t); });
        } else if (what < 93) {
            const int rows = 1 + int(rng.bounded(50));
            both([&](TfrmModbusMaster& m) { m.sgData->SetRowCount(rows + 1); });
        } else {
            // A bit response in between rewrites the raw columns.
            std::vector<bool> bits(rng.bounded(30));
            for (size_t i = 0; i < bits.size(); ++i) bits[i] = rng.bounded(2) == 1;
            both([&](TfrmModbusMaster& m) {
                m.ReadDataBool = bits;
                m.ShowBitData();
            });
            continue;
        }
        w->ReadData = data;
        w->ShowRegisterData();
        ref.ReadData = data;
        ref.FRendered.Valid = false; // always the full rendering
        ref.ShowRegisterData();
        ASSERT_EQ(AllCells(*w->sgData), AllCells(*ref.sgData)) << "step " << step << " kind " << what;
    }
}
