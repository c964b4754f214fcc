// SPDX-License-Identifier: GPL-3.0-or-later
// The listening side's request hook (SlaveHook.h): a request the hook takes
// is answered with the hook's frame, now or after its delay, and the engine
// neither writes its images nor raises a write event for it.
#include "VexaModbus.h"

#include <QPointer>
#include <QTimer>

#include "CommPort.h"
#include "ListeningClients.h"

bool TVexaModbus::AnswersUnit(uint8_t unit)
{
    // The own DeviceID whatever the filter says: the hook is asked only once
    // the line was quiet, and when it leaves the request to the engine (the
    // filter names only the units the hook itself answers) the engine
    // answers, which must not come before the quiet.
    if (unit == FDeviceID)
        return true;
    if (!FSlaveHook || !FSlaveHookServes)
        return false;
    try {
        return FSlaveHookServes(unit);
    } catch (...) {
        AddLog(QStringLiteral("Exception: SlaveHook"));
        return false;
    }
}

bool TVexaModbus::ServeHooked(std::span<const uint8_t> request, zorp::slave::Framing framing)
{
    using namespace zorp::slave;
    if (!FSlaveHook)
        return false;
    HookRequest in;
    in.framing = framing;
    in.request = request;
    in.transactionId = FLastTransaction_ID;
    in.serialLine = FInterfaceType != mbiEthernet;
    const int serving = FClients ? FClients->Serving() : -1;
    in.client = serving;
    HookAnswer out;
    try {
        out = FSlaveHook(in);
    } catch (...) {
        AddLog(QStringLiteral("Exception: SlaveHook"));
        return true; // a failing hook answers nothing
    }
    switch (out.action) {
    case HookAnswer::Action::Engine:
        return false;
    case HookAnswer::Action::Drop:
        return true;
    case HookAnswer::Action::Send:
        break;
    }
    if (out.frame.empty() || out.frame.size() > zorp::slave::kAnswerBufferSize)
        return true;
    if (out.delayMs == 0) {
        SendFrame(out.frame.data(), static_cast<uint16_t>(out.frame.size()));
        return true;
    }
    // Late: the answer goes to the master that asked, if it is still there
    // and the engine still listens.
    const int client = serving;
    QTimer::singleShot(int(out.delayMs), this, [self = QPointer<TVexaModbus>(this), client, frame = std::move(out.frame)] {
        if (!self || self->FMode != mbmSlave || !self->FComPort)
            return;
        if (client >= 0) {
            if (self->FClients && self->FClients->Serving() >= 0)
                return; // never while another master's request is being answered
            self->FComPort->SelectClient(client);
        }
        self->SendFrame(frame.data(), static_cast<uint16_t>(frame.size()));
        if (client >= 0)
            self->FComPort->SelectClient(-1);
    });
    return true;
}
