// SPDX-License-Identifier: GPL-3.0-or-later
#include "CommLog.h"
#include "ByteStore.h"
#include "GlyphText.h"

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

// Lines live in a ring of fixed capacity. Each line is wrapped to the view's
// width at character positions (the log's font is fixed-pitch), preferring a
// break after a blank; a line's row count is cached and recomputed only when
// the width or the font changes. The view scrolls in wrapped rows.
//
// A line of bytes (AppendBytes) keeps its head and its bytes as they came
// and is put into words only when shown or asked for: a response line reads
// five characters per byte, and storing them would take ten times the
// memory. A slot reused for a new line keeps its byte storage, so that a
// full log appends without allocating.
class TCommLog::Impl {
public:
    static constexpr int HeadMax = 32;
    // Byte storage kept in a reused slot up to this size; larger blocks are
    // rare and give theirs back.
    static constexpr size_t KeepBytes = 1024;
    // One line in 64 bytes: the ring of a full log is read at every append.
    struct Line {
        QString Text;                 // a text line
        // A line of bytes: the head's characters (each below 256), then the
        // bytes, shown as "[XX] " each.
        TByteStore Bytes;
        QRgb Color = 0;
        int Rows = 1;
        uint8_t HeadLen = 0;
        bool IsBytes = false;

        int DataSize() const { return int(Bytes.size()) - HeadLen; }
        int Length() const { return IsBytes ? HeadLen + 5 * DataSize() : int(Text.size()); }
        char16_t CharAt(int i) const
        {
            if (!IsBytes) return Text[i].unicode();
            if (i < HeadLen) return Bytes[size_t(i)];
            static const char hex[] = "0123456789ABCDEF";
            const int k = i - HeadLen;
            const uint8_t b = Bytes[size_t(HeadLen + k / 5)];
            switch (k % 5) {
            case 0: return u'[';
            case 1: return char16_t(hex[b >> 4]);
            case 2: return char16_t(hex[b & 0x0F]);
            case 3: return u']';
            default: return u' ';
            }
        }
        // The line's text.
        QString Str() const
        {
            if (!IsBytes) return Text;
            static const char hex[] = "0123456789ABCDEF";
            QString s(Length(), Qt::Uninitialized);
            char16_t* p = reinterpret_cast<char16_t*>(s.data());
            for (int i = 0; i < HeadLen; ++i)
                *p++ = Bytes[size_t(i)];
            for (size_t i = HeadLen; i < Bytes.size(); ++i) {
                const uint8_t b = Bytes[i];
                *p++ = u'[';
                *p++ = char16_t(hex[b >> 4]);
                *p++ = char16_t(hex[b & 0x0F]);
                *p++ = u']';
                *p++ = u' ';
            }
            return s;
        }
        // Empties the slot; byte storage of the usual size stays for reuse.
        void Release()
        {
            if (!Text.isNull()) Text = QString();
            if (Bytes.capacity() > KeepBytes) Bytes.release();
            else Bytes.clear();
            IsBytes = false;
            HeadLen = 0;
        }
    };
    struct Pos {
        int64_t Seq = -1; // absolute line number (never reused)
        int Ch = 0;
        bool operator<(const Pos& o) const { return Seq < o.Seq || (Seq == o.Seq && Ch < o.Ch); }
        bool operator==(const Pos& o) const { return Seq == o.Seq && Ch == o.Ch; }
    };

    explicit Impl(TCommLog* q) : q(q) {}

    TCommLog* q;
    QScrollBar* Bar = nullptr;
    std::vector<Line> Ring;
    int Head = 0;      // index of the oldest line in Ring
    int Count = 0;
    int Capacity = TCommLog::DefaultMaxLines;
    int64_t FirstSeq = 0; // sequence number of the oldest kept line
    int64_t TotalRows = 0;
    int CharsPerRow = 80;
    int CharW = 7;
    int LineH = 13;
    Pos Anchor, Cursor;
    bool Selecting = false;
    // A repaint of the whole control is asked for and has not come yet.
    bool RepaintPending = false;

