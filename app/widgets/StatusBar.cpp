// SPDX-License-Identifier: GPL-3.0-or-later
#include "StatusBar.h"

#include <QCursor>
#include <QHelpEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QToolTip>
#include <algorithm>
#include <QStyleOption>

TStatusBar::TStatusBar(QWidget* parent)
    : QWidget(parent)
{
    setAutoFillBackground(true);
}

int TStatusBar::AddPanel(int width, Qt::Alignment alignment)
{
    FPanels.push_back({width, alignment, QString(), QString()});
    update();
    return PanelCount() - 1;
}

int TStatusBar::PanelWidth(int i) const
{
    return (i >= 0 && i < PanelCount()) ? FPanels[static_cast<size_t>(i)].Width : 0;
}

Qt::Alignment TStatusBar::PanelAlignment(int i) const
{
    return (i >= 0 && i < PanelCount()) ? FPanels[static_cast<size_t>(i)].Alignment : Qt::AlignLeft;
}

QString TStatusBar::TextOf(const Panel& p) const
{
    return p.HasNumber ? p.Text + QString::number(p.Number) : p.Text;
}

QString TStatusBar::PanelText(int i) const
{
    return (i >= 0 && i < PanelCount()) ? TextOf(FPanels[static_cast<size_t>(i)]) : QString();
}

void TStatusBar::SetPanelText(int i, const QString& text)
{
    if (i < 0 || i >= PanelCount())
        return;
    auto& p = FPanels[static_cast<size_t>(i)];
    if (!p.HasNumber && p.Text == text)
        return;
    p.HasNumber = false;
    p.Text = text;
    RepaintPanel(i);
}

void TStatusBar::SetPanelNumber(int i, QLatin1StringView label, int32_t value)
{
    if (i < 0 || i >= PanelCount())
        return;
    auto& p = FPanels[static_cast<size_t>(i)];
    const bool sameLabel = p.HasNumber && p.Text == label;
    if (sameLabel && p.Number == value)
        return;
    if (!sameLabel) {
        p.Text = label;
        p.HasNumber = true;
    }
    p.Number = value;
    RepaintPanel(i);
}

void TStatusBar::SetPanelText(int i, QStringView text)
{
    if (i < 0 || i >= PanelCount())
        return;
    auto& p = FPanels[static_cast<size_t>(i)];
    if (!p.HasNumber && QStringView(p.Text) == text)
        return;
    p.HasNumber = false;
    if (p.Text.isDetached() && p.Text.capacity() >= text.size()) {
        p.Text.resize(text.size());
        std::copy(text.begin(), text.end(), p.Text.begin());
    } else {
        p.Text = text.toString();
    }
    RepaintPanel(i);
}

void TStatusBar::RepaintPanel(int i)
{
    // A counter changes thousands of times between two paints: one request
    // until the panel is painted is enough.
    const uint64_t bit = i < 64 ? uint64_t(1) << i : 0;
    if (FPendingPanels & bit)
        return;
    FPendingPanels |= bit;
    update(PanelRect(i));
}

QRect TStatusBar::PanelRect(int i) const
{
    int x = 0;
    for (int k = 0; k < i && k < PanelCount(); ++k)
        x += FPanels[static_cast<size_t>(k)].Width;
    int w = PanelWidth(i);
    if (i == PanelCount() - 1)
        w = qMax(w, width() - x);
    return QRect(x, 0, w, height());
}

QSize TStatusBar::sizeHint() const
{
    return QSize(400, 19);
}

void TStatusBar::paintEvent(QPaintEvent* e)
{
    for (int i = 0; i < PanelCount() && i < 64; ++i)
        if (e->rect().contains(PanelRect(i)))
            FPendingPanels &= ~(uint64_t(1) << i);
    QPainter p(this);
    const QColor dark = palette().color(QPalette::Mid);
    const QColor light = palette().color(QPalette::Light);
    for (int i = 0; i < PanelCount(); ++i) {
        // Panels outside the region to paint would be clipped away whole:
        // a ticking counter repaints its own panel only.
        if (!e->region().intersects(PanelRect(i)))
            continue;
        const QRect r = PanelRect(i).adjusted(0, 2, -2, 0);
        // A sunken frame per panel: one-pixel lines, filled rather than
        // stroked (the same pixels for a cost of a fraction).
        p.fillRect(r.left(), r.top(), r.width(), 1, dark);
        p.fillRect(r.left(), r.top(), 1, r.height(), dark);
        p.fillRect(r.left(), r.bottom(), r.width(), 1, light);
        p.fillRect(r.right(), r.top(), 1, r.height(), light);
        p.setPen(palette().color(QPalette::WindowText));
        const auto& panel = FPanels[static_cast<size_t>(i)];
        p.drawText(r.adjusted(3, 0, -3, 0), static_cast<int>(panel.Alignment | Qt::AlignVCenter) | Qt::TextSingleLine,
                   TextOf(panel));
    }
}

QString TStatusBar::PanelHint(int i) const
{
    return (i >= 0 && i < PanelCount()) ? FPanels[static_cast<size_t>(i)].Hint : QString();
}

void TStatusBar::SetPanelHint(int i, const QString& hint)
{
    if (i < 0 || i >= PanelCount())
        return;
    FPanels[static_cast<size_t>(i)].Hint = hint;
    // A tooltip already shown over this panel follows the new text.
    if (QToolTip::isVisible() && underMouse() && PanelAt(mapFromGlobal(QCursor::pos())) == i) {
        if (hint.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(QCursor::pos(), hint, this, PanelRect(i));
    }
}

int TStatusBar::PanelAt(const QPoint& pos) const
{
    for (int i = 0; i < PanelCount(); ++i)
        if (PanelRect(i).contains(pos))
            return i;
    return -1;
}

bool TStatusBar::event(QEvent* e)
{
    if (e->type() == QEvent::ToolTip) {
        auto* he = static_cast<QHelpEvent*>(e);
        const int i = PanelAt(he->pos());
        const QString hint = PanelHint(i);
        if (hint.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(he->globalPos(), hint, this, PanelRect(i));
        return true;
    }
    return QWidget::event(e);
}
