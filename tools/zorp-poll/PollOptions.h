// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// zorp-poll's options after parsing, and the layout of the values it prints.
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "ModbusTypes.h"
#include "PollExtras.h"
#include "ValueDecoding.h"

// One value of a poll's answer: the registers (or bits) from Offset on,
// decoded as Type; Decodable is false for a value that would run past the
// last register read (the tester leaves such a row's Value as it was).
struct TPollRow {
    int Offset = 0;
    const TDataTypeInfo* Type = nullptr;
    QString Description;
    bool Decodable = true;
};

enum class TOutputFormat { Text, Csv, Json };

struct Options {
    enum Link { None, Tcp, RtuTcp, Serial } link = None;
    std::string host;
    uint16_t port = 0;
    std::string device;
    long baud = 9600;
    TParity parity = pNone;
    long dataBits = 8;
    long stopBits = 1;
    long unit = 1;
    long function = 0;
    long address = -1;
    long count = -1;
    long repeat = 1;      // 0: until interrupted
    long interval = 0;    // ms from the start of one poll to the start of the next
    long timeout = 3000;
    long retries = 3;
    bool quiet = false;
    // The summary on stderr: with --verbose, or when stdout is a terminal.
    bool verbose = false;
    bool removeEcho = false;
    TOutputFormat format = TOutputFormat::Text;

    // --type, or nullptr for the raw "HHHH<TAB>DECIMAL" lines.
    const TDataTypeInfo* type = nullptr;
    // --profile: the rows to print, with descriptions.
    bool profile = false;
    // The values printed for a read (empty: every register raw, or every bit).
    std::vector<TPollRow> rows;

    // --write: the words (functions 6, 16) or bits (5, 15) to send, and the
    // texts they were given as.
    bool write = false;
    std::vector<uint16_t> words;
    std::vector<bool> bits;
    std::vector<QString> writeTexts;

    // --scan FIRST-LAST, with the line settings to try on a serial link.
    bool scan = false;
    long scanFirst = 0, scanLast = 0;
    std::vector<long> scanBauds;
    std::vector<TParity> scanParities;

    // --dump FILE with its --range texts (Dump.h).
    std::string dumpFile;
    std::vector<std::string> dumpRanges;
    // --address in its notation, --base, --map, --scan-addresses.
    TPollExtras extras;
};

// The link as said in messages: "127.0.0.1:502", "RTU over TCP
// 10.0.0.5:4001", "/dev/ttyUSB0".
std::string LinkText(const Options& o);

// Reads "N", "E", "O", "M", "S" (either case); false for anything else.
bool ParityFromText(const std::string& text, TParity& out);
char ParityLetter(TParity p);
