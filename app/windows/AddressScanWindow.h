// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TfrmAddressScan (View > "Address scan..."): which addresses a device
// implements. The window reads the range of the chosen function block by
// block (a block that fails is split down to single addresses) on a link
// of its own, set up like the main window's engine; the list gives each
// address its value, its exception or no answer, and exports as CSV.
#include <QWidget>
#include <memory>

#include "AddressScan.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class TReadQueue;
class TfrmModbusMaster;

class TfrmAddressScan : public QWidget {
public:
    explicit TfrmAddressScan(TfrmModbusMaster* Owner);
    ~TfrmAddressScan() override;

    QComboBox* cbFunction = nullptr;
    QLineEdit* edFirst = nullptr;
    QLineEdit* edLast = nullptr;
    QLineEdit* edBlock = nullptr;
    QPushButton* btnScan = nullptr;
    QPushButton* btnStop = nullptr;
    QPushButton* btnExport = nullptr;
    QTableWidget* tbResults = nullptr;
    QLabel* lblStatus = nullptr;

    // Starts a scan with the fields' range (throws EAppError on a bad one).
    void Start();
    void Stop();
    bool Running() const { return FQueue != nullptr; }
    // The list as CSV: address (in the window's notation), value,
    // exception, meaning.
    QString CsvText() const;
    // "Implemented: 1-10, 20-29", or what is under way.
    QString StatusText() const;

private:
    void Next();
    void Show();
    void Finished(const QString& Why);
    void AskExport();

    TfrmModbusMaster* FOwner;
    std::unique_ptr<TReadQueue> FQueue;
    std::unique_ptr<zorp::TAddressScan> FScan;
    size_t FShown = 0;
    QString FWhy;
};
