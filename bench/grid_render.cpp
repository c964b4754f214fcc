// SPDX-License-Identifier: GPL-3.0-or-later
// needs: app
// grid_render_us: the time ShowRegisterData takes to render one 100-register
// response into a shown 100-row grid with typed rows, every cell changing
// from one response to the next. Median of many runs, in microseconds.
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "LabeledEdit.h"
#include "StringGrid.h"
#include "ValueDecoding.h"
#include "uMaster.h"
#include "uSplash.h"

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir config;
    qputenv("ZORP_CONFIG_DIR", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    TfrmSplash::SetDuration(0);

    const int rows = 100;
    int runs = 2001;
    if (argc > 1) runs = std::max(1, atoi(argv[1]));

    TfrmModbusMaster w;
    if (!qEnvironmentVariableIsSet("GRID_HIDDEN")) w.show();
    QApplication::processEvents();
    w.sgData->SetRowCount(rows + 1);
    w.FillAddresses();
    // A mix of types: one-row, two-row and four-row values.
    const char* pattern[] = {"UInt16 (Word) AABB", "SInt32 (Integer, LongInt) AABB CCDD", "---",
                             "Single (Float) DDCC BBAA", "---", "HEX", "Double (Real) HHGG FFEE DDCC BBAA",
                             "---", "---", "---"};
    for (int r = 1; r <= rows; ++r) w.sgData->SetCells(1, r, QString::fromLatin1(pattern[(r - 1) % 10]));
    w.UpdateRowColors();

    std::vector<uint8_t> a(2 * rows), b(2 * rows);
    for (int i = 0; i < 2 * rows; ++i) {
        a[i] = uint8_t(i * 7 + 1);
        b[i] = uint8_t(i * 13 + 2);
    }

    std::vector<double> us;
    us.reserve(runs);
    QElapsedTimer t;
    for (int i = 0; i < runs; ++i) {
        w.ReadData = (i % 2) ? a : b;
        t.start();
        w.ShowRegisterData();
        us.push_back(double(t.nsecsElapsed()) / 1000.0);
        // Painting is not part of the figure; keep the backlog small.
        if (i % 16 == 0) QApplication::processEvents();
    }
    std::sort(us.begin(), us.end());
    std::printf("grid_render_us %.2f\n", us[us.size() / 2]);
    return 0;
}
