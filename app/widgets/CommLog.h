// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TCommLog: the read-only, colour-coded communication log. Lines are only
// ever appended at the end or all cleared; when the capacity is reached the
// oldest line goes first, so memory stays bounded in a long polling run and
// an append costs the same whether the log is empty or full.
#include <QColor>
#include <QString>
#include <QWidget>
#include <functional>

class TCommLog : public QWidget {
    Q_OBJECT
public:
    explicit TCommLog(QWidget* parent = nullptr);
    ~TCommLog() override;

    // Default capacity in lines.
    static constexpr int DefaultMaxLines = 20000;

    void Clear();
    void AppendLine(const QString& text, const QColor& color);

    int LineCount() const;
    // Line i, 0 being the oldest kept line.
    QString LineText(int i) const;
    QColor LineColor(int i) const;
    // Every kept line, joined by '\n'.
    QString Text() const;

    int MaxLines() const;
    // Lines beyond the new capacity are dropped, oldest first.
    void SetMaxLines(int n);

    // Whether the newest line is in view (the view follows the end).
    bool AtEnd() const;
    // Scrolls so that the newest line is in view.
    void ScrollToEnd();
    // The selected text (empty when nothing is selected).
    QString SelectedText() const;
    void SelectAll();

    // Any change of the text: an append or a clear.
    std::function<void(QObject* Sender)> OnChange;

    class Impl;

protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;

private:
    Impl* d;
};
