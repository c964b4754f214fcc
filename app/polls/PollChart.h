// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// "Plot this row" in a poll window: the row's register goes into the
// connection window's one chart, and each answer of that poll window adds
// its point there.
#include <QObject>
#include <QPointer>
#include <vector>

#include "RegisterKey.h"

class TfrmModbusMaster;
class TfrmPoll;

class TPollChart : public QObject {
public:
    explicit TPollChart(TfrmModbusMaster* Owner);
    // Wires a new poll window's "Plot this row" and answers.
    void Attach(TfrmPoll* Window);
    bool CanPlotRow(TfrmPoll* Window, int Row) const;
    // Throws EAppError for a row that cannot be plotted or a full chart.
    void PlotRow(TfrmPoll* Window, int Row);
    void Answered(TfrmPoll* Window);

private:
    struct TFed {
        QPointer<TfrmPoll> Window;
        TRegisterKey Key;
    };
    TfrmModbusMaster* FOwner;
    std::vector<TFed> FFed;
    int FNextHandle = 100000;
};
