// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The dialog behind the grid's "Engineering value...": a row's gain,
// offset and unit, or for an integer type its enumeration or bit labels.
#include <QDialog>

#include "Scaling.h"

class QLabel;
class QLineEdit;

class TfrmScaling : public QDialog {
public:
    TfrmScaling(QWidget* Parent, const QString& Title, const zorp::TScaling& Scaling, bool Integer);

    QLineEdit* edGain = nullptr;
    QLineEdit* edOffset = nullptr;
    QLineEdit* edUnit = nullptr;
    QLineEdit* edEnum = nullptr;
    QLineEdit* edBits = nullptr;
    QLabel* lblError = nullptr;

    // What the fields say; valid after the dialog was accepted.
    zorp::TScaling Result;
    // Checks the fields into Result; false with the reason shown.
    bool Check();

    void accept() override;
};
