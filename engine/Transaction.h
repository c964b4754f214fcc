// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One master transaction: what was asked for, the request frame that went
// out, the answer it expects, the retries it has had, the clock of its
// time-out and how it ended. The engine holds one; an operation arms it
// afresh (replacing a pending one), the state machine's passes ask it.
//
// The state machine keeps the state itself (request or wait state of each
// function): the rules here take the wait state where the answer expected
// depends on it.
#include <cstdint>
#include <span>
#include <vector>

#include "ModbusTypes.h"

namespace zorp {
namespace framing { class Pdu; }

class Transaction {
public:
    enum class Outcome { Pending, Answered, Failed };

    // ---- what was asked for (set by the operations) -----------------------
    uint16_t address = 0;     // 1-based; the wire carries address - 1
    uint16_t count = 0;       // quantity, value, or byte count of a coil write
    uint16_t fileNumber = 1;  // function 20
    uint8_t coils = 0;        // coil quantity (15) or coils asked for (01)
    std::vector<uint16_t> values; // registers of function 16
    std::vector<uint8_t> bytes;   // packed coils of function 15

    // Back to the state after Connect or Listen: nothing asked for.
    void Reset();
    // A new transaction with these parameters (the values, bytes, coil
    // quantity or file number are set by the caller): no tries yet, no
    // outcome, no exception remembered.
    void Arm(uint16_t address, uint16_t count);

    // ---- sending ------------------------------------------------------------
    // The request pass is about to send request state `request` to `unit`.
    // Unit 0 is the broadcast address: a write sent to it is never answered,
    // and a read never can be (Unanswerable).
    void Sending(TMachineStates request, uint8_t unit);
    bool Broadcast() const { return broadcast_; }
    bool Unanswerable(uint8_t unit) const { return unit == 0 && !broadcast_; }
    // The frame handed to the port (kept for the echo of a two-wire line).
    void Sent(const uint8_t* frame, size_t length) { frame_.assign(frame, frame + length); }
    std::span<const uint8_t> Frame() const { return frame_; }

    // ---- the answer expected -------------------------------------------------
    // The word an acknowledgement echoes after the address.
    uint16_t EchoWord(TMachineStates wait) const;
    // Whether a delimited answer can be this transaction's (function, byte
    // count, echoed address and word); an exception to the function can.
    bool Fits(const framing::Pdu& pdu, TMachineStates wait) const;

    // ---- time ------------------------------------------------------------------
    // The time-out counts from this tick (32-bit, wrapping).
    void Restart(uint32_t tick) { since_ = tick; }
    uint32_t Since() const { return since_; }
    uint32_t Elapsed(uint32_t now) const { return now - since_; } // wraps correctly
    // The wait ends after the time-out; a broadcast after the turnaround delay.
    uint32_t Limit(uint32_t timeout, uint32_t broadcastDelay) const { return broadcast_ ? broadcastDelay : timeout; }

    // ---- retries and outcome --------------------------------------------------
    // After a time-out: true (and one try more counted) while retries are left.
    bool Retry(uint16_t maxRepeat);
    uint16_t Tries() const { return tries_; }
    // An exception code that is retried (busy, acknowledge) is what the
    // transaction ends in should no retry be left; otherwise error 4.
    void NoteRetried(int32_t code) { if (code) retriedError_ = code; }
    int32_t TimeoutError() const { return retriedError_ ? retriedError_ : 4; }
    // How it ended: recorded by the pass that raised its event (the read or
    // write event, or OnError); Arm starts the next one pending.
    void Settle(Outcome o) { outcome_ = o; }
    Outcome GetOutcome() const { return outcome_; }

private:
    std::vector<uint8_t> frame_;
    uint32_t since_ = 0;
    uint16_t tries_ = 0;
    int32_t retriedError_ = 0;
    bool broadcast_ = false;
    Outcome outcome_ = Outcome::Pending;
};

} // namespace zorp
