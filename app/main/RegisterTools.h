// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TRegisterTools: the main window's address notations, engineering values
// and register maps.
//
// Options > "Addresses" chooses how the Address column, the Start Address
// field, the write dialog (and so copies, exports and chart names, which
// take the column's text) write addresses; "Register + 1" in decimal is the
// designed numbering and the default. The choice is kept in "setings.ini"
// ([Options] Addresses).
//
// A row's "Engineering value..." (grid context menu) gives it a gain,
// offset and unit, or an enumeration or bit labels: the Value column then
// shows the engineering value after every read, and the write dialog takes
// one. Profiles keep them in the section [Scaling] (row = CSV record).
//
// File > "Import register map..." and "Export register map..." read and
// write the grid as a register map (RegisterMap.h); a map wider than one
// read fills the first (FillBlock) and the others into poll windows of their
// own where poll windows are in use, otherwise says so.
#include <QObject>
#include <QPointer>
#include <map>

#include "AddressNotation.h"
#include "RegisterMap.h"
#include "Scaling.h"

class QAction;
class QActionGroup;
class QMenu;
class TfrmModbusMaster;
class TfrmAddressScan;
namespace zorp {
class TIniFile;
}

class TRegisterTools : public QObject {
public:
    explicit TRegisterTools(TfrmModbusMaster* Owner);

    zorp::TAddressNotation Notation() const;
    // Takes a notation: the Start Address field is written again in it and
    // the Address column refilled; stored in "setings.ini".
    void SetNotation(zorp::TAddressNotation Notation);

    const zorp::TScaling* ScalingOf(int Row) const;
    void SetScaling(int Row, const zorp::TScaling& Scaling);
    // The dialog for Row's engineering value.
    void EditScaling(int Row);
    // The Value cells of rows with an engineering value, from the last read.
    void ShowEngineering();

    // The grid as a map: every row of the read, in the grid's function.
    zorp::TRegisterMap GridMap() const;
    // Fills the grid with Block of Map (function, start, length, types,
    // names, engineering values).
    void FillBlock(const zorp::TRegisterMap& Map, const zorp::TMapBlock& Block);
    // Reads a map file and fills the first block; the text of the message
    // when the map needs more than one read, else empty. Throws EAppError.
    QString ImportMap(const QString& FileName);
    void ExportMap(const QString& FileName) const;

    TfrmAddressScan* AddressScan();

    QAction* actNotation[3] = {};
    QAction* actHex = nullptr;
    QAction* actImportMap = nullptr;
    QAction* actExportMap = nullptr;
    QAction* actAddressScan = nullptr;

private:
    void BuildMenus();
    void NotationChosen();
    void FunctionChanged();
    void AskImport();
    void AskExport();
    void SaveProfile(zorp::TIniFile& Ini) const;
    void LoadProfile(const zorp::TIniFile& Ini);

    TfrmModbusMaster* FOwner;
    std::map<int, zorp::TScaling> FScaling;
    int FLastFunction = 0;
    QPointer<TfrmAddressScan> FScan;
};
