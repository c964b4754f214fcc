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

QLabel* NewRefusalLabel(QWidget* parent, int width)
{
    auto* l = new QLabel(parent);
    l->setObjectName(QStringLiteral("lblMessage"));
    l->setWordWrap(true);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    l->setMinimumSize(width, 3 * l->fontMetrics().lineSpacing());
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, QColor(192, 0, 0));
    l->setPalette(p);
    return l;
}

QHBoxLayout* NewWriteButtons(QDialog* dialog, QPushButton*& ok, QPushButton*& cancel)
{
    ok = new QPushButton(QStringLiteral("Write"), dialog);
    ok->setObjectName(QStringLiteral("btnOK"));
    ok->setDefault(true);
    cancel = new QPushButton(QStringLiteral("Cancel"), dialog);
    cancel->setObjectName(QStringLiteral("btnCancel"));
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    return buttons;
}

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

    lblMessage = NewRefusalLabel(this, 320);

    cbFunction16 = new QCheckBox(QStringLiteral("Always use function 16"), this);
    cbFunction16->setObjectName(QStringLiteral("cbFunction16"));

    QHBoxLayout* buttons = NewWriteButtons(this, btnOK, btnCancel);

    auto* top = new QVBoxLayout(this);
    top->addLayout(form);
    top->addWidget(lblMessage);
    top->addWidget(cbFunction16);
    top->addLayout(buttons);
    top->setSizeConstraint(QLayout::SetFixedSize);

    connect(btnOK, &QPushButton::clicked, this, [this] { btnOKClick(btnOK); });
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
