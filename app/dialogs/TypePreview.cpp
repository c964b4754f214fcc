// SPDX-License-Identifier: GPL-3.0-or-later
#include "TypePreview.h"

#include <QPainter>
#include <vector>

#include "ValueDecoding.h"

namespace {
constexpr int kGap = 16; // between a name and its preview
} // namespace

QStringList TypePreview::Previews(const QStringList& HexTexts)
{
    std::vector<uint16_t> words;
    for (const QString& t : HexTexts) {
        uint8_t h = 0, l = 0;
        if (!ValueDecoding::ParseHexRegister(t, h, l)) break;
        words.push_back(uint16_t(h << 8 | l));
    }
    QStringList out;
    for (int i = 0; i < ValueDecoding::DataTypeCount(); ++i) {
        const TDataTypeInfo& type = ValueDecoding::DataTypeAt(i);
        if (type.Format == TTypeFormat::Bit)
            out.append(QStringLiteral("(coils and inputs)"));
        else if (words.empty())
            out.append(QStringLiteral("(no register read)"));
        else if (size_t(type.Rows) > words.size())
            out.append(QStringLiteral("(needs %1 registers)").arg(type.Rows));
        else if (type.Format == TTypeFormat::RawAscii)
            out.append(ValueDecoding::AsciiDisplayText(ValueDecoding::DecodeWords(type, words.data())));
        else
            out.append(ValueDecoding::DecodeWords(type, words.data()));
    }
    return out;
}

void TTypePreviewDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyledItemDelegate::paint(painter, option, index);
    const QString preview = index.data(TypePreview::PreviewRole).toString();
    if (preview.isEmpty()) return;
    painter->save();
    const bool selected = option.state & QStyle::State_Selected;
    painter->setPen(selected ? option.palette.color(QPalette::HighlightedText) : QColor(0, 0, 160));
    painter->setFont(option.font);
    const QRect r = option.rect.adjusted(4, 0, -6, 0);
    painter->drawText(r, int(Qt::AlignRight | Qt::AlignVCenter), preview);
    painter->restore();
}

QSize TTypePreviewDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QSize s = QStyledItemDelegate::sizeHint(option, index);
    const QString preview = index.data(TypePreview::PreviewRole).toString();
    if (!preview.isEmpty()) s.rwidth() += kGap + option.fontMetrics.horizontalAdvance(preview) + 10;
    return s;
}
