// SPDX-License-Identifier: GPL-3.0-or-later
// The write dialog for a grid row and the write it asks for.
#include "RowWrite.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QRect>
#include <algorithm>

#include "AppErrors.h"
#include "RegisterGrid.h"
#include "StringGrid.h"
#include "ValueDecoding.h"
#include "ValueEncoding.h"
#include "uWriteValue.h"

namespace {
enum : int { colAddress = 0, colDataType = 1, colValue = 2, colDec = 6 };

bool isContinuation(const QString& s) { return s == QStringView(ContinuationMark); }

const TDataTypeInfo& defaultRegisterType()
{
    // A row without a data type is written as the register's plain number.
    return *ValueDecoding::FindDataType(u"UInt16 (Word) AABB");
}

// Runs the dialog; false when cancelled or its parent went meanwhile (the
// dialog runs a nested event loop and polling goes on).
bool runDialog(TfrmWriteValue& dlg)
{
    QPointer<QWidget> parent(dlg.parentWidget());
    const bool hadParent = parent;
    const int result = dlg.exec();
    return (!hadParent || parent) && result == QDialog::Accepted;
}
} // namespace

bool CanWriteGridRow(const TRegisterGrid& Grid, const TShownAnswer& Shown, int ARow)
{
    if (ARow < 1 || ARow >= Grid.Grid()->RowCount())
        return false;
    if (Shown.Func == 1)
        return Shown.Bits && size_t(ARow) <= Shown.Bits->size();
    if (Shown.Func == 3)
        return Shown.Data && size_t(ARow) <= Shown.Data->size() / 2;
    return false;
}

bool AskRowWrite(QWidget* Parent, TRegisterGrid& Grid, const TShownAnswer& Shown, int ARow, bool& AlwaysUse16,
                 TWriteRequest& w, const TRowWriteHooks& Hooks)
{
    if (!CanWriteGridRow(Grid, Shown, ARow))
        return false;
    TStringGrid* sgData = Grid.Grid();
    const std::vector<bool>& ReadDataBool = *Shown.Bits;
    const std::vector<uint8_t>& ReadData = *Shown.Data;
    const uint16_t FShownAddress = Shown.Address;
    auto addressText = [&Hooks](uint16_t a, int f) { return Hooks.AddressText ? Hooks.AddressText(a, f) : QString::number(a); };
    auto encode = [&Hooks](int r, const TDataTypeInfo& t, const QString& text) {
        return Hooks.Encode ? Hooks.Encode(r, t, text) : ValueEncoding::EncodeValue(t, text);
    };
    TfrmWriteValue dlg(Parent);
    const bool coils = Shown.Func == 1;
    if (coils) {
        // Several selected coil rows are written together with function 15.
        int first = ARow, last = ARow;
        const QRect sel = sgData->Selection();
        if (sgData->HasSelection() && sel.top() <= ARow && ARow <= sel.bottom()) {
            first = sel.top();
            last = std::min(sel.bottom(), int(ReadDataBool.size()));
        }
        const uint16_t address = uint16_t(FShownAddress + first - 1);
        dlg.lblAddress->setText(first == last ? addressText(address, 1)
                                              : QStringLiteral("%1 to %2 (%3 coils)")
                                                    .arg(addressText(address, 1))
                                                    .arg(addressText(uint16_t(address + last - first), 1))
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
        if (!runDialog(dlg))
            return false;
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
        return true;
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
    dlg.lblAddress->setText(span == 1 ? addressText(address, 3)
                                      : QStringLiteral("%1 to %2").arg(addressText(address, 3),
                                                                      addressText(uint16_t(address + span - 1), 3)));
    const QString range = ValueEncoding::RangeText(type);
    dlg.lblType->setText((found ? QString::fromLatin1(type.Name)
                                : QStringLiteral("(none) written as %1").arg(QString::fromLatin1(type.Name))) +
                         (range.isEmpty() ? QString() : QStringLiteral(", ") + range));
    dlg.lblCurrent->setText(found ? Grid.DisplayText(colValue, row) : sgData->CellRef(colDec, row));
    dlg.cbFunction16->setChecked(AlwaysUse16);
    dlg.cbFunction16->setVisible(true);
    dlg.Check = [&encode, &type, row](const QString& text, QString& why) {
        const ValueEncoding::TEncoded e = encode(row, type, text);
        why = e.Error;
        return e.Ok();
    };
    if (!runDialog(dlg))
        return false;
    const ValueEncoding::TEncoded encoded = encode(row, type, dlg.edValue->text());
    if (!encoded.Ok() || encoded.Words.size() != size_t(span))
        return false;
    AlwaysUse16 = dlg.cbFunction16->isChecked();
    w.Address = address;
    w.Words = encoded.Words;
    // An 8-bit type is one byte of its register: the other byte keeps what
    // the last read showed instead of being overwritten with 0.
    if (type.ByteCount == 1 && (type.Format == TTypeFormat::Signed || type.Format == TTypeFormat::Unsigned)) {
        const size_t at = size_t(row - 1) * 2;
        if (at + 1 >= ReadData.size())
            return false; // a shorter answer came while the dialog was open
        const uint16_t current = uint16_t((ReadData[at] << 8) | ReadData[at + 1]);
        const uint16_t mask = type.Order[0] == 0 ? 0xFF00 : 0x00FF; // the value's byte
        const uint16_t valueByte = uint16_t(encoded.Words[0] & 0x00FF);
        w.Words[0] = uint16_t((current & ~mask) | (mask == 0xFF00 ? uint16_t(valueByte << 8) : valueByte));
    }
    w.Func = span == 1 && !AlwaysUse16 ? 6 : 16;
    w.Description = QStringLiteral("write %1 %2, address %3, %4 as %5")
                        .arg(w.Func, 2, 10, QChar(u'0'))
                        .arg(w.Func == 6 ? QStringLiteral("Write Single Register")
                                         : QStringLiteral("Write Multiple Registers"))
                        .arg(address)
                        .arg(dlg.edValue->text().trimmed(), QString::fromLatin1(type.Name));
    return true;
}
