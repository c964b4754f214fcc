// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TLabeledEdit: a one-line edit box with its caption label on its left and
// the key hooks the main window uses to filter and react to typing.
#include <QChar>
#include <QLineEdit>
#include <functional>

class QLabel;
class QMenu;

class TLabeledEdit : public QLineEdit {
    Q_OBJECT
public:
    // The label is created as a sibling (child of parent) and follows the
    // edit box's geometry: right-aligned, ending 3 pixels left of the box.
    explicit TLabeledEdit(const QString& caption, QWidget* parent = nullptr);

    QLabel* EditLabel() const { return FLabel; }

    // The most characters typing may give the box. Unlike QLineEdit's own
    // limit it never cuts a text set by the program (a value restored from a
    // file): such a text stays whole, typing cannot lengthen it, and once
    // shortened below the limit the limit applies as usual.
    int maxLength() const { return FMaxLength; }
    void setMaxLength(int n);
    // Sets the text whole, whatever its length.
    void setText(const QString& s);
    QString Text() const { return text(); }
    void SetText(const QString& s) { setText(s); }

    // A typed character before the box takes it. Backspace arrives as 8,
    // Ctrl+letter as its control code (Ctrl+R as 18, ...; the clipboard
    // shortcuts are not passed: they work as usual, and the characters of
    // pasted text are passed one by one), Enter
    // as 13 and Escape as 27; keys without a character (arrows, Delete, Home,
    // End, Tab) are not passed here. Setting Key to 0 discards the key.
    std::function<void(QObject* Sender, QChar& Key)> OnKeyPress;
    // A key released in the box: its Qt key code and the modifiers.
    std::function<void(QObject* Sender, int& Key, Qt::KeyboardModifiers Shift)> OnKeyUp;
    // The focus left the box for another control of the same window.
    std::function<void(QObject* Sender)> OnExit;

    // Receives the box's standard context menu (right button) before it
    // shows, to add entries of its own. Unset: the standard menu alone.
    std::function<void(QMenu* Menu)> OnContextMenu;

    // Runs the OnKeyPress filter on one character; returns the character
    // to insert, or 0 when it is discarded.
    QChar FilterChar(QChar c);
    // Inserts the clipboard's text as far as the filter accepts its characters.
    void PasteFiltered();

protected:
    void keyPressEvent(QKeyEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    void inputMethodEvent(QInputMethodEvent* e) override;
    void moveEvent(QMoveEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;

private:
    void PlaceLabel();
    // QLineEdit's limit: the typing limit, or the text's length when longer.
    void FitLimit(int textLength);
    QLabel* FLabel = nullptr;
    int FMaxLength = 32767;
};
