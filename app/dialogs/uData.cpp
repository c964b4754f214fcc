// SPDX-License-Identifier: GPL-3.0-or-later
#include "uData.h"
#include "DesignTheme.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <climits>

#include "TypePreview.h"
#include "ValueDecoding.h"

std::function<void(TfrmDataEditor*)> TfrmDataEditor::OnShownHook;

namespace {

QColor FromBGR(uint32_t c) { return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF)); }

constexpr uint32_t kFormColor = 15461355;  // light grey
constexpr uint32_t kInputColor = 15397610; // pale green-grey of input boxes

QFont TahomaPx(int px)
{
    QFont f(QStringLiteral("Tahoma"));
    f.setPixelSize(px);
    return f;
}

void SetInputBackground(QWidget* w)
{
    QPalette pal = w->palette();
    pal.setColor(QPalette::Base, FromBGR(kInputColor));
    pal.setColor(QPalette::Button, FromBGR(kInputColor));
    w->setPalette(pal);
}

bool IsEnter(const QKeyEvent* k) { return k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter; }

} // namespace

TfrmDataEditor::TfrmDataEditor(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("frmDataEditor"));
    setWindowTitle(QStringLiteral("Data Editor"));
    setFont(TahomaPx(11));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, FromBGR(kFormColor));
    setPalette(pal);
    setAutoFillBackground(true);
    setSizeGripEnabled(false);
    setFixedSize(DesignWidth, DesignHeight);

    gbDataType = new QGroupBox(QStringLiteral("Data Type"), this);
    gbDataType->setObjectName(QStringLiteral("gbDataType"));
    gbDataType->setGeometry(8, 0, 235, 65);
    cbDataType = new QComboBox(gbDataType);
    cbDataType->setObjectName(QStringLiteral("cbDataType"));
    cbDataType->setEditable(false);
    cbDataType->setGeometry(7, 24, 221, 21);
    cbDataType->addItems(ValueDecoding::DataTypeNames());
    // All 35 names show at once, without scrolling.
    cbDataType->setMaxVisibleItems(50);
    cbDataType->setCurrentIndex(-1);
    SetInputBackground(cbDataType);
    SetInputBackground(cbDataType->view());
    // Below the list, in the group box's free space: the row's value in the
    // selected type (shown once SetPreview gave the row's registers).
    lblPreview = new QLabel(gbDataType);
    lblPreview->setObjectName(QStringLiteral("lblPreview"));
    lblPreview->setGeometry(8, 47, 219, 15);
    lblPreview->hide();
    connect(cbDataType, &QComboBox::currentIndexChanged, this, [this] { UpdatePreviewLabel(); });

    gbDescription = new QGroupBox(QStringLiteral("Description"), this);
    gbDescription->setObjectName(QStringLiteral("gbDescription"));
    gbDescription->setGeometry(8, 0, 235, 65);
    edDescription = new QLineEdit(gbDescription);
    edDescription->setObjectName(QStringLiteral("edDescription"));
    edDescription->setGeometry(16, 24, 201, 21);
    edDescription->setMaxLength(INT_MAX);
    SetInputBackground(edDescription);

    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setGeometry(88, 71, 75, 25);
    // Enter is handled by the two controls themselves; the button is not a
    // default button, so that no other key path can close the dialog with OK.
    btnOK->setAutoDefault(false);
    btnOK->setDefault(false);
    connect(btnOK, &QPushButton::clicked, this, [this] { btnOKClick(btnOK); });

    cbDataType->installEventFilter(this);
    cbDataType->view()->installEventFilter(this);
    edDescription->installEventFilter(this);

    // Centred on the screen.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect avail = screen->availableGeometry();
        move(avail.center() - QPoint(DesignWidth / 2, DesignHeight / 2));
    }
}

void TfrmDataEditor::btnOKClick(QObject*) { done(mrOk); }

