// SPDX-License-Identifier: GPL-3.0-or-later
#include "uWriteAny.h"
#include "StrictInt.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "ModbusFrames.h"
#include "ValueDecoding.h"
#include "ValueLists.h"
#include "uWriteValue.h"

std::function<void(TfrmWriteAny*)> TfrmWriteAny::OnShownHook;

namespace {

constexpr int kFunctions[] = {5, 6, 15, 16};

QString FunctionName(int f)
{
    switch (f) {
    case 5: return QStringLiteral("Write Single Coil");
    case 6: return QStringLiteral("Write Single Register");
    case 15: return QStringLiteral("Write Multiple Coils");
    default: return QStringLiteral("Write Multiple Registers");
    }
}

const TDataTypeInfo& PlainWord() { return *ValueDecoding::FindDataType(u"UInt16 (Word) AABB"); }

bool IsCoilFunction(int f) { return f == 5 || f == 15; }

} // namespace

bool BuildWriteAny(int Func, const QString& AddressText, const TDataTypeInfo* Type, const QString& ValuesText,
                   TWriteAnyRequest& Out, QString& Why)
{
    if (Func != 5 && Func != 6 && Func != 15 && Func != 16) {
        Why = QStringLiteral("Function %1 does not write").arg(Func);
        return false;
    }
    const QString a = AddressText.trimmed();
    int64_t address = 0;
    if (!zorp::ParseInt(a, 1, 65536, address, zorp::IntDigitsOnly)) {
        Why = QStringLiteral("The address \"%1\" is not a number from 1 to 65536").arg(a);
        return false;
    }
    TWriteAnyRequest r;
    r.Func = Func;
    r.Address = uint16_t(address); // 65536 is wire address 65535: uint16_t keeps it as 0, the engine's wrap
    const bool coils = IsCoilFunction(Func);
    const TDataTypeInfo& type = Type ? *Type : PlainWord();
    size_t count = 0;
    QString valuesShown;
    if (coils) {
        const ValueEncoding::TEncodedBits bits = ValueEncoding::EncodeBitPattern(ValuesText);
        if (!bits.Ok()) {
            Why = bits.Error.left(1).toUpper() + bits.Error.mid(1);
            return false;
        }
        r.Bits = bits.Bits;
        count = r.Bits.size();
        for (const bool b : r.Bits) valuesShown += b ? u'1' : u'0';
    } else {
        if (type.Format == TTypeFormat::Bit) {
            Why = QStringLiteral("BIT is for coils: choose function 05 or 15");
            return false;
        }
        const ValueEncoding::TEncoded words = ValueEncoding::EncodeValueList(type, ValuesText);
        if (!words.Ok()) {
            Why = words.Error.left(1).toUpper() + words.Error.mid(1);
            return false;
        }
        r.Words = words.Words;
        count = r.Words.size();
        valuesShown = ValuesText.trimmed() + QStringLiteral(" as ") + QString::fromLatin1(type.Name);
    }
    const QString what = coils ? QStringLiteral("coils") : QStringLiteral("registers");
    if ((Func == 5 || Func == 6) && count != 1) {
        Why = QStringLiteral("Function %1 writes one %2; the values give %3 (use function %4)")
                  .arg(Func, 2, 10, QChar(u'0'))
                  .arg(coils ? QStringLiteral("coil") : QStringLiteral("register"))
                  .arg(count)
                  .arg(coils ? 15 : 16);
        return false;
    }
    const size_t most = coils ? zorp::kMaxWriteCoils : zorp::kMaxWriteRegisters;
    if (count > most) {
        Why = QStringLiteral("The values give %1 %2; one request writes at most %3").arg(count).arg(what).arg(most);
        return false;
    }
    if (address + long(count) - 1 > 65536) {
        Why = QStringLiteral("%1 %2 from address %3 run past address 65536").arg(count).arg(what).arg(address);
        return false;
    }
    r.Description = QStringLiteral("write %1 %2, address %3, %4")
                        .arg(Func, 2, 10, QChar(u'0'))
                        .arg(FunctionName(Func))
                        .arg(address)
                        .arg(valuesShown);
    Out = std::move(r);
    return true;
}

