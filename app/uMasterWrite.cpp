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
#include "ModbusFrames.h"
#include "StringGrid.h"
#include "ValueWatch.h"
#include "ValueDecoding.h"
#include "ValueEncoding.h"
#include "VexaModbus.h"
#include "uWriteValue.h"

void TfrmModbusMaster::ResetTransactions()
{
    FInFlight = TInFlight::None;
    FInFlightFunc = 0;
    FPendingWrite.reset();
    FResumeFunc = 0;
    FReadAfterWrite = false;
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
    if (FInFlight != TInFlight::None) {
        // A newer write replaces one still waiting: the user's last word counts.
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

namespace {
enum : int { colAddress = 0, colDataType = 1, colValue = 2, colDec = 6 };

bool isContinuation(const QString& s) { return s == QStringView(ContinuationMark); }

const TDataTypeInfo& defaultRegisterType()
{
    // A row without a data type is written as the register's plain number.
    return *ValueDecoding::FindDataType(u"UInt16 (Word) AABB");
}
} // namespace

bool TfrmModbusMaster::CanWriteRow(int ARow) const
{
    if (ARow < 1 || ARow >= sgData->RowCount())
        return false;
    if (FShownFunc == 1)
        return size_t(ARow) <= ReadDataBool.size();
    if (FShownFunc == 3)
        return size_t(ARow) <= ReadData.size() / 2;
    return false;
}

void TfrmModbusMaster::sgDataDblClick(QObject*, int ACol, int ARow)
{
    // The Value and the raw columns; Data Type and Description keep their
    // designed editing, the Address column is the grid's fixed column.
    if (ACol == colValue || ACol >= 4)
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
    if (!CanWriteRow(ARow))
        return;
    TfrmWriteValue dlg(this);
    const bool coils = FShownFunc == 1;
    TWriteRequest w;
    if (coils) {
        // Several selected coil rows are written together with function 15.
        int first = ARow, last = ARow;
        const QRect sel = sgData->Selection();
        if (sgData->HasSelection() && sel.top() <= ARow && ARow <= sel.bottom()) {
            first = sel.top();
            last = std::min(sel.bottom(), int(ReadDataBool.size()));
        }
        const uint16_t address = uint16_t(FShownAddress + first - 1);
        dlg.lblAddress->setText(first == last ? AddressText(address, 1)
                                              : QStringLiteral("%1 to %2 (%3 coils)")
                                                    .arg(AddressText(address, 1))
                                                    .arg(AddressText(uint16_t(address + last - first), 1))
                                                    .arg(last - first + 1));
        dlg.lblType->setText(QStringLiteral("Coil (0 or 1)"));
        QString current;
        for (int r = first; r <= last; ++r)
            current += ReadDataBool[size_t(r - 1)] ? u'1' : u'0';
        dlg.lblCurrent->setText(current);
        dlg.cbFunction16->hide();
        dlg.Check = [](const QString& text, QString& why) {
            const QString t = text.trimmed();
            if (t == QLatin1String("0") || t == QLatin1String("1"))
                return true;
            why = QStringLiteral("A coil takes 0 or 1");
            return false;
        };
        if (!RunWriteDialog(dlg))
            return;
        const bool on = dlg.edValue->text().trimmed() == QLatin1String("1");
        w.Address = address;
        w.Bits.assign(size_t(last - first + 1), on);
        w.Func = w.Bits.size() == 1 ? 5 : 15;
        w.Description = QStringLiteral("write %1 %2, address %3, %4 coil(s) %5")
                            .arg(w.Func, 2, 10, QChar(u'0'))
                            .arg(w.Func == 5 ? QStringLiteral("Write Single Coil") : QStringLiteral("Write Multiple Coils"))
                            .arg(address)
                            .arg(w.Bits.size())
                            .arg(on ? QStringLiteral("on") : QStringLiteral("off"));
        RequestWrite(w);
        return;
    }

    // Registers: the value's first row (a continuation row belongs to the
    // value above it).
    int row = ARow;
    while (row > 1 && isContinuation(sgData->CellRef(colDataType, row)))
        --row;
    const TDataTypeInfo* found = ValueDecoding::FindDataType(sgData->CellRef(colDataType, row));
    const TDataTypeInfo& type = found ? *found : defaultRegisterType();
    const int span = std::max(1, type.Rows);
    if (size_t(row - 1 + span) > ReadData.size() / 2)
        throw EAppError(QStringLiteral("The value at row %1 needs %2 registers; the last read holds fewer").arg(row).arg(span));
    const uint16_t address = uint16_t(FShownAddress + row - 1);
    dlg.lblAddress->setText(span == 1 ? AddressText(address, 3)
                                      : QStringLiteral("%1 to %2").arg(AddressText(address, 3), AddressText(uint16_t(address + span - 1), 3)));
    const QString range = ValueEncoding::RangeText(type);
    dlg.lblType->setText((found ? QString::fromLatin1(type.Name)
                                : QStringLiteral("(none) written as %1").arg(QString::fromLatin1(type.Name))) +
                         (range.isEmpty() ? QString() : QStringLiteral(", ") + range));
    dlg.lblCurrent->setText(found ? CellDisplayText(colValue, row) : sgData->CellRef(colDec, row));
    dlg.cbFunction16->setChecked(FOptions.AlwaysUseFunction16);
    dlg.cbFunction16->setVisible(true);
    dlg.Check = [this, &type, row](const QString& text, QString& why) {
        const ValueEncoding::TEncoded e = EncodeRowValue(row, type, text);
        why = e.Error;
        return e.Ok();
    };
    if (!RunWriteDialog(dlg))
        return;
    const ValueEncoding::TEncoded encoded = EncodeRowValue(row, type, dlg.edValue->text());
    if (!encoded.Ok() || encoded.Words.size() != size_t(span))
        return;
    if (dlg.cbFunction16->isChecked() != FOptions.AlwaysUseFunction16) {
        TTesterOptions o = FOptions;
        o.AlwaysUseFunction16 = dlg.cbFunction16->isChecked();
        SetOptions(o);
    }
    w.Address = address;
    w.Words = encoded.Words;
    // An 8-bit type is one byte of its register: the other byte keeps what
    // the last read showed instead of being overwritten with 0.
    if (type.ByteCount == 1 && (type.Format == TTypeFormat::Signed || type.Format == TTypeFormat::Unsigned)) {
        const size_t at = size_t(row - 1) * 2;
        const uint16_t current = uint16_t((ReadData[at] << 8) | ReadData[at + 1]);
        const uint16_t mask = type.Order[0] == 0 ? 0xFF00 : 0x00FF; // the value's byte
        const uint16_t valueByte = uint16_t(encoded.Words[0] & 0x00FF);
        w.Words[0] = uint16_t((current & ~mask) | (mask == 0xFF00 ? uint16_t(valueByte << 8) : valueByte));
    }
    w.Func = span == 1 && !FOptions.AlwaysUseFunction16 ? 6 : 16;
    w.Description = QStringLiteral("write %1 %2, address %3, %4 as %5")
                        .arg(w.Func, 2, 10, QChar(u'0'))
                        .arg(w.Func == 6 ? QStringLiteral("Write Single Register")
                                         : QStringLiteral("Write Multiple Registers"))
                        .arg(address)
                        .arg(dlg.edValue->text().trimmed(), QString::fromLatin1(type.Name));
    RequestWrite(w);
}

bool TfrmModbusMaster::RunWriteDialog(TfrmWriteValue& dlg)
{
    // The dialog runs a nested event loop; polling goes on meanwhile and the
    // window may go while it is open.
    QPointer<TfrmModbusMaster> self(this);
    const int result = dlg.exec();
    return self && result == QDialog::Accepted;
}
