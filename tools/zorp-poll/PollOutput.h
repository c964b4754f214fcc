// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What zorp-poll prints on stdout for each poll, in one of three formats:
//   text  reads: "ADDRESS<TAB>HHHH<TAB>DECIMAL" per register without --type,
//         "ADDRESS<TAB>VALUE" with --type, "ADDRESS<TAB>TYPE<TAB>VALUE<TAB>
//         DESCRIPTION" with --profile, "ADDRESS<TAB>0|1" per bit; writes and
//         errors print nothing here (errors go to stderr)
//   csv   a header, then one line per value or per failed poll:
//         time,unit,address,type,value,description,error,meaning
//   json  one object per poll on a line of its own:
//         {"time":...,"unit":1,"function":3,"values":[{"address":1,
//          "type":"...","value":...},...]} or {...,"error":4,"meaning":"..."}
// Scan hits print "UNIT<TAB>ANSWER" (with the baud rate and parity on a serial
// link), a csv line time,unit,baud,parity,answer,error,meaning or a json object.
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "PollOptions.h"
#include "TextFields.h"

class TPollOutput {
public:
    explicit TPollOutput(const Options& o);

    // The registers of one answer (2 bytes each), or its bits.
    void Registers(const std::vector<uint8_t>& data);
    void Bits(const std::vector<bool>& bits);
    // A write the slave acknowledged.
    void Written();
    // A failed poll: an engine error code (or -1) and what it means.
    void Failed(int code, const std::string& meaning);
    // A scan hit: code 0 for data, otherwise the exception's error code.
    void ScanHit(long unit, long baud, TParity parity, int code, const std::string& meaning);
    // When set (--workspace), every line names its poll: text lines start
    // with NAME<TAB>, csv lines with a column "poll", json objects with a
    // key "poll".
    std::string PollName;

private:
    // Writes lines to stdout, each named by PollName when set.
    void Put(const std::string& lines);
    struct Value {
        long Address;
        const TDataTypeInfo* Type;
        QString Text;
        const QString* Description;
    };
    void Emit(const std::vector<Value>& values);
    void Header(const char* line);
    std::string Time() const;

    const Options& FOpt;
    std::string FOut;
    bool FHeaderDone = false;
};

