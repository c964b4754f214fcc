// SPDX-License-Identifier: GPL-3.0-or-later
// Main window: writes from the grid. The engine has one transaction at a
// time and a new operation replaces a pending one, so a write asked for while
// a read is in flight waits for that read's answer, and a Real-time read due
// while a write is in flight waits for the write's answer.
#include "uMaster.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <utility>

#include "AppErrors.h"
#include "LinkScheduler.h"
#include "ModbusFrames.h"
#include "StringGrid.h"
#include "ValueWatch.h"
#include "ValueDecoding.h"
#include "ValueEncoding.h"
#include "VexaModbus.h"
#include "RowWrite.h"

void TfrmModbusMaster::ResetTransactions()
{
    FInFlight = TInFlight::None;
    FInFlightFunc = 0;
    FPendingWrite.reset();
    FResumeFunc = 0;
    FReadAfterWrite = false;
    FDeferredRead = false;
}

void TfrmModbusMaster::RequestWrite(const TWriteRequest& w)
{
    if (!mdb->Connected())
        throw EAppError(QStringLiteral("Not connected: nothing was written"));
    const size_t n = w.Func == 5 || w.Func == 15 ? w.Bits.size() : w.Words.size();
    const bool sizeOk = (w.Func == 5 || w.Func == 6) ? n == 1
                        : w.Func == 15               ? n >= 1 && n <= zorp::kMaxWriteCoils
                        : w.Func == 16               ? n >= 1 && n <= zorp::kMaxWriteRegisters
                                                     : false;
    if (!sizeOk)
        throw EAppError(QStringLiteral("The write of %1 items with function %2 cannot be sent").arg(n).arg(w.Func));
    // A newer write replaces one still waiting: the user's last word counts.
    // With poll windows on the link it waits for its turn.
    if (FInFlight != TInFlight::None || (Scheduler && !Scheduler->DesignedMayGo())) {
        FPendingWrite = w;
        return;
    }
    SendWrite(w);
}

void TfrmModbusMaster::SendWrite(const TWriteRequest& w)
{
    ++FPolls;
    ShowCounters();
    FInFlight = TInFlight::Write;
    FInFlightFunc = w.Func;
    FRequestText = w.Description;
    switch (w.Func) {
    case 5:
        mdb->WriteSingleCoil(w.Address, w.Bits.at(0), false);
        break;
    case 6:
        mdb->WriteSingleReg(w.Address, w.Words.at(0));
        break;
    case 15:
        mdb->WriteMultiCoils(w.Address, uint16_t(w.Bits.size()), w.Bits, false);
        break;
    default:
        mdb->WriteMultiRegs(w.Address, uint16_t(w.Words.size()), w.Words);
        break;
    }
}

bool TfrmModbusMaster::StartPendingWrite(int ReadFunc)
{
    if (!FPendingWrite)
        return false;
    const TWriteRequest w = std::move(*FPendingWrite);
    FPendingWrite.reset();
    FResumeFunc = ReadFunc;
    SendWrite(w);
    return true;
}

void TfrmModbusMaster::mdbWriteDone(QObject*)
{
    if (FInFlight != TInFlight::Write)
        return;
    FInFlight = TInFlight::None;
    ++FResponses;
    ShowCounters();
    mdbWriteFinished(true);
}

void TfrmModbusMaster::mdbWriteFinished(bool ok)
{
    const int resume = std::exchange(FResumeFunc, 0);
    const bool readAfter = std::exchange(FReadAfterWrite, false);
    const int func = FInFlightFunc;
    if (FPendingWrite) {
        // Another write came meanwhile: it goes first, the cycle after it.
        FResumeFunc = resume;
        FReadAfterWrite = readAfter;
        StartPendingWrite(resume);
        return;
    }
    if (cbRealTime->isChecked()) {
        if (!ok && !FOptions.KeepPollingAfterErrors)
            return;
        if (resume)
            ContinueCycle(resume);
        else if (readAfter)
            btnReadClick(this);
        return;
    }
    if (readAfter) {
        btnReadClick(this);
        return;
    }
    // Outside Real time one read shows what the write changed, when the grid
    // shows the table written and the function box still asks for it (a
    // broadcast, to Slave ID 0, cannot be read back).
    const int table = func == 5 || func == 15 ? 1 : 3;
    if (ok && mdb->DeviceID() != 0 && FShownFunc == table && cbFunc->currentIndex() == table - 1)
        QTimer::singleShot(0, this, [this] { RunGuarded([this] { btnReadClick(this); }); });
}

bool TfrmModbusMaster::CanWriteRow(int ARow) const
{
    return CanWriteGridRow(FGridView, TShownAnswer{FShownFunc, FShownAddress, &ReadData, &ReadDataBool}, ARow);
}

void TfrmModbusMaster::sgDataDblClick(QObject*, int ACol, int ARow)
{
    // The Value and the raw columns; Data Type and Description keep their
    // designed editing, the Address column is the grid's fixed column.
    if (ACol == TRegisterGrid::colValue || ACol >= 4)
        if (CanWriteRow(ARow))
            WriteRowValue(ARow);
}
void TfrmModbusMaster::sgDataContextPopup(QObject*, const QPoint& pos)
{
    int col = -1, row = -1;
    const bool onCell = sgData->MouseToCell(pos, col, row);
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("mnuGrid"));
    QAction* write = menu.addAction(QStringLiteral("Write value..."));
    write->setEnabled(onCell && CanWriteRow(row));
    QAction* copy = menu.addAction(QStringLiteral("Copy"));
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(sgData->HasSelection());
    QAction* plot = menu.addAction(QStringLiteral("Plot this row"));
    plot->setEnabled(onCell && ValueWatch && ValueWatch->CanPlotRow(row));
    if (OnGridMenu)
        OnGridMenu(&menu, onCell ? row : -1);
    QAction* chosen = GridMenuHook ? GridMenuHook(&menu) : menu.exec(sgData->viewport()->mapToGlobal(pos));
    if (chosen == write && write->isEnabled())
        WriteRowValue(row);
    else if (chosen == copy)
        sgData->CopySelection();
    else if (chosen == plot && plot->isEnabled())
        ValueWatch->PlotRow(row);
}

void TfrmModbusMaster::WriteRowValue(int ARow)
{
    bool use16 = FOptions.AlwaysUseFunction16;
    TWriteRequest w;
    TRowWriteHooks hooks;
    hooks.AddressText = [this](uint16_t a, int f) { return AddressText(a, f); };
    hooks.Encode = [this](int row, const TDataTypeInfo& t, const QString& text) { return EncodeRowValue(row, t, text); };
    if (!AskRowWrite(this, FGridView, TShownAnswer{FShownFunc, FShownAddress, &ReadData, &ReadDataBool}, ARow, use16, w,
                     hooks))
        return;
    if (use16 != FOptions.AlwaysUseFunction16) {
        TTesterOptions o = FOptions;
        o.AlwaysUseFunction16 = use16;
        SetOptions(o);
    }
    RequestWrite(w);
}
