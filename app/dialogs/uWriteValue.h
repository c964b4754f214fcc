// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TfrmWriteValue: the dialog in which the user types a new value for a grid
// row (a register value of the row's data type, or a coil's 0 or 1). It shows
// the address, the type and the current value, and refuses a value that is
// not a number of the type or out of its range with a message saying why;
// only an accepted value closes it with OK.
#include <QDialog>
#include <functional>

class QCheckBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;

class TfrmWriteValue : public QDialog {
    Q_OBJECT
public:
    explicit TfrmWriteValue(QWidget* parent = nullptr);

    QLabel* lblAddress = nullptr;
    QLabel* lblType = nullptr;
    QLabel* lblCurrent = nullptr;
    QLineEdit* edValue = nullptr;
    QLabel* lblMessage = nullptr;   // why a value was refused (red), empty otherwise
    QCheckBox* cbFunction16 = nullptr; // "Always use function 16" (registers only)
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

    // Checks a typed value: true to accept, else false with the reason.
    std::function<bool(const QString& text, QString& why)> Check;

    void btnOKClick(QObject* Sender);

    // Called when the dialog has been shown; lets tests drive the modal
    // dialog. Unset in the program.
    static std::function<void(TfrmWriteValue*)> OnShownHook;

protected:
    void showEvent(QShowEvent* e) override;
};

// Parts both write dialogs share: the red label that says why an input was
// refused (room for three lines, so that showing one moves nothing), and the
// "Write" (default) and "Cancel" buttons in a row on the right; Cancel
// rejects the dialog.
QLabel* NewRefusalLabel(QWidget* parent, int width);
QHBoxLayout* NewWriteButtons(QDialog* dialog, QPushButton*& ok, QPushButton*& cancel);
