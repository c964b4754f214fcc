// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The engine's liveness across its own events. An event handler may destroy
// the engine (delete it, or delete its owner). Every event is raised through
// Raise, which keeps a frame on the stack that the destructor marks dead;
// when the handler returns to a dead engine, Raise throws zorp::EngineGone,
// which unwinds the engine's own functions without touching the destroyed
// object: their guards look at their frames first, and the entry points
// (timer ticks, posted passes, port notifications, the public operations)
// catch it and return at once. The port object and the timers that may be
// on the stack at that moment are deleted later, from the event loop.
#include <exception>
#include <utility>

#include "VexaModbus.h"

namespace zorp {
// Not an error: the engine was destroyed by a handler of one of its events.
struct EngineGone {};

// Runs a call that the event loop made into the engine: nothing escapes it.
template <typename F> void CallFromLoop(F&& f) noexcept
{
    try {
        f();
    } catch (const EngineGone&) {
    } catch (...) {
        HandleUnhandledException(std::current_exception());
    }
}
} // namespace zorp

// A frame links itself into the engine while it is on the stack and unlinks
// itself when it leaves (or finds the engine gone).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
struct TVexaModbus::LifeFrame {
    explicit LifeFrame(TVexaModbus* e) : engine(e), outer(e->FLife) { e->FLife = this; }
    ~LifeFrame()
    {
        if (!dead) engine->FLife = outer;
    }
    LifeFrame(const LifeFrame&) = delete;
    LifeFrame& operator=(const LifeFrame&) = delete;

    TVexaModbus* engine;
    LifeFrame* outer;
    bool dead = false;
};
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

template <typename Ev, typename... A> void TVexaModbus::Raise(const Ev& ev, A&&... args)
{
    if (!ev) return;
    LifeFrame life(this);
    try {
        ev(std::forward<A>(args)...);
    } catch (...) {
        if (!life.dead) throw;
        // Destroyed, then failed: the failure goes where failures of handlers
        // go at the loop's edge, and the engine's frames unwind.
        zorp::HandleUnhandledException(std::current_exception());
        throw zorp::EngineGone{};
    }
    if (life.dead) throw zorp::EngineGone{};
}

template <typename Ev, typename... A> void TVexaModbus::RaiseSwallowed(const Ev& ev, A&&... args)
{
    try {
        Raise(ev, std::forward<A>(args)...);
    } catch (const zorp::EngineGone&) {
        throw;
    } catch (...) {
        // a failing log handler changes nothing of the transaction
    }
}
