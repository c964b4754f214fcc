// SPDX-License-Identifier: GPL-3.0-or-later
#include "CommLog.h"
#include "CommLogImpl.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QImage>
#include <QKeyEvent>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

TCommLog::TCommLog(QWidget* parent)
    : QWidget(parent), d(new Impl(this))
{
    d->Ring.resize(static_cast<size_t>(d->Capacity));
    d->Bar = new QScrollBar(Qt::Vertical, this);
    d->Bar->setRange(0, 0);
    connect(d->Bar, &QScrollBar::valueChanged, this, [this](int v) {
        d->BarMoved(v);
        d->Repaint();
    });
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::IBeamCursor);
    setAttribute(Qt::WA_OpaquePaintEvent);
    d->UpdateMetrics();
}

bool TCommLog::eventFilter(QObject* watched, QEvent* e)
{
    // The window is about to paint what changed: the bar too, in the same pass.
    if (watched == FWatchedWindow && e->type() == QEvent::UpdateRequest)
        d->SyncBar();
    return false;
}

void TCommLog::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    QWidget* w = window();
    if (w != FWatchedWindow) {
        if (FWatchedWindow)
            FWatchedWindow->removeEventFilter(this);
        FWatchedWindow = w;
        if (w != this)
            w->installEventFilter(this);
    }
}

TCommLog::~TCommLog()
{
    delete d;
}

void TCommLog::Clear()
{
    d->Kept.clear();
    d->EmptyRing();
    ShownAnew();
}

void TCommLog::ShownAnew()
{
    // No selection, following the end, the scroll bar as the lines now are.
    d->Anchor = d->Cursor = {};
    d->Follow = true;
    d->BarStale = d->BarToEnd = false;
    d->BarDropped = 0;
    d->UpdateBar(true);
    update();
    if (OnChange)
        OnChange(this);
}

void TCommLog::AppendLine(const QString& text, const QColor& color)
{
    Impl::Line& l = d->AppendSlot();
    l.Text = text;
    FinishAppend(color);
}

void TCommLog::AppendBytes(QStringView head, const uint8_t* bytes, int size, const QColor& color)
{
    // The head's characters as bytes, when each fits in one (a time stamp).
    uint8_t narrow[Impl::HeadMax];
    const qsizetype headLen = head.size();
    bool isNarrow = headLen <= Impl::HeadMax;
    for (qsizetype i = 0; i < headLen && isNarrow; ++i) {
        const char16_t c = head[i].unicode();
        narrow[i] = uint8_t(c);
        isNarrow = c < 256;
    }
    if (isNarrow) {
        AppendNarrow(narrow, int(headLen), bytes, size, color);
        return;
    }
    // A head longer than a time stamp or beyond Latin-1: kept as a text line.
    if (!bytes || size < 0)
        size = 0;
    Impl::Line& l = d->AppendSlot();
    l.IsBytes = true;
    if (size > 0)
        std::memcpy(l.Bytes.Overwrite(size_t(size)), bytes, size_t(size));
    l.Text = head.toString() + l.Str();
    l.Bytes.clear();
    l.IsBytes = false;
    FinishAppend(color);
}

void TCommLog::AppendBytes(QLatin1StringView head, const uint8_t* bytes, int size, const QColor& color)
{
    if (head.size() <= Impl::HeadMax)
        AppendNarrow(reinterpret_cast<const uint8_t*>(head.data()), int(head.size()), bytes, size, color);
    else
        AppendBytes(QStringView(QString(head)), bytes, size, color);
}

void TCommLog::AppendNarrow(const uint8_t* head, int headLen, const uint8_t* bytes, int size, const QColor& color)
{
    if (!bytes || size < 0)
        size = 0;
    Impl::Line& l = d->AppendSlot();
    l.IsBytes = true;
    l.HeadLen = uint8_t(headLen);
    // Copied into the slot's kept storage: no allocation and no clearing of
    // what is written over at once.
    uint8_t* p = l.Bytes.Overwrite(size_t(headLen) + size_t(size));
    if (headLen > 0)
        std::memcpy(p, head, size_t(headLen));
    if (size > 0)
        std::memcpy(p + headLen, bytes, size_t(size));
    FinishAppend(color);
}

