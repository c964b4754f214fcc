// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TWorkspaceMenu: several links at once and the workspace file. File >
// "New connection window" opens another connection window in the program,
// with its own connection panel, log and poll windows (it stores no window
// settings: the first window's are in "setings.ini"). File > "Save workspace
// as..." and "Open workspace..." keep every connection window with its
// link, Data panel and poll windows (what they read, their grid layouts,
// where the windows stand) in a workspace file (WorkspaceFile.h); Options >
// "Reopen the last workspace at start" ([Options] ReopenWorkspace, off by
// default) opens the last one saved or opened when the program starts.
// A poll the workspace has in Real time, opened while the link is down,
// starts when the link is connected and is saved as in Real time until
// then (RealTimeIntent.h).
#include <QList>
#include <QObject>
#include <functional>

#include "WorkspaceFile.h"

class QAction;
class TfrmModbusMaster;

class TWorkspaceMenu : public QObject {
    Q_OBJECT
public:
    explicit TWorkspaceMenu(TfrmModbusMaster* Owner);

    QAction* actNewConnection = nullptr;
    QAction* actOpenWorkspace = nullptr;
    QAction* actSaveWorkspace = nullptr;
    QAction* actReopenWorkspace = nullptr;

    // Every connection window of the program, the one that stores the
    // settings first, then in the order they were opened.
    static QList<TfrmModbusMaster*> ConnectionWindows();
    // Opens another connection window (shown).
    static TfrmModbusMaster* NewConnectionWindow();

    // The workspace as the windows stand, and the windows from a workspace
    // (the first link into First, the others into connection windows of
    // their own; poll windows and other connection windows are replaced).
    static zorp::TWorkspace Collect();
    static void Apply(const zorp::TWorkspace& W, TfrmModbusMaster* First);
    // Throw EAppError (EFileWriteError) for a file that cannot be read or written.
    void SaveWorkspace(const QString& FileName);
    void OpenWorkspace(const QString& FileName);

    // The [Options] keys of this feature.
    bool ReopenAtStart() const;
    QString LastWorkspace() const;

    // Answers the file dialogs (tests): Save true for a save dialog.
    static inline std::function<QString(bool Save)> AskFileHook;

private:
    // At start, after the window's stored settings: the last workspace when
    // the option asks for it and the file is there.
    void ReopenLast();
    void StoreOption(const QString& Key, const QString& Value);
    QString AskFile(bool Save);
    TfrmModbusMaster* FOwner;
};