TfrmWriteAny::TfrmWriteAny(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmWriteAny"));
    setWindowTitle(QStringLiteral("Write to the slave"));

    cbFunction = new QComboBox(this);
    cbFunction->setObjectName(QStringLiteral("cbFunction"));
    for (const int f : kFunctions)
        cbFunction->addItem(QStringLiteral("%1: %2").arg(f, 2, 10, QChar(u'0')).arg(FunctionName(f)), f);
    edAddress = new QLineEdit(this);
    edAddress->setObjectName(QStringLiteral("edAddress"));
    edAddress->setMaxLength(5);
    cbType = new QComboBox(this);
    cbType->setObjectName(QStringLiteral("cbType"));
    for (int i = 0; i < ValueDecoding::DataTypeCount(); ++i) {
        const TDataTypeInfo& t = ValueDecoding::DataTypeAt(i);
        if (t.Format != TTypeFormat::Bit) cbType->addItem(QString::fromLatin1(t.Name));
    }
    cbType->setMaxVisibleItems(40);
    SetDataType(QString::fromLatin1(PlainWord().Name));
    edValues = new QLineEdit(this);
    edValues->setObjectName(QStringLiteral("edValues"));
    edValues->setMinimumWidth(300);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Function:"), cbFunction);
    form->addRow(QStringLiteral("Address:"), edAddress);
    lblType = new QLabel(QStringLiteral("Data type:"), this);
    form->addRow(lblType, cbType);
    form->addRow(QStringLiteral("Value(s):"), edValues);

    lblHint = new QLabel(this);
    lblHint->setObjectName(QStringLiteral("lblHint"));
    lblHint->setWordWrap(true);
    lblHint->setMinimumSize(360, 2 * lblHint->fontMetrics().lineSpacing());
    QPalette hp = lblHint->palette();
    hp.setColor(QPalette::WindowText, QColor(80, 80, 80));
    lblHint->setPalette(hp);

    lblMessage = NewRefusalLabel(this, 360);
    QHBoxLayout* buttons = NewWriteButtons(this, btnOK, btnCancel);

    auto* top = new QVBoxLayout(this);
    top->addLayout(form);
    top->addWidget(lblHint);
    top->addWidget(lblMessage);
    top->addLayout(buttons);
    top->setSizeConstraint(QLayout::SetFixedSize);

    connect(btnOK, &QPushButton::clicked, this, [this] { btnOKClick(btnOK); });
    // A changed input is judged afresh at the next Write.
    for (QLineEdit* e : {edAddress, edValues})
        connect(e, &QLineEdit::textEdited, this, [this] { lblMessage->clear(); });
    connect(cbFunction, &QComboBox::currentIndexChanged, this, [this] {
        lblMessage->clear();
        UpdateHint();
    });
    connect(cbType, &QComboBox::currentIndexChanged, this, [this] {
        lblMessage->clear();
        UpdateHint();
    });
    SetFunction(6);
    UpdateHint();
}

int TfrmWriteAny::Function() const { return cbFunction->currentData().toInt(); }

void TfrmWriteAny::SetFunction(int Func)
{
    const int i = cbFunction->findData(Func);
    if (i >= 0) cbFunction->setCurrentIndex(i);
}

const TDataTypeInfo* TfrmWriteAny::DataType() const { return ValueDecoding::FindDataType(cbType->currentText()); }

void TfrmWriteAny::SetDataType(const QString& Name)
{
    const int i = cbType->findText(Name, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (i >= 0) cbType->setCurrentIndex(i);
}

void TfrmWriteAny::UpdateHint()
{
    const int f = Function();
    const bool coils = IsCoilFunction(f);
    lblType->setVisible(!coils);
    cbType->setVisible(!coils);
    QString hint;
    if (f == 5) {
        hint = QStringLiteral("One coil: 0 (off) or 1 (on).");
    } else if (f == 15) {
        hint = QStringLiteral("A bit pattern, the coil at the address first: 0101 writes it off, "
                              "the next on, and so on (up to %1 coils).")
                   .arg(zorp::kMaxWriteCoils);
    } else {
        const TDataTypeInfo* t = DataType();
        const QString range = t ? ValueEncoding::RangeText(*t) : QString();
        const int rows = t ? t->Rows : 1;
        hint = f == 6 ? QStringLiteral("One value of one register")
                      : QStringLiteral("Values separated by commas, %1 register%2 each (up to %3 registers)")
                            .arg(rows)
                            .arg(rows == 1 ? QString() : QStringLiteral("s"))
                            .arg(zorp::kMaxWriteRegisters);
        if (!range.isEmpty()) hint += QStringLiteral("; range ") + range;
        if (t && t->Format == TTypeFormat::RawBytes) hint += QStringLiteral("; each value H,L");
        if (t && t->ByteCount == 1 && (t->Format == TTypeFormat::Signed || t->Format == TTypeFormat::Unsigned))
            hint += QStringLiteral("; the register's other byte is written as 0");
        hint += u'.';
    }
    lblHint->setText(hint);
}

void TfrmWriteAny::btnOKClick(QObject*)
{
    QString why;
    TWriteAnyRequest r;
    const bool coils = IsCoilFunction(Function());
    if (BuildWriteAny(Function(), edAddress->text(), coils ? nullptr : DataType(), edValues->text(), r, why) &&
        (!CanSend || CanSend(why))) {
        Request = std::move(r);
        accept();
        return;
    }
    lblMessage->setText(why + u'.');
}

void TfrmWriteAny::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    edValues->setFocus();
    edValues->selectAll();
    if (OnShownHook) {
        // After the nested loop runs, so that the hook may close the dialog.
        QTimer::singleShot(0, this, [this] {
            if (OnShownHook) OnShownHook(this);
        });
    }
}