    // Rows drawn into images, by their text and colour. Rows after the
    // first of a line hold bytes only (the time stamp is in the first), and
    // in a polling run the same ones come again and again: the bytes of an
    // answer that did not change. Copying a row's image costs a fraction of
    // drawing its glyphs.
    struct CachedRow {
        QString Text;
        QRgb Color = 0;
        qreal StartX = 0;
        QImage Image;
        int64_t Used = 0;
    };
    // Rows drawn without shaping where the font allows.
    TGlyphText Glyphs;
    static constexpr size_t RowCacheSize = 48;
    std::vector<CachedRow> RowCache;
    int64_t PaintCount = 0;

    // The image of a row's text whose first glyph lies startX (0 to 1)
    // pixels right of the image's left edge.
    const QImage& RowImage(QStringView text, QRgb color, const QFont& font, qreal dpr, qreal startX = 0)
    {
        for (CachedRow& c : RowCache) {
            if (c.Color == color && c.StartX == startX && QStringView(c.Text) == text &&
                c.Image.devicePixelRatio() == dpr) {
                c.Used = PaintCount;
                return c.Image;
            }
        }
        CachedRow* slot = nullptr;
        if (RowCache.size() < RowCacheSize) {
            slot = &RowCache.emplace_back();
        } else {
            slot = &*std::min_element(RowCache.begin(), RowCache.end(),
                                      [](const CachedRow& a, const CachedRow& b) { return a.Used < b.Used; });
        }
        slot->Text = text.toString();
        slot->Color = color;
        slot->StartX = startX;
        slot->Used = PaintCount;
        // One character more than the text: a glyph may reach a little
        // beyond its cell.
        const QSize size((int(text.size()) + 1) * CharW + 1, LineH);
        // Opaque, as the window's backing store is, so that the glyphs are
        // drawn alike in both.
        QImage img(size * dpr, QImage::Format_RGB32);
        img.setDevicePixelRatio(dpr);
        img.fill(Qt::white);
        {
            QPainter ip(&img);
            ip.setFont(font);
            ip.setPen(QColor::fromRgb(color));
            if (!Glyphs.Draw(ip, startX, QFontMetrics(font).ascent(), text))
                ip.drawText(QPointF(startX, QFontMetrics(font).ascent()), text.toString());
        }
        slot->Image = std::move(img);
        return slot->Image;
    }

    // Asks for the control to be painted again, once until it is: lines
    // arrive thousands of times between two paints.
    void Repaint()
    {
        if (RepaintPending)
            return;
        RepaintPending = true;
        // The text only: the frame does not change, and a request for the
        // whole control would paint the scroll bar on it too.
        q->update(TextRect());
    }

    Line& At(int i) { return Ring[static_cast<size_t>((Head + i) % Capacity)]; }
    const Line& At(int i) const { return Ring[static_cast<size_t>((Head + i) % Capacity)]; }

    QRect TextRect() const
    {
        const int barW = Bar->isHidden() ? 0 : Bar->width();
        return QRect(1 + 2, 1, qMax(1, q->width() - 2 - 2 - barW - 1), qMax(1, q->height() - 2));
    }
    int VisibleRows() const { return qMax(1, TextRect().height() / LineH); }

    // Row starts of a wrapped line: the character index at which each row begins.
    void RowStarts(const Line& l, std::vector<int>& out) const
    {
        out.clear();
        out.push_back(0);
        const int n = l.Length();
        int start = 0;
        while (n - start > CharsPerRow) {
            start = RowBreak(l, start);
            out.push_back(start);
        }
    }
    int RowsOf(const Line& l) const
    {
        const int n = l.Length();
        if (n <= CharsPerRow)
            return 1;
        if (l.IsBytes && CharsPerRow >= l.HeadLen + 5) {
            // The first row ends after the last whole "[XX] " that fits, and
            // every row after it starts at a byte and holds as many whole
            // bytes as fit (RowBreak's rule, counted instead of walked).
            const int j = CharsPerRow - 1 - l.HeadLen;
            const int firstEnd = l.HeadLen + j - (j + 1) % 5 + 1;
            const int left = (n - firstEnd) / 5;
            const int perRow = CharsPerRow / 5;
            return 1 + (left + perRow - 1) / perRow;
        }
        int rows = 1;
        for (int start = 0; n - start > CharsPerRow; ++rows)
            start = RowBreak(l, start);
        return rows;
    }
    // Where the row after the one starting at start begins: after its last
    // blank when it has one.
    int RowBreak(const Line& l, int start) const
    {
        const int brk = start + CharsPerRow;
        if (l.IsBytes && brk - 1 >= l.HeadLen) {
            // In the bytes' part every fifth character is a blank ("[XX] "):
            // the last one up to the row's end is found without a search.
            const int j = brk - 1 - l.HeadLen;
            const int blank = j - (j + 1) % 5;
            if (blank >= 0)
                return l.HeadLen + blank >= start ? l.HeadLen + blank + 1 : brk;
        }
        for (int k = brk; k > start; --k)
            if (l.CharAt(k - 1) == u' ') return k;
        return brk;
    }