void TfrmDataEditor::SetPreview(const QStringList& HexTexts)
{
    FPreview = HexTexts.isEmpty() ? QStringList() : TypePreview::Previews(HexTexts);
    FPreviewTip = QStringLiteral("The registers from this row on: ") + HexTexts.join(u' ');
    QAbstractItemView* view = cbDataType->view();
    if (!FPreview.isEmpty() && !dynamic_cast<TTypePreviewDelegate*>(view->itemDelegate()))
        view->setItemDelegate(new TTypePreviewDelegate(view));
    const QFontMetrics fm(view->font());
    int widest = 0;
    for (int i = 0; i < cbDataType->count(); ++i) {
        const QString preview = FPreview.value(i);
        cbDataType->setItemData(i, preview, TypePreview::PreviewRole);
        cbDataType->setItemData(i, preview.isEmpty() ? QVariant() : QVariant(cbDataType->itemText(i) + QStringLiteral(": ") + preview),
                                Qt::ToolTipRole);
        widest = std::max(widest, fm.horizontalAdvance(cbDataType->itemText(i)) + fm.horizontalAdvance(preview));
    }
    // The open list is wide enough for every name with its value.
    view->setMinimumWidth(FPreview.isEmpty() ? 0 : widest + 60);
    UpdatePreviewLabel();
}

QString TfrmDataEditor::PreviewText(int Index) const { return FPreview.value(Index); }

void TfrmDataEditor::UpdatePreviewLabel()
{
    const int i = cbDataType->currentIndex();
    lblPreview->setVisible(!FPreview.isEmpty());
    lblPreview->setText(i < 0 ? QStringLiteral("Value: pick a type to see it")
                              : QStringLiteral("Value: ") + FPreview.value(i));
    lblPreview->setToolTip(FPreviewTip);
}

void TfrmDataEditor::cbDataTypeKeyDown(QObject*, int& Key, Qt::KeyboardModifiers)
{
    if (Key == 13) {
        Key = 0;
        btnOKClick(cbDataType);
    }
}

void TfrmDataEditor::edDescriptionKeyDown(QObject*, int& Key, Qt::KeyboardModifiers)
{
    if (Key == 13) {
        Key = 0;
        btnOKClick(edDescription);
    }
}

void TfrmDataEditor::FormShow(QObject*)
{
    if (!gbDescription->isHidden()) {
        // The whole description is selected, so that typing replaces it.
        edDescription->setFocus(Qt::OtherFocusReason);
        edDescription->selectAll();
    }
    else if (!gbDataType->isHidden()) cbDataType->setFocus(Qt::OtherFocusReason);
    if (OnShownHook) OnShownHook(this);
}

void TfrmDataEditor::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    FormShow(this);
}

bool TfrmDataEditor::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress) return QDialog::eventFilter(watched, event);
    auto* k = static_cast<QKeyEvent*>(event);
    int key = IsEnter(k) ? 13 : k->key();
    if (watched == edDescription) {
        edDescriptionKeyDown(edDescription, key, k->modifiers());
        return key == 0;
    }
    if (watched == cbDataType) {
        cbDataTypeKeyDown(cbDataType, key, k->modifiers());
        return key == 0;
    }
    if (watched == cbDataType->view() && key == 13) {
        // Enter in the open list takes the highlighted name and closes the
        // dialog with OK, as it does with the list closed.
        const QModelIndex current = cbDataType->view()->currentIndex();
        if (current.isValid()) cbDataType->setCurrentIndex(current.row());
        cbDataType->hidePopup();
        cbDataTypeKeyDown(cbDataType, key, k->modifiers());
        return key == 0;
    }
    return QDialog::eventFilter(watched, event);
}

bool ExecuteDataEditor(int column, const QString& currentText, const QString& addressText, QString& newText,
                       const QStringList& hexTexts)
{
    TfrmDataEditor dlg;
    dlg.SetPreview(hexTexts);
    // A window of its own (no parent): the designed colours are given here.
    DesignTheme::Apply(&dlg);
    dlg.setWindowTitle(QStringLiteral("Data Editor for Address: ") + addressText);
    if (column == 1) {
        dlg.gbDescription->hide();
        dlg.gbDataType->show();
        // An empty or unknown type selects nothing and the list shows nothing.
        dlg.cbDataType->setCurrentIndex(dlg.cbDataType->findText(currentText, Qt::MatchExactly | Qt::MatchCaseSensitive));
    } else {
        dlg.gbDescription->show();
        dlg.gbDataType->hide();
        dlg.edDescription->setText(currentText);
    }
    if (dlg.exec() != TfrmDataEditor::mrOk) return false;
    newText = column == 1 ? (dlg.cbDataType->currentIndex() >= 0 ? dlg.cbDataType->currentText() : QString())
                          : dlg.edDescription->text();
    return true;
}
