// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TfrmWriteAny: writes to any address of the slave without reading it first.
// The user picks the function (05, 06, 15, 16), types the address, for
// registers the data type, and the value or values: registers as a list of
// typed values separated by commas, coils as a bit pattern ("0101" = the coil
// at the address off, the next on, ...). The dialog refuses, saying why, an
// address, a value or a count that the function cannot send; only a request
// that can be sent closes it.
#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

struct TDataTypeInfo;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// A write as the dialog asks for it.
struct TWriteAnyRequest {
    int Func = 0;                 // 5, 6, 15 or 16
    uint16_t Address = 0;         // 1-based, as the tester counts (wire address + 1)
    std::vector<uint16_t> Words;  // registers (6, 16)
    std::vector<bool> Bits;       // coils (5, 15)
    QString Description;          // for the log
};

// Builds the request from the dialog's texts; false with the reason (a
// sentence without a full stop) when it cannot be sent. Type is used for
// registers only (nullptr: UInt16 (Word) AABB).
bool BuildWriteAny(int Func, const QString& AddressText, const TDataTypeInfo* Type, const QString& ValuesText,
                   TWriteAnyRequest& Out, QString& Why);

class TfrmWriteAny : public QDialog {
    Q_OBJECT
public:
    explicit TfrmWriteAny(QWidget* parent = nullptr);

    QComboBox* cbFunction = nullptr;  // "05: Write Single Coil" ... "16: Write Multiple Registers"
    QLineEdit* edAddress = nullptr;
    QLabel* lblType = nullptr;
    QComboBox* cbType = nullptr;      // the register types (every type but BIT)
    QLineEdit* edValues = nullptr;
    QLabel* lblHint = nullptr;        // what the values are, for the chosen function and type
    QLabel* lblMessage = nullptr;     // why the input was refused (red), empty otherwise
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

    // The function code chosen (5, 6, 15 or 16) and choosing one.
    int Function() const;
    void SetFunction(int Func);
    // The data type chosen for registers.
    const TDataTypeInfo* DataType() const;
    void SetDataType(const QString& Name);

    // The request built when the dialog was accepted.
    TWriteAnyRequest Request;
    // A further check before the dialog closes (the link, for one); false
    // with the reason keeps it open.
    std::function<bool(QString& Why)> CanSend;

    void btnOKClick(QObject* Sender);

    // Called when the dialog has been shown; lets tests drive the modal
    // dialog. Unset in the program.
    static std::function<void(TfrmWriteAny*)> OnShownHook;

protected:
    void showEvent(QShowEvent* e) override;

private:
    void UpdateHint();
};