    void UpdateMetrics()
    {
        const QFontMetrics fm(q->font());
        CharW = qMax(1, fm.horizontalAdvance(QLatin1Char('0')));
        LineH = qMax(1, fm.lineSpacing());
        const int newCpr = qMax(1, TextRect().width() / CharW);
        if (newCpr != CharsPerRow) {
            CharsPerRow = newCpr;
            TotalRows = 0;
            for (int i = 0; i < Count; ++i) {
                Line& l = At(i);
                l.Rows = RowsOf(l);
                TotalRows += l.Rows;
            }
        }
    }

    void UpdateBar(bool toEnd)
    {
        const int vis = VisibleRows();
        const int64_t maxTop = std::max<int64_t>(0, TotalRows - vis);
        const int m = static_cast<int>(std::min<int64_t>(maxTop, INT32_MAX));
        const bool wasAtEnd = Bar->value() >= Bar->maximum();
        // Most calls find the bar as it should be (a second call for the
        // same line): a slider's setters are not free.
        if (Bar->minimum() == 0 && Bar->maximum() == m && Bar->pageStep() == vis && Bar->singleStep() == 1 &&
            (!(toEnd || wasAtEnd) || Bar->value() == m))
            return;
        Bar->setRange(0, m);
        Bar->setPageStep(vis);
        Bar->setSingleStep(1);
        if (toEnd || wasAtEnd)
            Bar->setValue(m);
    }

    // The scroll bar is brought up to date when it is looked at (before the
    // window paints, at the user's scrolling, AtEnd) rather than at every
    // line: thousands of lines come between two paints, and a slider's
    // setters with their signals cost more than a line.
    bool BarStale = false;
    bool BarToEnd = false;   // a scroll to the end is asked for
    int64_t BarDropped = 0;  // rows gone from the top since the bar was updated
    void MarkBar(bool toEnd)
    {
        BarStale = true;
        BarToEnd = BarToEnd || toEnd;
    }
    void SyncBar()
    {
        if (!BarStale)
            return;
        BarStale = false;
        const bool toEnd = std::exchange(BarToEnd, false);
        const int64_t dropped = std::exchange(BarDropped, 0);
        // Keep the rows in view where they were when the top went away; a
        // view that follows the end stays at the end (UpdateBar keeps it
        // there), without a detour through another position.
        if (dropped > 0 && Bar->value() > 0 && Bar->value() < Bar->maximum())
            Bar->setValue(int(std::max<int64_t>(0, Bar->value() - dropped)));
        UpdateBar(toEnd);
    }

    void DropOldest()
    {
        Line& l = At(0);
        TotalRows -= l.Rows;
        const int dropped = l.Rows;
        l.Release();
        Head = (Head + 1) % Capacity;
        --Count;
        ++FirstSeq;
        BarDropped += dropped;
        BarStale = true;
        if (Anchor.Seq >= 0 && Anchor.Seq < FirstSeq)
            Anchor = {FirstSeq, 0};
        if (Cursor.Seq >= 0 && Cursor.Seq < FirstSeq)
            Cursor = {FirstSeq, 0};
    }

    // The emptied slot the next line goes into; in a full log the oldest
    // line goes first. Slots that appends a few lines later will reuse are
    // fetched ahead: in a full log they were last written a whole ring ago
    // and come from main memory, line and bytes alike (the line sixteen
    // appends ahead, the bytes of the one eight ahead, whose line is in by
    // then).
    Line& NextSlot()
    {
        if (Count == Capacity)
            DropOldest();
        const size_t at = static_cast<size_t>((Head + Count) % Capacity);
        Line& l = Ring[at];
#if defined(__GNUC__)
        const size_t cap = static_cast<size_t>(Capacity);
        __builtin_prefetch(&Ring[(at + 16) % cap], 1);
        const Line& next = Ring[(at + 8) % cap];
        const uint8_t* bytes = next.Bytes.data();
        for (size_t k = 0; k < next.Bytes.size(); k += 64)
            __builtin_prefetch(bytes + k, 1);
#endif
        l.Release();
        return l;
    }

