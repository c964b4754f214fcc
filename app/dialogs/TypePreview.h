// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What one row's registers read as in every data type: the data editor shows
// it beside each type's name, so that the byte order that gives a sensible
// value can be seen before it is chosen (the same two registers that read
// 861 as "UInt32 (LongWord) AABB CCDD" read as a huge number as "Single
// (Float) AABB CCDD").
#include <QStringList>
#include <QStyledItemDelegate>

namespace TypePreview {

// Item data role of a list entry's preview text.
constexpr int PreviewRole = Qt::UserRole + 1;

// One text per type of the table, in its order: the value of the registers
// given as Data [HEX] texts (the row's first; texts that are not four
// hexadecimal digits end the registers) in that type, as the grid's Value
// column would show it; a type that spans more registers than there are
// says how many it needs.
QStringList Previews(const QStringList& HexTexts);

} // namespace TypePreview

// Draws an item's PreviewRole text right-aligned beside its name.
class TTypePreviewDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
