// SPDX-License-Identifier: GPL-3.0-or-later
#include "DesignTheme.h"

#include <QApplication>
#include <QCheckBox>
#include <QRadioButton>
#include <QEvent>
#include <QMenu>
#include <QStyle>
#include <QStyleFactory>
#include <QVariant>
#include <QWidget>
#include <algorithm>
#include <cmath>

#include "qcustomplot.h"

namespace DesignTheme {
namespace {

bool gDark = false;
const char* const kDesignedPalette = "zorpDesignedPalette";

// The windows of a watched window (dialogs, the chart) are given their
// palette when they are first polished. Only the watched window's own events
// pass the filter, not every event of the program.
class TPolishWatch : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::ChildPolished) {
            QObject* child = static_cast<QChildEvent*>(e)->child();
            if (child->isWidgetType() && static_cast<QWidget*>(child)->isWindow())
                Apply(static_cast<QWidget*>(child));
        }
        return false;
    }
};

bool isForeground(QPalette::ColorRole r)
{
    switch (r) {
    case QPalette::WindowText:
    case QPalette::Text:
    case QPalette::ButtonText:
    case QPalette::BrightText:
    case QPalette::HighlightedText:
    case QPalette::ToolTipText:
    case QPalette::PlaceholderText:
    case QPalette::Link:
    case QPalette::LinkVisited:
        return true;
    default:
        return false;
    }
}

// The background a foreground role is drawn on.
QPalette::ColorRole backgroundOf(QPalette::ColorRole r)
{
    switch (r) {
    case QPalette::Text:
    case QPalette::PlaceholderText:
    case QPalette::Link:
    case QPalette::LinkVisited: return QPalette::Base;
    case QPalette::ButtonText: return QPalette::Button;
    case QPalette::HighlightedText: return QPalette::Highlight;
    case QPalette::ToolTipText: return QPalette::ToolTipBase;
    default: return QPalette::Window;
    }
}

double luminance(const QColor& c)
{
    auto lin = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * lin(c.redF()) + 0.7152 * lin(c.greenF()) + 0.0722 * lin(c.blueF());
}

// The light palette: the one the windows were designed with (the style's
// standard colours, which a desktop theme cannot change).
QPalette lightPalette()
{
    static QStyle* fusion = [] {
        QStyle* s = QStyleFactory::create(QStringLiteral("Fusion"));
        if (s && qApp)
            s->setParent(qApp);
        return s;
    }();
    return fusion ? fusion->standardPalette() : QPalette(QColor(239, 239, 239));
}

QPalette darkPalette()
{
    QPalette p;
    auto set = [&p](QPalette::ColorRole r, const QColor& active, const QColor& disabled) {
        p.setColor(QPalette::Active, r, active);
        p.setColor(QPalette::Inactive, r, active);
        p.setColor(QPalette::Disabled, r, disabled);
    };
    const QColor text(232, 232, 232), dimText(140, 140, 140);
    set(QPalette::Window, QColor(45, 45, 48), QColor(45, 45, 48));
    set(QPalette::WindowText, text, dimText);
    set(QPalette::Base, QColor(30, 30, 32), QColor(40, 40, 42));
    set(QPalette::AlternateBase, QColor(40, 40, 44), QColor(40, 40, 44));
    set(QPalette::Text, text, dimText);
    set(QPalette::Button, QColor(60, 60, 64), QColor(52, 52, 55));
    set(QPalette::ButtonText, text, dimText);
    set(QPalette::BrightText, QColor(255, 120, 120), QColor(255, 120, 120));
    set(QPalette::Light, QColor(90, 90, 95), QColor(90, 90, 95));
    set(QPalette::Midlight, QColor(72, 72, 76), QColor(72, 72, 76));
    set(QPalette::Mid, QColor(35, 35, 37), QColor(35, 35, 37));
    set(QPalette::Dark, QColor(25, 25, 27), QColor(25, 25, 27));
    set(QPalette::Shadow, QColor(0, 0, 0), QColor(0, 0, 0));
    set(QPalette::Highlight, QColor(42, 92, 150), QColor(70, 70, 74));
    set(QPalette::HighlightedText, QColor(255, 255, 255), dimText);
    set(QPalette::ToolTipBase, QColor(60, 60, 64), QColor(60, 60, 64));
    set(QPalette::ToolTipText, text, text);
    set(QPalette::PlaceholderText, QColor(160, 160, 160), dimText);
    set(QPalette::Link, QColor(120, 170, 255), dimText);
    set(QPalette::LinkVisited, QColor(190, 150, 255), dimText);
    return p;
}

