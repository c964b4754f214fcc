// SPDX-License-Identifier: GPL-3.0-or-later
#include "GroupBox.h"

#include <QPainter>

TGroupBox::TGroupBox(const QString& caption, QWidget* parent)
    : QGroupBox(caption, parent)
{
}

void TGroupBox::PaintFrame(QGroupBox* box)
{
    QPainter p(box);
    const QFontMetrics fm(box->font());
    const int top = fm.height() / 2;
    const QRect r = box->rect().adjusted(0, top, -1, -1);
    const QColor shadow = box->palette().color(QPalette::Mid);
    const QColor light = box->palette().color(QPalette::Light);
    // Etched frame: a dark line with a light one inside it.
    p.setPen(shadow);
    p.drawRect(r.adjusted(0, 0, -1, -1));
    p.setPen(light);
    p.drawRect(r.adjusted(1, 1, 0, 0));
    const QString title = box->title();
    if (title.isEmpty())
        return;
    const int tw = fm.horizontalAdvance(title);
    const QRect tr(8, 0, tw + 2, fm.height());
    p.fillRect(tr, box->palette().color(QPalette::Window));
    p.setPen(box->palette().color(box->isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    p.drawText(tr.adjusted(1, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, title);
}

void TGroupBox::paintEvent(QPaintEvent*)
{
    PaintFrame(this);
}
