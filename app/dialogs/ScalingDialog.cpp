// SPDX-License-Identifier: GPL-3.0-or-later
#include "ScalingDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

using namespace zorp;

TfrmScaling::TfrmScaling(QWidget* Parent, const QString& Title, const TScaling& Scaling, bool Integer) : QDialog(Parent)
{
    setObjectName(QStringLiteral("frmScaling"));
    setWindowTitle(Title);
    auto* form = new QFormLayout;
    auto edit = [&](const char* name, const QString& label, const QString& text, const QString& tip) {
        auto* e = new QLineEdit(text, this);
        e->setObjectName(QLatin1String(name));
        e->setToolTip(tip);
        e->setMinimumWidth(280);
        form->addRow(label, e);
        return e;
    };
    const bool scaled = Scaling.Gain != 1 || Scaling.Offset != 0;
    edGain = edit("edGain", QStringLiteral("Gain:"), scaled ? NumberText(Scaling.Gain) : QString(),
                  QStringLiteral("Value = raw value x gain + offset (empty: 1)"));
    edOffset = edit("edOffset", QStringLiteral("Offset:"), scaled ? NumberText(Scaling.Offset) : QString(),
                    QStringLiteral("Added after the gain (empty: 0)"));
    edUnit = edit("edUnit", QStringLiteral("Unit:"), Scaling.Unit, QStringLiteral("Shown after the value, e.g. V"));
    edEnum = edit("edEnum", QStringLiteral("Enumeration:"), PairsText(Scaling.Enum),
                  QStringLiteral("A name for each value: 0=Stopped;1=Running"));
    edBits = edit("edBits", QStringLiteral("Bit labels:"), BitsText(Scaling.Bits),
                  QStringLiteral("A label for each bit that is set: 0=Alarm;3=Door open"));
    edEnum->setEnabled(Integer);
    edBits->setEnabled(Integer);
    lblError = new QLabel(this);
    lblError->setObjectName(QStringLiteral("lblError"));
    lblError->setStyleSheet(QStringLiteral("color: #c00000"));
    lblError->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &TfrmScaling::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TfrmScaling::reject);
    auto* box = new QVBoxLayout(this);
    auto* hint = new QLabel(QStringLiteral("The Value column shows the raw value as the engineering value; the raw "
                                           "columns stay as read. Empty fields: no engineering value."),
                            this);
    hint->setWordWrap(true);
    box->addWidget(hint);
    box->addLayout(form);
    box->addWidget(lblError);
    box->addWidget(buttons);
}

bool TfrmScaling::Check()
{
    QString why;
    TScaling s;
    bool ok = ScalingFromFields(edGain->text(), edOffset->text(), edUnit->text(), edEnum->text(), edBits->text(), s, why);
    if (ok && !s.Enum.empty() && !s.Bits.empty()) {
        why = QStringLiteral("Give an enumeration or bit labels, not both");
        ok = false;
    }
    lblError->setText(ok ? QString() : why);
    if (ok) Result = s;
    return ok;
}

void TfrmScaling::accept()
{
    if (Check()) QDialog::accept();
}
