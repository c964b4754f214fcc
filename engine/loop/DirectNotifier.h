// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <QEvent>
#include <QSocketNotifier>

namespace zorp {

// A socket notifier that the lean dispatcher activates with a plain call of
// Activated, without the trip through QCoreApplication::notify that the
// SockAct event takes (event filters, callbacks, scope counting): on a
// connection with one frame each way per transaction that trip costs a
// good part of a turn. Objects such a call deletes later are deleted by the
// dispatcher's next turn that sends posted events. Every other dispatcher
// delivers the SockAct event as usual, which calls Activated too.
class DirectNotifier : public QSocketNotifier {
public:
    using QSocketNotifier::QSocketNotifier;
    virtual void Activated() = 0;

protected:
    bool event(QEvent* e) override
    {
        if (e->type() != QEvent::SockAct && e->type() != QEvent::SockClose)
            return QSocketNotifier::event(e);
        Activated();
        return true;
    }
};

} // namespace zorp
