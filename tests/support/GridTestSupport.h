// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Header-only helpers for the register grid and data editor tests: grid set-up
// shortcuts, real mouse presses on cells, and a driver for the modal data
// editor that acts on the dialog once it is shown and always ends it.
#include <QApplication>
#include <QColor>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QImage>
#include <QPointer>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

#include "StringGrid.h"
#include "uData.h"
#include "uMaster.h"

namespace zorptest {

enum GridCol { gcAddress = 0, gcType = 1, gcValue = 2, gcDesc = 3, gcHex = 4, gcBin = 5, gcDec = 6, gcBytes = 7, gcAscii = 8 };

// RowCount := rows + 1 and the addresses rewritten, as a change of Length does.
inline void setDataRows(TfrmModbusMaster& w, int rows)
{
    w.sgData->SetRowCount(rows + 1);
    w.FillAddresses();
}

// Data Type cells of rows 1.. from the list; the groups recoloured.
inline void setTypes(TfrmModbusMaster& w, const QStringList& types)
{
    for (int i = 0; i < types.size(); ++i) w.sgData->SetCells(gcType, i + 1, types[i]);
    w.UpdateRowColors();
}

inline QStringList columnTexts(const TStringGrid& g, int col)
{
    QStringList out;
    for (int r = 1; r < g.RowCount(); ++r) out << g.Cells(col, r);
    return out;
}

inline QColor bgr(uint32_t c) { return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF)); }

// The colour of a cell's background as painted: the pixel one in from its
// top-left corner, where no text reaches.
inline QColor paintedBackground(TStringGrid& g, int col, int row)
{
    const QImage img = g.viewport()->grab().toImage();
    const QRect r = g.CellRect(col, row);
    const qreal dpr = img.devicePixelRatio();
    return img.pixelColor(int((r.left() + 1) * dpr), int((r.top() + 1) * dpr));
}

// A real mouse click at the centre of a cell.
inline void clickCell(TStringGrid& g, int col, int row, Qt::MouseButton button = Qt::LeftButton)
{
    const QRect r = g.CellRect(col, row);
    ASSERT_FALSE(r.isEmpty()) << "cell " << col << "," << row << " not in view";
    QTest::mouseClick(g.viewport(), button, Qt::NoModifier, r.center());
}

// Acts on the next data editor shown: `action` runs from the event loop once
// the dialog is up (keys, clicks); if the dialog is still open after the
// action and a grace period, it is rejected so that no test can hang.
class DataEditorDriver {
public:
    explicit DataEditorDriver(std::function<void(TfrmDataEditor*)> action = {}) : FAction(std::move(action))
    {
        TfrmDataEditor::OnShownHook = [this](TfrmDataEditor* dlg) {
            ++Shown;
            Caption = dlg->windowTitle();
            TypeBoxVisible = !dlg->gbDataType->isHidden();
            DescriptionBoxVisible = !dlg->gbDescription->isHidden();
            SelectedType = dlg->cbDataType->currentIndex();
            Description = dlg->edDescription->text();
            QPointer<TfrmDataEditor> p(dlg);
            QTimer::singleShot(0, dlg, [this, p] {
                if (!p) return;
                FocusedOnShow = p->focusWidget() ? p->focusWidget()->objectName() : QString();
                if (FAction) FAction(p);
                QTimer::singleShot(3000, p, [p] {
                    if (p && p->isVisible()) p->reject();
                });
            });
        };
    }
    ~DataEditorDriver() { TfrmDataEditor::OnShownHook = nullptr; }

    int Shown = 0;
    QString Caption;
    bool TypeBoxVisible = false;
    bool DescriptionBoxVisible = false;
    int SelectedType = -2;
    QString Description;
    QString FocusedOnShow; // object name of the dialog's focus widget once shown

private:
    std::function<void(TfrmDataEditor*)> FAction;
};

// Key presses that pick the type at `index` of the list with the list closed.
inline void pickTypeByKeys(TfrmDataEditor* dlg, int index)
{
    QTest::keyClick(dlg->cbDataType, Qt::Key_Home);
    for (int i = 0; i < index; ++i) QTest::keyClick(dlg->cbDataType, Qt::Key_Down);
}

} // namespace zorptest
