// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a framer without line timing makes of a byte stream at once: the
// first thing it gives, as "frame <length>", "<fault> <length>" or
// "nothing" (it needs more bytes).
#include <string>
#include <vector>

#include "framing/Framer.h"

namespace zorptest {

inline std::string FirstFramed(zorp::framing::Kind kind, zorp::framing::Side side, const std::vector<uint8_t>& bytes,
                               size_t fed)
{
    using namespace zorp::framing;
    auto f = MakeFramer(kind, side);
    f->Feed(bytes.data(), std::min(fed, bytes.size()), kNoTime);
    const Output o = f->Next();
    if (o.what == Output::What::Nothing) return "nothing";
    if (o.what == Output::What::Frame) return "frame " + std::to_string(o.adu.frame.size());
    const char* names[] = {"none", "badcrc", "badlength", "noise", "badheader"};
    return std::string(names[size_t(o.fault)]) + " " + std::to_string(o.bytes.size());
}

} // namespace zorptest