// A copy in which every role of every group is set, so that nothing of the
// application's palette shows through.
QPalette complete(const QPalette& from)
{
    QPalette p;
    for (int g = 0; g < int(QPalette::NColorGroups); ++g)
        for (int r = 0; r < int(QPalette::NColorRoles); ++r) {
            const auto group = QPalette::ColorGroup(g);
            const auto role = QPalette::ColorRole(r);
            p.setBrush(group, role, from.brush(group, role));
        }
    return p;
}

bool isSet(const QPalette& p, QPalette::ColorGroup g, QPalette::ColorRole r)
{
    return p.resolveMask() & (QPalette::ResolveMask(1) << (int(g) * int(QPalette::NColorRoles) + int(r)));
}

// The colours w set on itself before the theme first came: kept as the design's.
QPalette designedOf(QWidget* w)
{
    const QVariant v = w->property(kDesignedPalette);
    if (v.isValid())
        return v.value<QPalette>();
    QPalette own;
    if (w->testAttribute(Qt::WA_SetPalette)) {
        const QPalette cur = w->palette();
        for (int g = 0; g < int(QPalette::NColorGroups); ++g)
            for (int r = 0; r < int(QPalette::NColorRoles); ++r)
                if (isSet(cur, QPalette::ColorGroup(g), QPalette::ColorRole(r)))
                    own.setBrush(QPalette::ColorGroup(g), QPalette::ColorRole(r),
                                 cur.brush(QPalette::ColorGroup(g), QPalette::ColorRole(r)));
    }
    w->setProperty(kDesignedPalette, QVariant::fromValue(own));
    return own;
}

// base with the designed roles of own laid over it, in the current variant.
QPalette overlay(QPalette base, const QPalette& own, bool dark)
{
    // Backgrounds first, so that the texts are judged against them.
    for (int pass = 0; pass < 2; ++pass)
        for (int g = 0; g < int(QPalette::NColorGroups); ++g)
            for (int r = 0; r < int(QPalette::NColorRoles); ++r) {
                const auto group = QPalette::ColorGroup(g);
                const auto role = QPalette::ColorRole(r);
                if (isForeground(role) != (pass == 1) || !isSet(own, group, role))
                    continue;
                const QColor c = own.color(group, role);
                if (!dark)
                    base.setColor(group, role, c);
                else if (pass == 0)
                    base.setColor(group, role, PaintColor(c));
                else
                    base.setColor(group, role, TextColor(c, base.color(group, backgroundOf(role))));
            }
    return base;
}

void themePlot(QCustomPlot* plot, bool dark)
{
    // A plot never darkened keeps its own colours untouched.
    if (!dark && !plot->property("zorpThemed").toBool())
        return;
    plot->setProperty("zorpThemed", true);
    const QPalette pal = dark ? darkPalette() : lightPalette();
    const QColor bg = dark ? pal.color(QPalette::Base) : QColor(Qt::white);
    const QColor fg = dark ? pal.color(QPalette::Text) : QColor(Qt::black);
    const QColor grid = dark ? QColor(80, 80, 84) : QColor(200, 200, 200);
    plot->setBackground(QBrush(bg));
    for (QCPAxisRect* rect : plot->axisRects()) {
        rect->setBackground(Qt::NoBrush);
        for (QCPAxis* axis : rect->axes()) {
            // An axis in a series' colour keeps its hue, made readable.
            const QColor own = axis->property("zorpDesignedColor").value<QColor>();
            if (!own.isValid())
                axis->setProperty("zorpDesignedColor", axis->labelColor());
            const QColor designed = axis->property("zorpDesignedColor").value<QColor>();
            const QColor c = designed == QColor(Qt::black) ? fg : TextColor(designed, bg);
            QPen pen = axis->basePen();
            pen.setColor(c);
            axis->setBasePen(pen);
            pen = axis->tickPen();
            pen.setColor(c);
            axis->setTickPen(pen);
            pen = axis->subTickPen();
            pen.setColor(c);
            axis->setSubTickPen(pen);
            axis->setLabelColor(c);
            axis->setTickLabelColor(c);
            if (axis->grid()) {
                QPen g = axis->grid()->pen();
                g.setColor(grid);
                axis->grid()->setPen(g);
            }
        }
    }
    if (plot->legend) {
        plot->legend->setBrush(bg);
        plot->legend->setTextColor(fg);
    }
    plot->replot();
}

} // namespace

