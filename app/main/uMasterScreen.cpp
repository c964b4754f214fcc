// SPDX-License-Identifier: GPL-3.0-or-later
// Main window on a screen smaller than the window at its smallest (a small
// laptop screen, a large scale factor): the client area keeps its designed
// layout and scrolls inside the window, which is made to fit the screen so
// that its menu bar and frame are reachable. On every other screen nothing
// here changes the window.
#include "uMaster.h"

#include <QEvent>
#include <QGuiApplication>
#include <QMenuBar>
#include <QScreen>
#include <QScrollArea>
#include <algorithm>
#include <functional>

namespace {
// What the window manager adds around the window; not known before the
// window is shown, so a typical frame is allowed for.
const QSize kFrameAllowance(16, 40);

// Lays the controls out again whenever the client area inside the scroll
// area changes its size.
class TClientResizeWatch : public QObject {
public:
    TClientResizeWatch(QWidget* client, std::function<void()> relayout)
        : QObject(client), FRelayout(std::move(relayout))
    {
        client->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Resize)
            FRelayout();
        return false;
    }

private:
    std::function<void()> FRelayout;
};
} // namespace

void TfrmModbusMaster::FitToScreen()
{
    const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!s)
        return;
    const QRect avail = s->availableGeometry();
    const QSize room = avail.size() - kFrameAllowance;
    if (!ClientScroll) {
        const QSize smallest = minimumSize();
        if (smallest.width() <= room.width() && smallest.height() <= room.height())
            return;
        ClientScroll = new QScrollArea(this);
        ClientScroll->setObjectName(QStringLiteral("ClientScroll"));
        ClientScroll->setFrameShape(QFrame::NoFrame);
        ClientScroll->setWidgetResizable(true);
        ClientScroll->setBackgroundRole(QPalette::Window);
        Client->setMinimumSize(MinimumClientSize());
        ClientScroll->setWidget(Client);
        new TClientResizeWatch(Client, [this] { LayoutControls(); });
        ClientScroll->setGeometry(0, MenuHeight(), width(), std::max(0, height() - MenuHeight()));
        ClientScroll->show();
        setMinimumSize(std::min(320, room.width()), std::min(MenuHeight() + 120, room.height()));
    }
    // The window and its frame on the screen, centred where it is smaller.
    const QSize size(std::min(width(), room.width()), std::min(height(), room.height()));
    resize(size);
    QPoint at = pos();
    if (!geometry().isValid() || !avail.contains(QRect(at, size + kFrameAllowance)))
        at = QPoint(avail.x() + (room.width() - size.width()) / 2, avail.y() + (room.height() - size.height()) / 2);
    move(at);
}
