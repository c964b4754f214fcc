// SPDX-License-Identifier: GPL-3.0-or-later
#include "LabeledEdit.h"

#include <QClipboard>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <algorithm>

TLabeledEdit::TLabeledEdit(const QString& caption, QWidget* parent)
    : QLineEdit(parent)
{
    FLabel = new QLabel(caption, parent);
    FLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    FLabel->setBuddy(this);
    PlaceLabel();
    // A text the user shortened lowers the limit back towards the typing limit.
    connect(this, &QLineEdit::textChanged, this, [this](const QString& t) { FitLimit(int(t.size())); });
}

void TLabeledEdit::FitLimit(int textLength)
{
    const int limit = std::max(FMaxLength, textLength);
    if (QLineEdit::maxLength() != limit)
        QLineEdit::setMaxLength(limit);
}

void TLabeledEdit::setMaxLength(int n)
{
    FMaxLength = std::clamp(n, 0, 32767);
    FitLimit(int(text().size()));
}

void TLabeledEdit::setText(const QString& s)
{
    FitLimit(int(s.size()));
    QLineEdit::setText(s);
}

QChar TLabeledEdit::FilterChar(QChar c)
{
    if (OnKeyPress)
        OnKeyPress(this, c);
    return c;
}

void TLabeledEdit::keyPressEvent(QKeyEvent* e)
{
    if (!OnKeyPress) {
        QLineEdit::keyPressEvent(e);
        return;
    }
    // The clipboard shortcuts work as in any edit box; pasted text passes
    // the filter character by character, as if it were typed.
    if (e->matches(QKeySequence::Copy) || e->matches(QKeySequence::Cut) || e->matches(QKeySequence::SelectAll)) {
        QLineEdit::keyPressEvent(e);
        return;
    }
    if (e->matches(QKeySequence::Paste)) {
        e->accept();
        PasteFiltered();
        return;
    }
    const int key = e->key();
    const Qt::KeyboardModifiers mods = e->modifiers();
    const bool ctrl = (mods & Qt::ControlModifier) && !(mods & Qt::AltModifier);

    // Keys that stand for a control character go through the filter as that
    // character, so that a filter can refuse them (the clipboard shortcuts
    // among them) exactly like typed text.
    int code = -1;
    if (key == Qt::Key_Backspace)
        code = 8;
    else if (key == Qt::Key_Return || key == Qt::Key_Enter)
        code = 13;
    else if (key == Qt::Key_Escape)
        code = 27;
    else if (ctrl && key >= Qt::Key_A && key <= Qt::Key_Z)
        code = key - Qt::Key_A + 1;
    if (code >= 0) {
        if (FilterChar(QChar(code)).unicode() == 0) {
            e->accept();
            return;
        }
        QLineEdit::keyPressEvent(e);
        return;
    }
    if (ctrl) {
        // Other Ctrl combinations (Ctrl+Insert, Ctrl+arrows, ...) carry no character.
        QLineEdit::keyPressEvent(e);
        return;
    }

    const QString text = e->text();
    bool printable = !text.isEmpty();
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            printable = false;
    if (!printable) {
        // Arrows, Delete, Home, End and the like: not filtered.
        QLineEdit::keyPressEvent(e);
        return;
    }

    QString accepted;
    bool changed = false;
    const QList<uint> ucs = text.toUcs4();
    for (uint cp : ucs) {
        // A character outside the basic plane reaches the filter as a
        // code above 255, which every filter refuses.
        const QChar c = cp > 0xFFFF ? QChar(0xFFFD) : QChar(static_cast<char16_t>(cp));
        const QChar r = FilterChar(c);
        if (r.unicode() == 0) {
            changed = true;
            continue;
        }
        if (r != c || cp > 0xFFFF)
            changed = true;
        if (cp > 0xFFFF && r == c)
            accepted += QString::fromUcs4(reinterpret_cast<const char32_t*>(&cp), 1);
        else
            accepted += r;
    }
    if (!changed) {
        QLineEdit::keyPressEvent(e);
        return;
    }
    e->accept();
    if (!accepted.isEmpty() && !isReadOnly())
        insert(accepted);
}

void TLabeledEdit::PasteFiltered()
{
    if (isReadOnly())
        return;
    QString accepted;
    for (const char32_t cp : QGuiApplication::clipboard()->text().toUcs4()) {
        // Control characters and characters outside the basic plane are
        // refused, as every filter refuses them when typed.
        if (cp < 0x20 || cp == 0x7F || cp > 0xFFFF)
            continue;
        const QChar r = FilterChar(QChar(char16_t(cp)));
        if (r.unicode() >= 0x20)
            accepted += r;
    }
    if (!accepted.isEmpty())
        insert(accepted);
}

void TLabeledEdit::keyReleaseEvent(QKeyEvent* e)
{
    QLineEdit::keyReleaseEvent(e);
    if (OnKeyUp && !e->isAutoRepeat()) {
        int key = e->key();
        OnKeyUp(this, key, e->modifiers());
    }
}

void TLabeledEdit::focusOutEvent(QFocusEvent* e)
{
    QLineEdit::focusOutEvent(e);
    // Leaving the window (another application, a menu) is not leaving the box.
    if (OnExit && e->reason() != Qt::ActiveWindowFocusReason && e->reason() != Qt::PopupFocusReason)
        OnExit(this);
}

void TLabeledEdit::inputMethodEvent(QInputMethodEvent* e)
{
    if (!OnKeyPress || e->commitString().isEmpty()) {
        QLineEdit::inputMethodEvent(e);
        return;
    }
    QString accepted;
    for (QChar c : e->commitString()) {
        const QChar r = FilterChar(c);
        if (r.unicode() != 0)
            accepted += r;
    }
    QInputMethodEvent filtered(e->preeditString(), e->attributes());
    filtered.setCommitString(accepted, e->replacementStart(), e->replacementLength());
    QLineEdit::inputMethodEvent(&filtered);
}

void TLabeledEdit::moveEvent(QMoveEvent* e)
{
    QLineEdit::moveEvent(e);
    PlaceLabel();
}

void TLabeledEdit::resizeEvent(QResizeEvent* e)
{
    QLineEdit::resizeEvent(e);
    PlaceLabel();
}

void TLabeledEdit::changeEvent(QEvent* e)
{
    QLineEdit::changeEvent(e);
    if (e->type() == QEvent::EnabledChange)
        FLabel->setEnabled(isEnabled());
    else if (e->type() == QEvent::FontChange)
        PlaceLabel();
}

void TLabeledEdit::PlaceLabel()
{
    if (!FLabel)
        return;
    const int w = FLabel->fontMetrics().horizontalAdvance(FLabel->text()) + 2;
    FLabel->setGeometry(x() - 3 - w, y(), w, height());
}

void TLabeledEdit::contextMenuEvent(QContextMenuEvent* e)
{
    if (!OnContextMenu) {
        QLineEdit::contextMenuEvent(e);
        return;
    }
    QMenu* menu = createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    OnContextMenu(menu);
    menu->popup(e->globalPos());
}