void Watch(QWidget* w)
{
    Apply(w);
    w->installEventFilter(new TPolishWatch(w));
}

bool Dark()
{
    return gDark;
}

void SetDark(bool on)
{
    if (gDark == on)
        return;
    gDark = on;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->property(kDesignedPalette).isValid() && !qobject_cast<QMenu*>(w))
            Apply(w);
}

QPalette WindowPalette(bool dark)
{
    return complete(dark ? darkPalette() : lightPalette());
}

void Apply(QWidget* w)
{
    if (!w)
        return;
    const bool dark = gDark;
    w->setPalette(overlay(WindowPalette(dark), designedOf(w), dark));
    for (QWidget* c : w->findChildren<QWidget*>()) {
        // The window's menus (the menu bar's) are windows of its colours too.
        if (auto* menu = qobject_cast<QMenu*>(c)) {
            menu->setPalette(WindowPalette(dark));
            menu->setProperty(kDesignedPalette, QVariant::fromValue(QPalette()));
            continue;
        }
        if (c->isWindow())
            continue;
        const QPalette own = designedOf(c);
        // Check boxes and radio buttons draw their boxes in Base, framed in
        // a darker Window: on a dark window a lighter box keeps them visible.
        if (qobject_cast<QCheckBox*>(c) || qobject_cast<QRadioButton*>(c)) {
            QPalette p = own;
            if (dark)
                p.setColor(QPalette::Base, QColor(92, 92, 98));
            c->setPalette(p);
            continue;
        }
        if (own.resolveMask() == 0)
            continue;
        // Roles the control did not set stay inherited from the window.
        QPalette p = own;
        if (dark) {
            const QPalette inherited = c->parentWidget() ? c->parentWidget()->palette() : w->palette();
            const QPalette full = overlay(inherited, own, true);
            p = QPalette();
            for (int g = 0; g < int(QPalette::NColorGroups); ++g)
                for (int r = 0; r < int(QPalette::NColorRoles); ++r)
                    if (isSet(own, QPalette::ColorGroup(g), QPalette::ColorRole(r)))
                        p.setBrush(QPalette::ColorGroup(g), QPalette::ColorRole(r),
                                   full.brush(QPalette::ColorGroup(g), QPalette::ColorRole(r)));
        }
        c->setPalette(p);
    }
    for (QCustomPlot* plot : w->findChildren<QCustomPlot*>())
        themePlot(plot, dark);
    w->update();
}

QColor PaintColor(const QColor& designed)
{
    if (!gDark)
        return designed;
    // Light backgrounds become dark ones of the same hue, a little apart
    // from each other as their lightness was.
    float h = 0, s = 0, l = 0, a = 0;
    designed.getHslF(&h, &s, &l, &a);
    const float dark = 0.10f + (1.0f - l) * 0.9f;
    return QColor::fromHslF(h, std::min(s, 0.35f), std::clamp(dark, 0.0f, 1.0f), a);
}

QColor TextColor(const QColor& designed, const QColor& bg)
{
    if (!gDark)
        return designed;
    QColor c = designed;
    // Towards white until the text reads on bg.
    for (int i = 0; i < 20 && Contrast(c, bg) < 4.6; ++i)
        c = QColor::fromRgbF(c.redF() + (1 - c.redF()) * 0.2f, c.greenF() + (1 - c.greenF()) * 0.2f,
                             c.blueF() + (1 - c.blueF()) * 0.2f, c.alphaF());
    return c;
}

double Contrast(const QColor& a, const QColor& b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

} // namespace DesignTheme
