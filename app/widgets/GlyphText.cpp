// SPDX-License-Identifier: GPL-3.0-or-later
#include "GlyphText.h"

#include <QFontInfo>
#include <QPainter>

void TGlyphText::SetFont(const QFont& font)
{
    if (FHasFont && font == FFont)
        return;
    FFont = font;
    FHasFont = true;
    FState.fill(0);
    FRaw = QRawFont::fromFont(font);
    FUsable = FRaw.isValid() && QFontInfo(font).fixedPitch();
}

bool TGlyphText::Ready(char16_t c)
{
    if (c >= 256)
        return false;
    if (FState[c] == 0) {
        FState[c] = 2;
        const QChar ch(c);
        quint32 glyph = 0;
        int n = 1;
        // Index 0 is the font's "missing glyph": drawText would take the
        // character from another font.
        if (FRaw.glyphIndexesForChars(&ch, 1, &glyph, &n) && n == 1 && glyph != 0 && FRaw.supportsCharacter(ch)) {
            QPointF advance;
            if (FRaw.advancesForGlyphIndexes(&glyph, &advance, 1)) {
                FGlyph[c] = glyph;
                FAdvance[c] = advance.x();
                FState[c] = 1;
            }
        }
    }
    return FState[c] == 1;
}

bool TGlyphText::Draw(QPainter& p, qreal x, qreal y, QStringView text)
{
    if (!FUsable)
        return false;
    for (QChar ch : text)
        if (!Ready(ch.unicode()))
            return false;
    if (text.isEmpty())
        return true;
    FIndexes.resize(text.size());
    FPositions.resize(text.size());
    qreal at = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        FIndexes[i] = FGlyph[c];
        FPositions[i] = QPointF(at, 0);
        at += FAdvance[c];
    }
    FRun.setRawFont(FRaw);
    FRun.setGlyphIndexes(FIndexes);
    FRun.setPositions(FPositions);
    p.drawGlyphRun(QPointF(x, y), FRun);
    return true;
}

bool TGlyphText::Width(QStringView text, qreal& width)
{
    if (!FUsable)
        return false;
    qreal at = 0;
    for (QChar ch : text) {
        if (!Ready(ch.unicode()))
            return false;
        at += FAdvance[ch.unicode()];
    }
    width = at;
    return true;
}