void TCommLog::FinishAppend(const QColor& color)
{
    if (d->ToKept) {
        // Hidden by the filter: kept, nothing in view changes.
        Impl::Line& k = d->Kept.back();
        k.Color = color.rgb();
        k.Tag = d->AppendTag;
        return;
    }
    Impl::Line& l = d->Ring[static_cast<size_t>((d->Head + d->Count) % d->Capacity)];
    l.Color = color.rgb();
    l.Tag = d->AppendTag;
    l.Rows = d->RowsOf(l);
    if (d->FilterTag != 0)
        d->KeptSlot().CopyOf(l);
    ++d->Count;
    d->TotalRows += l.Rows;
    d->MarkBar(false);
    d->Repaint();
    if (OnChange)
        OnChange(this);
}

int TCommLog::LineCount() const
{
    return d->Count;
}

QString TCommLog::LineText(int i) const
{
    return (i >= 0 && i < d->Count) ? d->At(i).Str() : QString();
}

QColor TCommLog::LineColor(int i) const
{
    return (i >= 0 && i < d->Count) ? QColor::fromRgb(d->At(i).Color) : QColor();
}

QString TCommLog::Text() const
{
    QString out;
    for (int i = 0; i < d->Count; ++i) {
        if (i)
            out += QLatin1Char('\n');
        out += d->At(i).Str();
    }
    return out;
}

int TCommLog::MaxLines() const
{
    return d->Capacity;
}

void TCommLog::SetMaxLines(int n)
{
    n = std::max(1, n);
    if (n == d->Capacity)
        return;
    while (d->Kept.size() > static_cast<size_t>(n))
        d->Kept.pop_front();
    while (d->Count > n)
        d->DropOldest();
    std::vector<Impl::Line> ring(static_cast<size_t>(n));
    for (int i = 0; i < d->Count; ++i)
        ring[static_cast<size_t>(i)] = std::move(d->At(i));
    d->Ring = std::move(ring);
    d->Head = 0;
    d->Capacity = n;
    d->MarkBar(false);
    d->SyncBar();
    update();
}

bool TCommLog::AtEnd() const
{
    d->SyncBar();
    return d->Bar->value() >= d->Bar->maximum();
}

void TCommLog::ScrollToEnd()
{
    d->MarkBar(true);
}

void TCommLog::FollowEnd()
{
    if (d->Follow)
        d->MarkBar(true);
}

bool TCommLog::Following() const
{
    return d->Follow;
}

QString TCommLog::SelectedText() const
{
    return d->Selected();
}

void TCommLog::SelectAll()
{
    if (d->Count == 0)
        return;
    d->Anchor = {d->FirstSeq, 0};
    d->Cursor = {d->FirstSeq + d->Count - 1, d->At(d->Count - 1).Length()};
    update();
}

