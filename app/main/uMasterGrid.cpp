// SPDX-License-Identifier: GPL-3.0-or-later
// The register grid of the main window: the work is TRegisterGrid's (shared
// with the poll windows); here the window's fields feed it.
#include "uMaster.h"

#include <QPainter>
#include <QRect>

#include "AppErrors.h"
#include "LabeledEdit.h"
#include "StringGrid.h"

void TfrmModbusMaster::FillAddresses()
{
    UpdateRowColors();
    if (leStartAddress->text().isEmpty() || leLength->text().isEmpty()) return;
    int64_t start = 0;
    if (!ColumnStartAddress(start)) return;
    const int func = ChosenFunc() + 1;
    FGridView.FillAddresses(start, [this, func](int64_t a) { return AddressText(a, func); });
    FAddressStart = start;
    GridSourceChanged();
}

void TfrmModbusMaster::UpdateRowColors() { FGridView.UpdateRowColors(); }

void TfrmModbusMaster::sgDataDrawCell(QObject*, QPainter& Canvas, int ACol, int ARow, const QRect& Rect)
{
    FGridView.DrawCell(Canvas, ACol, ARow, Rect);
}

void TfrmModbusMaster::ShowRegisterData() { FGridView.ShowRegisterData(ReadData); }

void TfrmModbusMaster::ShowBitData() { FGridView.ShowBitData(ReadDataBool); }

void TfrmModbusMaster::sgDataMouseDown(QObject*, Qt::MouseButton Button, Qt::KeyboardModifiers, int X, int Y)
{
    if (Button != Qt::LeftButton) return;
    int col = -1, row = -1;
    if (!sgData->MouseToCell(QPoint(X, Y), col, row)) return;
    EditCell(col, row);
}

void TfrmModbusMaster::EditCell(int col, int row) { FGridView.EditCell(col, row); }

void TfrmModbusMaster::MarkContinuationRows() { FGridView.MarkContinuationRows(); }
