// SPDX-License-Identifier: GPL-3.0-or-later
#include "Transaction.h"

#include "VexaStates.h"
#include "framing/Framer.h"

namespace zorp {

void Transaction::Reset()
{
    address = 0;
    count = 0;
    fileNumber = 1;
    coils = 0;
    tries_ = 0;
    broadcast_ = false;
}

void Transaction::Arm(uint16_t a, uint16_t n)
{
    address = a;
    count = n;
    tries_ = 0;
    retriedError_ = 0;
    outcome_ = Outcome::Pending;
}

void Transaction::Sending(TMachineStates request, uint8_t unit)
{
    broadcast_ = unit == 0 && states::IsAckWait(states::WaitOf(request));
}

uint16_t Transaction::EchoWord(TMachineStates wait) const
{
    return wait == msWaitForWriteMultiCoils ? uint16_t(coils) : count;
}

bool Transaction::Fits(const framing::Pdu& pdu, TMachineStates wait) const
{
    const uint8_t fc = states::FunctionOf(wait);
    if ((pdu.Function() & 0x7F) != fc) return false;
    if (pdu.IsException()) return true;
    switch (fc) {
    case 1:
    case 2: return pdu[1] == (count + 7u) / 8u;
    case 3:
    case 4: return pdu[1] == 2u * count;
    case 5:
    case 6:
    case 15:
    case 16:
    case 102: return pdu.Word(1) == uint16_t(address - 1u) && pdu.Word(3) == EchoWord(wait);
    default: return true;
    }
}

bool Transaction::Retry(uint16_t maxRepeat)
{
    if (tries_ >= maxRepeat) return false;
    ++tries_;
    return true;
}

} // namespace zorp
