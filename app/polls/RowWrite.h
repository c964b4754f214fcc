// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A write of one grid row's value, as the write dialog asks for it: the
// main window and the poll windows build their writes here and send them
// their own way.
#include <QString>

#include "ValueEncoding.h"
#include <cstdint>
#include <functional>
#include <vector>

class QWidget;
class TRegisterGrid;

// A write to send: function, address and what it carries.
struct TWriteRequest {
    int Func = 0;               // 5, 6, 15 or 16
    uint16_t Address = 0;       // 1-based
    std::vector<uint16_t> Words; // registers (6, 16)
    std::vector<bool> Bits;      // coils (5, 15)
    QString Description;
};

// What a grid shows: the last answer and what read it was.
struct TShownAnswer {
    int Func = 0;              // 1 to 4, 0: none yet
    uint16_t Address = 0;      // first address of the answer (1-based)
    const std::vector<uint8_t>* Data = nullptr; // registers (function 3, 4)
    const std::vector<bool>* Bits = nullptr;    // coils and inputs (1, 2)
};

// How a window writes an address (unset: the designed decimal number), and
// how a row's text becomes raw words (unset: the type's plain encoding; a
// row with engineering scaling takes its own).
struct TRowWriteHooks {
    std::function<QString(uint16_t Address, int Function)> AddressText;
    std::function<ValueEncoding::TEncoded(int Row, const TDataTypeInfo& Type, const QString& Text)> Encode;
};

// Whether the row can be written from the grid: a row the last 01 or 03
// answer filled.
bool CanWriteGridRow(const TRegisterGrid& Grid, const TShownAnswer& Shown, int ARow);

// Runs the write dialog for a grid row (several selected coil rows are
// written together) and builds the write. AlwaysUse16 is the option the
// dialog shows and may change. False when cancelled, or when the owner
// went while the dialog was open (then nothing else may be touched).
// Throws EAppError for a value the last answer cannot hold.
bool AskRowWrite(QWidget* Parent, TRegisterGrid& Grid, const TShownAnswer& Shown, int ARow, bool& AlwaysUse16,
                 TWriteRequest& Out, const TRowWriteHooks& Hooks = {});
