// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The inside of TCommLog: the ring of lines, their wrapping, the scroll bar's
// bookkeeping and the selection (CommLog.cpp uses it, nothing else).
#include "ByteStore.h"
#include "CommLog.h"
#include "DesignTheme.h"
#include "GlyphText.h"

#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <cstring>
#include <deque>
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
        uint32_t Tag = 0;             // who the line is from (TCommLog::SetAppendTag)

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
        // Makes this slot a copy of From.
        void CopyOf(const Line& From)
        {
            Release();
            Text = From.Text;
            if (From.Bytes.size() > 0)
                std::memcpy(Bytes.Overwrite(From.Bytes.size()), From.Bytes.data(), From.Bytes.size());
            Color = From.Color;
            Rows = From.Rows;
            HeadLen = From.HeadLen;
            IsBytes = From.IsBytes;
            Tag = From.Tag;
        }
    };
    static_assert(sizeof(Line) <= 64, "a line stays in 64 bytes");
    struct Pos {
        int64_t Seq = -1; // absolute line number (never reused)
        int Ch = 0;
        bool operator<(const Pos& o) const { return Seq < o.Seq || (Seq == o.Seq && Ch < o.Ch); }
        bool operator==(const Pos& o) const { return Seq == o.Seq && Ch == o.Ch; }
    };

    explicit Impl(TCommLog* q) : q(q) {}

    // Tags (TCommLog::SetFilterTag). While a filter is on, Kept holds every
    // line appended (at most Capacity, oldest first) and the ring the lines
    // it shows; ToKept: the line being written goes to Kept only.
    uint32_t AppendTag = 0;
    uint32_t FilterTag = 0;
    std::deque<Line> Kept;
    bool ToKept = false;
    bool Shows(uint32_t tag) const { return FilterTag == 0 || tag == 0 || tag == FilterTag; }
    Line& KeptSlot()
    {
        while (Kept.size() >= static_cast<size_t>(Capacity))
            Kept.pop_front();
        return Kept.emplace_back();
    }

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
        color = ShownColor(color);
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
        img.fill(Background);
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

    // The background and the colours lines are drawn in: the designed ones,
    // or readable counterparts on a dark background (DesignTheme).
    QColor Background = Qt::white;
    QRgb ShownFrom[4] = {};
    QRgb ShownTo[4] = {};
    int ShownCount = 0;
    QRgb ShownColor(QRgb designed)
    {
        for (int i = 0; i < ShownCount; ++i)
            if (ShownFrom[i] == designed)
                return ShownTo[i];
        const QRgb shown = DesignTheme::TextColor(QColor::fromRgb(designed), Background).rgb();
        const int at = ShownCount < 4 ? ShownCount++ : 3;
        ShownFrom[at] = designed;
        ShownTo[at] = shown;
        return shown;
    }
    void SetBackground(const QColor& bg)
    {
        if (bg == Background)
            return;
        Background = bg;
        ShownCount = 0;
        RowCache.clear();
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
        const bool was = std::exchange(Programmatic, true);
        Bar->setRange(0, m);
        Bar->setPageStep(vis);
        Bar->setSingleStep(1);
        if (toEnd || wasAtEnd)
            Bar->setValue(m);
        Programmatic = was;
    }

    // The view follows the end until the user scrolls away from it, and
    // again once the user scrolls back to it. Moves of the bar made here
    // (Programmatic) are not the user's.
    bool Follow = true;
    bool Programmatic = false;
    void BarMoved(int value)
    {
        if (!Programmatic)
            Follow = value >= Bar->maximum();
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
        if (dropped > 0 && Bar->value() > 0 && Bar->value() < Bar->maximum()) {
            const bool was = std::exchange(Programmatic, true);
            Bar->setValue(int(std::max<int64_t>(0, Bar->value() - dropped)));
            Programmatic = was;
        }
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

    // The ring emptied: every line released, numbering going on.
    void EmptyRing()
    {
        for (int i = 0; i < Count; ++i)
            At(i).Release();
        FirstSeq += Count;
        Head = 0;
        Count = 0;
        TotalRows = 0;
    }

    // The slot the next line is written into: the ring's next, or a kept
    // one when the filter hides the line.
    Line& AppendSlot()
    {
        ToKept = !Shows(AppendTag);
        return ToKept ? KeptSlot() : NextSlot();
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
