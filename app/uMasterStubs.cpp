// Placeholder bodies of main-window members that are implemented in their
// own files (uMasterGrid.cpp, uMasterPolling.cpp, uMasterSettings.cpp).
// Each placeholder is removed from here when its real body lands.
#include "uMaster.h"

#include <QPainter>
#include <QRect>

#include "StringGrid.h"

// ---- register grid: placeholders -------------------------------------------

// PLACEHOLDER (grid)
void TfrmModbusMaster::FillAddresses()
{
    UpdateRowColors();
}

// PLACEHOLDER (grid)
void TfrmModbusMaster::UpdateRowColors()
{
    FColors.assign(static_cast<size_t>(sgData ? sgData->RowCount() : 0), 16777215u);
}

// PLACEHOLDER (grid)
void TfrmModbusMaster::sgDataDrawCell(QObject*, QPainter& Canvas, int ACol, int ARow, const QRect& Rect)
{
    Canvas.fillRect(Rect, (ARow == 0 || ACol == 0) ? QColor(235, 235, 235) : QColor(Qt::white));
    Canvas.drawText(Rect.adjusted(3, 0, -3, 0), Qt::AlignVCenter | Qt::AlignLeft, sgData->Cells(ACol, ARow));
}

// PLACEHOLDER (grid)
void TfrmModbusMaster::ShowRegisterData() {}

// PLACEHOLDER (grid)
void TfrmModbusMaster::ShowBitData() {}

// PLACEHOLDER (grid)
void TfrmModbusMaster::sgDataMouseDown(QObject*, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {}

// PLACEHOLDER (grid)
void TfrmModbusMaster::MarkContinuationRows() {}

// ---- polling: placeholders ---------------------------------------------------

// PLACEHOLDER (settings)
void TfrmModbusMaster::btnReadClick(QObject*) {}

// PLACEHOLDER (settings)
void TfrmModbusMaster::mdbError(QObject*, int32_t)
{
    ++FErrors;
    ShowCounters();
}

// PLACEHOLDER (settings)
void TfrmModbusMaster::mdbReadCoils(QObject*, uint8_t, uint16_t, uint16_t, const std::vector<bool>&) {}

// PLACEHOLDER (settings)
void TfrmModbusMaster::mdbReadDiscreteInputs(QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>&) {}

// PLACEHOLDER (settings)
void TfrmModbusMaster::mdbReadHoldingRegs(QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>&) {}

// PLACEHOLDER (settings)
void TfrmModbusMaster::mdbReadInputRegs(QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>&) {}

// PLACEHOLDER (settings)
void TfrmModbusMaster::ReadAgainTimerTimer(QObject*) {}

// PLACEHOLDER (settings)
void TfrmModbusMaster::leStartAddressKeyUp(QObject*, int&, Qt::KeyboardModifiers) {}

// PLACEHOLDER (settings)
void TfrmModbusMaster::leLengthKeyUp(QObject*, int&, Qt::KeyboardModifiers) {}

// PLACEHOLDER (settings)
void TfrmModbusMaster::leLengthExit(QObject*) {}

// ---- settings: placeholders ----------------------------------------------------

// PLACEHOLDER (settings)
void TfrmModbusMaster::btnSaveSettingsClick(QObject*) {}

// PLACEHOLDER (settings)
void TfrmModbusMaster::btnLoadSettingsClick(QObject*) {}

// PLACEHOLDER (settings)
void TfrmModbusMaster::LoadSettingsList() {}

// PLACEHOLDER (settings)
void TfrmModbusMaster::StorageCreate() {}

// PLACEHOLDER (settings)
void TfrmModbusMaster::StorageRestore() {}

// PLACEHOLDER (settings)
void TfrmModbusMaster::StorageSave(bool) {}
