// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TFormStorage: the stored window settings of one form. It keeps the form's
// place, size and state and a list of control values in one section of an
// INI file, reads them once when the form is first shown and writes them
// once when it closes.
//
// Keys, in the order they are written:
//   FormVersion, Flags, ShowCmd, PixelsPerInch, MinMaxPos(WxH), MinMaxPos,
//   NormPos(WxH), NormPos, Visible, then one key per stored value
//   (control name + "_" + property name), in the order they were added.
// WxH is the primary screen's size in pixels at writing.
//
// Also here: the folder that stands "beside the program" for the settings
// files (ConfigFolder).
#include <QObject>
#include <QString>
#include <functional>
#include <vector>

class QFileDialog;
class QWidget;

namespace zorp {

// The folder holding "setings.ini" and the "Settings" folder of profiles:
// the program's folder when it can be written, else the per-user
// configuration folder. A folder set by SetConfigFolder, or else one named by
// the environment variable ZORP_CONFIG_DIR, takes precedence (tests and
// portable installations use them).
QString ConfigFolder();
// An empty folder returns to the default choice.
void SetConfigFolder(const QString& folder);
// The folder of the settings profiles: ConfigFolder() + "/Settings".
QString ProfilesFolder();

// Instead of running the modal save dialog, a set hook receives the prepared
// dialog and returns the chosen file name, or an empty text for a cancelled
// dialog (tests use it). nullptr restores the dialog.
void SetSaveDialogHook(std::function<QString(QFileDialog* SD)> hook);
// The file name the user chose in SD (or the hook gave), empty when cancelled.
QString RunSaveDialog(QFileDialog* SD);

} // namespace zorp

class TFormStorage : public QObject {
    Q_OBJECT
public:
    // The form is the QObject parent and destroys the storage.
    explicit TFormStorage(QWidget* Form);

    QString IniFileName;
    QString IniSection;

    // A stored value: Key names it in the file, Get reads the control's
    // current value and Set assigns a value read from the file. Text values
    // are stripped of outer blanks and quoted as needed when written;
    // integer values are written as they come.
    void AddStoredText(const QString& Key, std::function<QString()> Get, std::function<void(const QString&)> Set);
    void AddStoredInteger(const QString& Key, std::function<int()> Get, std::function<void(int)> Set);

    // Reads the file and applies placement, state and the stored values.
    // Never throws: a bad or unreadable file gives the defaults.
    void RestoreFormPlacement();
    // Writes every key. AtClose gives "Visible" = 0 (a close that was
    // accepted), otherwise 1. Throws EFileWriteError ("Unable to write to
    // %s") when the file cannot be written; nothing on disk changes then.
    void SaveFormPlacement(bool AtClose);

    bool Restored() const { return FRestored; }
    bool Saved() const { return FSaved; }
    // Whether the restore gave the form a stored place and size (then it no
    // longer centres itself on the screen).
    bool PlacementApplied() const { return FPlacementApplied; }

    // The text written for a text value (outer blanks stripped; a value that
    // begins and ends with the same quote gets one more pair of double
    // quotes, so that reading it back returns its own quotes).
    static QString EncodeText(const QString& Value);

private:
    struct Stored {
        QString Key;
        bool IsText = true;
        std::function<QString()> GetText;
        std::function<void(const QString&)> SetText;
        std::function<int()> GetInt;
        std::function<void(int)> SetInt;
    };
    QWidget* FForm;
    std::vector<Stored> FStored;
    bool FRestored = false;
    bool FSaved = false;
    bool FClosed = false;
    bool FPlacementApplied = false;
};