    // The line index and row within it of visual row v (0 = the first row).
    bool LocateRow(int64_t v, int& line, int& rowInLine) const
    {
        if (v < 0 || v >= TotalRows)
            return false;
        if (v >= TotalRows / 2) {
            int64_t r = TotalRows;
            for (int i = Count - 1; i >= 0; --i) {
                r -= At(i).Rows;
                if (v >= r) {
                    line = i;
                    rowInLine = static_cast<int>(v - r);
                    return true;
                }
            }
        } else {
            int64_t r = 0;
            for (int i = 0; i < Count; ++i) {
                if (v < r + At(i).Rows) {
                    line = i;
                    rowInLine = static_cast<int>(v - r);
                    return true;
                }
                r += At(i).Rows;
            }
        }
        return false;
    }

    Pos PosAt(const QPoint& p) const
    {
        if (Count == 0)
            return {};
        const QRect tr = TextRect();
        int64_t v = Bar->value() + std::max(0, p.y() - tr.top()) / LineH;
        if (p.y() < tr.top())
            v = Bar->value() - 1;
        if (v < 0)
            return {FirstSeq, 0};
        if (v >= TotalRows)
            return {FirstSeq + Count - 1, At(Count - 1).Length()};
        int line = 0, row = 0;
        LocateRow(v, line, row);
        const Line& l = At(line);
        std::vector<int> starts;
        RowStarts(l, starts);
        const int rowStart = starts[static_cast<size_t>(row)];
        const int rowEnd = row + 1 < static_cast<int>(starts.size()) ? starts[static_cast<size_t>(row) + 1]
                                                                     : l.Length();
        int ch = rowStart + std::max(0, (p.x() - tr.left() + CharW / 2) / CharW);
        ch = std::min(ch, rowEnd);
        return {FirstSeq + line, ch};
    }

    QString Selected() const
    {
        if (Anchor.Seq < 0 || Anchor == Cursor)
            return QString();
        Pos a = std::min(Anchor, Cursor), b = std::max(Anchor, Cursor);
        QString out;
        for (int64_t s = a.Seq; s <= b.Seq; ++s) {
            const int i = static_cast<int>(s - FirstSeq);
            if (i < 0 || i >= Count)
                continue;
            const QString t = At(i).Str();
            const int from = s == a.Seq ? std::min<int>(a.Ch, t.size()) : 0;
            const int to = s == b.Seq ? std::min<int>(b.Ch, t.size()) : static_cast<int>(t.size());
            out += t.mid(from, to - from);
            if (s != b.Seq)
                out += QLatin1Char('\n');
        }
        return out;
    }
};

TCommLog::TCommLog(QWidget* parent)
    : QWidget(parent), d(new Impl(this))
{
    d->Ring.resize(static_cast<size_t>(d->Capacity));
    d->Bar = new QScrollBar(Qt::Vertical, this);
    d->Bar->setRange(0, 0);
    connect(d->Bar, &QScrollBar::valueChanged, this, [this](int) { d->Repaint(); });
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
    for (int i = 0; i < d->Count; ++i)
        d->At(i).Release();
    d->FirstSeq += d->Count;
    d->Head = 0;
    d->Count = 0;
    d->TotalRows = 0;
    d->Anchor = d->Cursor = {};
    d->BarStale = d->BarToEnd = false;
    d->BarDropped = 0;
    d->UpdateBar(true);
    update();
    if (OnChange)
        OnChange(this);
}

void TCommLog::AppendLine(const QString& text, const QColor& color)
{
    Impl::Line& l = d->NextSlot();
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
    Impl::Line& l = d->NextSlot();
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
    Impl::Line& l = d->NextSlot();
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
    Impl::Line& l = d->Ring[static_cast<size_t>((d->Head + d->Count) % d->Capacity)];
    l.Color = color.rgb();
    l.Rows = d->RowsOf(l);
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
    p.fillRect(rect(), Qt::white);
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
                p.setPen(QColor::fromRgb(l.Color));
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
