// SPDX-License-Identifier: GPL-3.0-or-later
#include "TimeoutsDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPointer>
#include <QSpinBox>

#include "TesterOptions.h"

TfrmTimeouts::TfrmTimeouts(int TimeoutMs, int Tries, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmTimeouts"));
    setWindowTitle(QStringLiteral("Time-out and retries"));
    auto* form = new QFormLayout(this);
    seTimeout = new QSpinBox(this);
    seTimeout->setObjectName(QStringLiteral("seTimeout"));
    seTimeout->setRange(TTesterOptions::MinTimeoutMs, TTesterOptions::MaxTimeoutMs);
    seTimeout->setSingleStep(100);
    seTimeout->setSuffix(QStringLiteral(" ms"));
    seTimeout->setValue(TimeoutMs);
    seTries = new QSpinBox(this);
    seTries->setObjectName(QStringLiteral("seTries"));
    seTries->setRange(0, TTesterOptions::MaxRepeats);
    seTries->setValue(Tries);
    form->addRow(QStringLiteral("Wait for an answer:"), seTimeout);
    form->addRow(QStringLiteral("Retries after the first try:"), seTries);
    auto* note = new QLabel(QStringLiteral("An error is reported after the last try's wait.\n"
                                           "Default: 3000 ms, 3 retries."),
                            this);
    form->addRow(note);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

bool RunTimeoutsDialog(QWidget* parent, int& TimeoutMs, int& Tries)
{
    QPointer<TfrmTimeouts> dlg = new TfrmTimeouts(TimeoutMs, Tries, parent);
    const bool ok = TfrmTimeouts::RunHook ? TfrmTimeouts::RunHook(dlg) : dlg->exec() == QDialog::Accepted;
    // The dialog runs a nested event loop: its parent may have gone meanwhile.
    if (!dlg)
        return false;
    if (ok) {
        TimeoutMs = dlg->seTimeout->value();
        Tries = dlg->seTries->value();
    }
    delete dlg;
    return ok;
}
