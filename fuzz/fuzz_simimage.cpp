// SPDX-License-Identifier: GPL-3.0-or-later
// The simulator's parsers on arbitrary input: an image file, and the same
// bytes as a generator and as a fault text; then requests served from what
// was loaded. Checked: a refused file says why; a loaded one saves to a file
// that loads back to the same images; every answer fits the answer buffer.
#include <QString>

#include "FuzzSupport.h"
#include "SimImageFile.h"

using namespace zorpfuzz;
using namespace zorp::sim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString text = QString::fromUtf8(bytes);
    Generator g;
    Fault f;
    QString why;
    if (ParseGenerator(text, g, why)) {
        UnitImage img;
        ApplyGenerator(g, double(size), img);
        ZORP_FUZZ_CHECK(g.min <= g.max);
    }
    if (!ParseFault(text, f, why))
        ZORP_FUZZ_CHECK(!why.isEmpty());

    SimServer sim;
    QString error;
    if (!LoadImage(bytes, sim, error)) {
        ZORP_FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    SimServer again;
    ZORP_FUZZ_CHECK(LoadImage(SaveImage(sim), again, error));
    for (uint8_t u : sim.Units()) {
        ZORP_FUZZ_CHECK(again.Unit(u) != nullptr);
        ZORP_FUZZ_CHECK(again.Unit(u)->holding == sim.Unit(u)->holding);
        ZORP_FUZZ_CHECK(again.Unit(u)->coils == sim.Unit(u)->coils);
    }
    // A read of every table from the first unit, through the faults loaded.
    for (uint8_t fc : {1, 2, 3, 4}) {
        const uint8_t req[] = {sim.Units().front(), fc, 0, 0, 0, 10};
        zorp::slave::HookRequest in;
        in.framing = zorp::slave::Framing::Tcp;
        in.request = req;
        const auto a = sim.Handle(in);
        ZORP_FUZZ_CHECK(a.frame.size() <= zorp::slave::kAnswerBufferSize);
    }
    return 0;
}