void TCommLog::paintEvent(QPaintEvent* e)
{
    if (e->rect().contains(d->TextRect()))
        d->RepaintPending = false;
    ++d->PaintCount;
    d->SyncBar();
    const qreal dpr = devicePixelRatioF();
    QPainter p(this);
    const QRect tr = d->TextRect();
    d->SetBackground(palette().color(QPalette::Base));
    p.fillRect(rect(), d->Background);
    // The frame, when the paint reaches it (a new line repaints the text
    // only): four one-pixel fills, which is what a one-pixel pen's outline
    // of the control covers, without stroking a path.
    if (!tr.contains(e->rect())) {
        const QColor mid = palette().color(QPalette::Mid);
        const int w = width(), h = height();
        p.fillRect(0, 0, w, 1, mid);
        p.fillRect(0, h - 1, w, 1, mid);
        p.fillRect(0, 0, 1, h, mid);
        p.fillRect(w - 1, 0, 1, h, mid);
    }
    p.setClipRect(tr);
    p.setFont(font());
    const QFontMetrics fm(font());
    d->Glyphs.SetFont(font());
    const int vis = d->VisibleRows() + 1;
    const int64_t top = d->Bar->value();
    int line = 0, row = 0;
    if (!d->LocateRow(top, line, row))
        return;
    Impl::Pos selA = std::min(d->Anchor, d->Cursor), selB = std::max(d->Anchor, d->Cursor);
    const bool hasSel = d->Anchor.Seq >= 0 && !(d->Anchor == d->Cursor);
    const QColor hl = palette().color(QPalette::Active, QPalette::Highlight);
    const QColor hlText = palette().color(QPalette::Active, QPalette::HighlightedText);
    std::vector<int> starts;
    int y = tr.top();
    for (int drawn = 0; drawn < vis && line < d->Count;) {
        const Impl::Line& l = d->At(line);
        d->RowStarts(l, starts);
        const QString text = l.Str();
        const int64_t seq = d->FirstSeq + line;
        for (; row < static_cast<int>(starts.size()) && drawn < vis; ++row, ++drawn, y += d->LineH) {
            const int s = starts[static_cast<size_t>(row)];
            const int e = row + 1 < static_cast<int>(starts.size()) ? starts[static_cast<size_t>(row) + 1]
                                                                    : static_cast<int>(text.size());
            if (row > 0) {
                p.drawImage(tr.left(), y, d->RowImage(QStringView(text).mid(s, e - s), l.Color, font(), dpr));
            } else {
                p.setPen(QColor::fromRgb(d->ShownColor(l.Color)));
                const QStringView rowText = QStringView(text).mid(s, e - s);
                // The first row of a line of bytes changes with every line
                // in its head and in the first two bytes (a time stamp and a
                // transaction number); what follows mostly comes again. The
                // head and those bytes are drawn, the rest is taken from a
                // row image whose glyphs sit where they would in the row.
                const int split = l.IsBytes ? l.HeadLen + 2 * 5 : 0;
                qreal splitX = 0;
                if (split > 0 && split < rowText.size() && rowText[split - 1] == u' ' &&
                    d->Glyphs.Width(rowText.left(split), splitX) &&
                    d->Glyphs.Draw(p, tr.left(), y + fm.ascent(), rowText.left(split))) {
                    const qreal whole = std::floor(splitX);
                    p.drawImage(QPointF(tr.left() + whole, y),
                                d->RowImage(rowText.mid(split), l.Color, font(), dpr, splitX - whole));
                } else if (!d->Glyphs.Draw(p, tr.left(), y + fm.ascent(), rowText)) {
                    p.drawText(tr.left(), y + fm.ascent(), text.mid(s, e - s));
                }
            }
            if (hasSel && seq >= selA.Seq && seq <= selB.Seq) {
                const int from = std::max(s, seq == selA.Seq ? selA.Ch : 0);
                const int to = std::min(e, seq == selB.Seq ? selB.Ch : e);
                if (to > from) {
                    const QRect r(tr.left() + (from - s) * d->CharW, y, (to - from) * d->CharW, d->LineH);
                    p.fillRect(r, hl);
                    p.setPen(hlText);
                    p.drawText(r.left(), y + fm.ascent(), text.mid(from, to - from));
                }
            }
        }
        row = 0;
        ++line;
    }
}

void TCommLog::resizeEvent(QResizeEvent*)
{
    const int bw = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    d->Bar->setGeometry(width() - 1 - bw, 1, bw, qMax(0, height() - 2));
    d->SyncBar();
    d->UpdateMetrics();
    d->UpdateBar(false);
}

void TCommLog::changeEvent(QEvent* e)
{
    QWidget::changeEvent(e);
    if (e->type() == QEvent::FontChange) {
        d->CharsPerRow = -1; // force rewrapping
        d->RowCache.clear();
        d->SyncBar();
        d->UpdateMetrics();
        d->UpdateBar(false);
        update();
    }
}

