// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TWriteAnyMenu: the main window's Write menu. "Write to the slave..."
// (actWriteAny) opens TfrmWriteAny and hands the request to the window's
// write path, which waits for a read in flight. The dialog offers again what
// was last written.
#include <QObject>
#include <QString>

class QAction;
class QMenu;
class TfrmModbusMaster;

class TWriteAnyMenu : public QObject {
public:
    explicit TWriteAnyMenu(TfrmModbusMaster* Owner);

    QMenu* mnuWrite = nullptr;
    QAction* actWriteAny = nullptr;

    // Opens the dialog and sends what it asks for.
    void WriteAnyClicked();

private:
    TfrmModbusMaster* FOwner;
    int FFunction = 6;
    QString FAddress, FType, FValues;
};
