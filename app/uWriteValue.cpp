// SPDX-License-Identifier: GPL-3.0-or-later
#include "uWriteValue.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

std::function<void(TfrmWriteValue*)> TfrmWriteValue::OnShownHook;

TfrmWriteValue::TfrmWriteValue(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("frmWriteValue"));
    setWindowTitle(QStringLiteral("Write value"));
    auto* form = new QFormLayout;
    auto label = [this](const char* name) {
        auto* l = new QLabel(this);
        l->setObjectName(QLatin1String(name));
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        return l;
    };
    lblAddress = label("lblAddress");
    lblType = label("lblType");
    lblCurrent = label("lblCurrent");
    edValue = new QLineEdit(this);
    edValue->setObjectName(QStringLiteral("edValue"));
    edValue->setMinimumWidth(220);
    form->addRow(QStringLiteral("Address:"), lblAddress);
    form->addRow(QStringLiteral("Data type:"), lblType);
    form->addRow(QStringLiteral("Current value:"), lblCurrent);
    form->addRow(QStringLiteral("New value:"), edValue);

    lblMessage = new QLabel(this);
    lblMessage->setObjectName(QStringLiteral("lblMessage"));
    lblMessage->setWordWrap(true);
    lblMessage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Room for the longest refusal, so that showing one moves nothing.
    lblMessage->setMinimumSize(320, 3 * lblMessage->fontMetrics().lineSpacing());
    QPalette p = lblMessage->palette();
    p.setColor(QPalette::WindowText, QColor(192, 0, 0));
    lblMessage->setPalette(p);

    cbFunction16 = new QCheckBox(QStringLiteral("Always use function 16"), this);
    cbFunction16->setObjectName(QStringLiteral("cbFunction16"));

    btnOK = new QPushButton(QStringLiteral("Write"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);

    auto* top = new QVBoxLayout(this);
    top->addLayout(form);
    top->addWidget(lblMessage);
    top->addWidget(cbFunction16);
    top->addLayout(buttons);
    top->setSizeConstraint(QLayout::SetFixedSize);

    connect(btnOK, &QPushButton::clicked, this, [this] { btnOKClick(btnOK); });
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    // A changed text is judged afresh at the next OK.
    connect(edValue, &QLineEdit::textEdited, this, [this] { lblMessage->clear(); });
}

void TfrmWriteValue::btnOKClick(QObject*)
{
    QString why;
    if (Check && !Check(edValue->text(), why)) {
        lblMessage->setText(why + u'.');
        edValue->setFocus();
        edValue->selectAll();
        return;
    }
    accept();
}

void TfrmWriteValue::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    edValue->setFocus();
    edValue->selectAll();
    if (OnShownHook) {
        // After the nested loop runs, so that the hook may close the dialog.
        QTimer::singleShot(0, this, [this] {
            if (OnShownHook) OnShownHook(this);
        });
    }
}