void TCommLog::mousePressEvent(QMouseEvent* e)
{
    if (e->button() != Qt::LeftButton)
        return;
    d->SyncBar();
    const Impl::Pos p = d->PosAt(e->position().toPoint());
    if (e->modifiers() & Qt::ShiftModifier && d->Anchor.Seq >= 0)
        d->Cursor = p;
    else
        d->Anchor = d->Cursor = p;
    d->Selecting = true;
    update();
}

void TCommLog::mouseMoveEvent(QMouseEvent* e)
{
    if (!d->Selecting)
        return;
    d->SyncBar();
    const QPoint pt = e->position().toPoint();
    const QRect tr = d->TextRect();
    if (pt.y() < tr.top())
        d->Bar->setValue(d->Bar->value() - 1);
    else if (pt.y() > tr.bottom())
        d->Bar->setValue(d->Bar->value() + 1);
    d->Cursor = d->PosAt(pt);
    update();
}

void TCommLog::mouseReleaseEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton)
        d->Selecting = false;
}

void TCommLog::wheelEvent(QWheelEvent* e)
{
    const int steps = e->angleDelta().y() / 40; // three rows per notch
    d->SyncBar();
    d->Bar->setValue(d->Bar->value() - steps);
    e->accept();
}

void TCommLog::keyPressEvent(QKeyEvent* e)
{
    if (e->matches(QKeySequence::Copy)) {
        const QString s = SelectedText();
        if (!s.isEmpty())
            QApplication::clipboard()->setText(s);
        return;
    }
    if (e->matches(QKeySequence::SelectAll)) {
        SelectAll();
        return;
    }
    d->SyncBar();
    switch (e->key()) {
    case Qt::Key_Up: d->Bar->setValue(d->Bar->value() - 1); return;
    case Qt::Key_Down: d->Bar->setValue(d->Bar->value() + 1); return;
    case Qt::Key_PageUp: d->Bar->setValue(d->Bar->value() - d->Bar->pageStep()); return;
    case Qt::Key_PageDown: d->Bar->setValue(d->Bar->value() + d->Bar->pageStep()); return;
    case Qt::Key_Home:
        if (e->modifiers() & Qt::ControlModifier)
            d->Bar->setValue(0);
        return;
    case Qt::Key_End:
        if (e->modifiers() & Qt::ControlModifier)
            d->Bar->setValue(d->Bar->maximum());
        return;
    default: QWidget::keyPressEvent(e);
    }
}

void TCommLog::contextMenuEvent(QContextMenuEvent* e)
{
    QMenu menu(this);
    QAction* copy = menu.addAction(QStringLiteral("Copy"));
    copy->setEnabled(!SelectedText().isEmpty());
    QAction* all = menu.addAction(QStringLiteral("Select All"));
    all->setEnabled(d->Count > 0);
    QAction* chosen = menu.exec(e->globalPos());
    if (chosen == copy)
        QApplication::clipboard()->setText(SelectedText());
    else if (chosen == all)
        SelectAll();
}

void TCommLog::SetAppendTag(uint32_t tag)
{
    d->AppendTag = tag;
}

uint32_t TCommLog::FilterTag() const
{
    return d->FilterTag;
}

void TCommLog::SetFilterTag(uint32_t tag)
{
    if (tag == d->FilterTag)
        return;
    // The first filter: every line held now is kept from here on.
    if (d->FilterTag == 0)
        for (int i = 0; i < d->Count; ++i)
            d->KeptSlot().CopyOf(d->At(i));
    d->FilterTag = tag;
    // The view anew: the kept lines the filter shows, oldest first.
    d->EmptyRing();
    for (const Impl::Line& k : d->Kept) {
        if (!d->Shows(k.Tag))
            continue;
        Impl::Line& l = d->NextSlot();
        l.CopyOf(k);
        l.Rows = d->RowsOf(l);
        ++d->Count;
        d->TotalRows += l.Rows;
    }
    // No filter: the ring holds every line again.
    if (tag == 0)
        std::deque<Impl::Line>().swap(d->Kept);
    ShownAnew();
}
