// SPDX-License-Identifier: GPL-3.0-or-later
// Main window: values that no longer describe the addresses beside them.
// Once the Address column, the function, the Slave ID or the link changes, or
// a read fails, the Value and raw cells are drawn grey and italic, and their
// tooltip says what read they come from and when, until a read fills them.
// A fresh read is drawn exactly as before.
#include "uMaster.h"

#include <QComboBox>
#include <QDateTime>
#include <QEvent>
#include <QHelpEvent>
#include <QToolTip>

#include "AppErrors.h"
#include "LabeledEdit.h"
#include "StringGrid.h"
#include "ValueDecoding.h"

namespace {

enum : int { colDataType = 1, colValue = 2, colHex = 4 };

// Shows the tooltip of an old value over the grid's cells.
class TOldValueTips : public QObject {
public:
    explicit TOldValueTips(TfrmModbusMaster* Owner) : QObject(Owner), FOwner(Owner) {}

protected:
    bool eventFilter(QObject* o, QEvent* e) override
    {
        if (e->type() != QEvent::ToolTip) return false;
        const auto* help = static_cast<QHelpEvent*>(e);
        int col = -1, row = -1;
        QString text;
        if (FOwner->sgData->MouseToCell(help->pos(), col, row)) text = FOwner->OldValueHint(col, row);
        if (text.isEmpty()) QToolTip::hideText();
        else QToolTip::showText(help->globalPos(), text, static_cast<QWidget*>(o));
        return true;
    }

private:
    TfrmModbusMaster* FOwner;
};

QString TimeText(int64_t ms) { return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm:ss")); }

} // namespace

void TfrmModbusMaster::StaleMarkingCreate()
{
    connect(cbFunc, &QComboBox::currentTextChanged, this, [this] { RunGuarded([this] { GridSourceChanged(); }); });
    connect(leSlaveID, &QLineEdit::textChanged, this, [this] {
        FSlaveIdField.reset();
        RunGuarded([this] { GridSourceChanged(); });
    });
    sgData->viewport()->installEventFilter(new TOldValueTips(this));
}

int TfrmModbusMaster::SlaveIdField()
{
    if (!FSlaveIdField) {
        const int id = StrToInt(leSlaveID->text());
        // A device address is one byte; the low bits of a larger number would
        // address another device on the bus, so such a value is refused.
        if (id < 0 || id > 255) throw EAppError(QStringLiteral("Slave ID %1 is out of range 0..255").arg(id));
        FSlaveIdField = id;
    }
    return *FSlaveIdField;
}

TReadSource TfrmModbusMaster::GridSource()
{
    TReadSource s;
    s.Func = ChosenFunc() + 1;
    int id = -1;
    if (TryStrToInt(leSlaveID->text(), id) && id >= 0 && id <= 255) s.Unit = id;
    if (FAddressStart >= 0 && FAddressStart <= 65536) s.Start = int(FAddressStart & 0xFFFF);
    return s;
}

void TfrmModbusMaster::GridSourceChanged()
{
    if (FFresh.SetGrid(GridSource())) sgData->InvalidateGrid();
}

void TfrmModbusMaster::ReadAnswered(int Func, uint8_t Unit, uint16_t Addr, int Items)
{
    const int rows = std::min(Items, sgData->RowCount() - 1);
    if (FFresh.Answered(TReadSource{Func, Unit, Addr}, QDateTime::currentMSecsSinceEpoch(), rows))
        sgData->InvalidateGrid();
}

void TfrmModbusMaster::ReadsEnded(TGridFreshness::TCause Cause)
{
    if (FFresh.Ended(Cause, QDateTime::currentMSecsSinceEpoch())) sgData->InvalidateGrid();
}

bool TfrmModbusMaster::CellIsOld(int ACol, int ARow, int Span) const
{
    if (ARow < 1 || (ACol != colValue && ACol < colHex)) return false;
    // A text no read put there is not called old.
    return !FFresh.Fresh(ARow, ACol == colValue ? Span : 1) && FFresh.ReadOf(ARow).Valid;
}

bool TfrmModbusMaster::CellIsOld(int ACol, int ARow)
{
    if (ARow < 1 || ARow >= sgData->RowCount()) return false;
    const TDataTypeInfo* type = ACol == colValue ? FTypeCache.Find(ARow, sgData->CellRef(colDataType, ARow)) : nullptr;
    return CellIsOld(ACol, ARow, type ? type->Rows : 1);
}

QString TfrmModbusMaster::OldValueHint(int ACol, int ARow)
{
    if (!CellIsOld(ACol, ARow) || sgData->CellRef(ACol, ARow).isEmpty()) return QString();
    const TGridFreshness::TRowRead read = FFresh.ReadOf(ARow);
    const TReadSource& grid = FFresh.Grid();
    const TReadSource& was = read.Source;
    QString text;
    if (was.Func == grid.Func && was.Unit == grid.Unit && was.AddressOf(ARow) == grid.AddressOf(ARow) &&
        grid.Start >= 0) {
        text = QStringLiteral("Old value, read at %1").arg(TimeText(read.Ms));
    } else {
        // Another register's value, read before the grid changed.
        text = QStringLiteral("Old value of address %1 (unit %2, function %3), read at %4")
                   .arg(was.AddressOf(ARow) == 0 ? 65536 : was.AddressOf(ARow))
                   .arg(was.Unit)
                   .arg(was.Func, 2, 10, QLatin1Char('0'))
                   .arg(TimeText(read.Ms));
    }
    if (FFresh.Cause() == TGridFreshness::TCause::ReadFailed)
        text += QStringLiteral("\nThe read at %1 failed").arg(TimeText(FFresh.CauseMs()));
    else if (FFresh.Cause() == TGridFreshness::TCause::LinkClosed)
        text += QStringLiteral("\nThe link closed at %1").arg(TimeText(FFresh.CauseMs()));
    return text;
}

TRegisterKey TfrmModbusMaster::KeyOfRow(int Row)
{
    const TReadSource grid = GridSource();
    TRegisterKey k;
    k.Unit = grid.Unit;
    k.Func = grid.Func;
    k.Address = grid.Start < 0 ? -1 : grid.AddressOf(Row);
    if (Row >= 1 && Row < sgData->RowCount()) k.Type = ValueDecoding::FindDataType(sgData->CellRef(colDataType, Row));
    return k;
}
