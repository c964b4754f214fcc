// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TCommLog: the read-only, colour-coded communication log. Lines are only
// ever appended at the end or all cleared; when the capacity is reached the
// oldest line goes first, so memory stays bounded in a long polling run and
// an append costs the same whether the log is empty or full.
#include <QColor>
#include <QPointer>
#include <QString>
#include <QStringView>
#include <cstdint>
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
    // Appends the line head followed by "[XX] " for every byte (two
    // upper-case hexadecimal digits and a blank after the bracket). The
    // bytes are kept as they are and put into words when the line is shown
    // or read, so that a full log of long response lines stays small.
    void AppendBytes(QStringView head, const uint8_t* bytes, int size, const QColor& color);
    // The same for a head of Latin-1 characters (a time stamp), taken as it is.
    void AppendBytes(QLatin1StringView head, const uint8_t* bytes, int size, const QColor& color);

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
    // The same while the view follows the end: scrolling away from the end
    // stops following it, scrolling back to it (or a Clear) resumes.
    void FollowEnd();
    bool Following() const;
    // The selected text (empty when nothing is selected).
    QString SelectedText() const;
    void SelectAll();

    // Lines may carry a tag saying whom they are from (0: nobody in
    // particular). SetAppendTag tags the lines appended from then on.
    // SetFilterTag(t) shows only the lines tagged 0 or t, and from then on
    // keeps every line, shown or not, within the capacity: another filter,
    // or none (0: every line, as without filters), shows the kept lines
    // anew, those appended while they were hidden included.
    void SetAppendTag(uint32_t tag);
    void SetFilterTag(uint32_t tag);
    uint32_t FilterTag() const;

    // Any change of the text: an append or a clear.
    std::function<void(QObject* Sender)> OnChange;

    class Impl;

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;
    void showEvent(QShowEvent* e) override;
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
    // Appends a line of bytes whose head is Latin-1 of at most Impl::HeadMax characters.
    void AppendNarrow(const uint8_t* head, int headLen, const uint8_t* bytes, int size, const QColor& color);
    // Completes the line just written into the slot Impl::AppendSlot gave.
    void FinishAppend(const QColor& color);
    void ShownAnew();
    Impl* d;
    QPointer<QWidget> FWatchedWindow; // the window whose paints bring the scroll bar up to date
};
