// Placeholder bodies of main-window members that are implemented in their
// own files (uMasterGrid.cpp, uMasterPolling.cpp, uMasterSettings.cpp).
// Each placeholder is removed from here when its real body lands.
#include "uMaster.h"

#include <QPainter>
#include <QRect>

#include "StringGrid.h"

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
