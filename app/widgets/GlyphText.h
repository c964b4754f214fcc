// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TGlyphText: draws single rows of text in a fixed-pitch font without
// shaping them. The glyph of each Latin-1 character is looked up once; a row
// is then its characters' glyphs at the positions their advances give, drawn
// as one glyph run. For a fixed-pitch font, which neither kerns nor joins
// these characters, that is what QPainter::drawText draws, at a fraction of
// the cost of shaping and laying out a row afresh.
#include <QFont>
#include <QGlyphRun>
#include <QList>
#include <QPointF>
#include <QRawFont>
#include <QStringView>
#include <array>
#include <cstdint>

class QPainter;

class TGlyphText {
public:
    // The font rows are drawn in; what was looked up for another is forgotten.
    void SetFont(const QFont& font);
    // Draws text with the painter's pen, its baseline starting at (x, y).
    // False, and nothing drawn, when the row needs shaping: a character
    // beyond Latin-1 or without a glyph of the font's own, or a font that is
    // not fixed-pitch.
    bool Draw(QPainter& p, qreal x, qreal y, QStringView text);
    // The advance of text drawn so; false when Draw would not draw it.
    bool Width(QStringView text, qreal& width);

private:
    // Whether c has a glyph of its own, looking it up on first use.
    bool Ready(char16_t c);

    QFont FFont;
    bool FHasFont = false;
    bool FUsable = false;
    QRawFont FRaw;
    std::array<uint8_t, 256> FState{}; // 0: not looked up, 1: has a glyph, 2: has none
    std::array<quint32, 256> FGlyph{};
    std::array<qreal, 256> FAdvance{};
    QList<quint32> FIndexes;
    QList<QPointF> FPositions;
    QGlyphRun FRun;
};
