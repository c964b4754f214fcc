// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared pieces of the engine harnesses: one QCoreApplication for the whole
// run, a clock the input drives, and a reader that splits the input into a
// header and a stream of chunks.
#include <QCoreApplication>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "VexaModbus.h"

namespace zorpfuzz {

// Created once: the engine's timer and port object need an application.
inline void EnsureApplication()
{
    static int argc = 1;
    static char name[] = "zorp-fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = nullptr;
    if (!app) {
        qputenv("QT_LOGGING_RULES", "*=false");
        app = new QCoreApplication(argc, argv);
    }
}

// The engine's tick count, moved forward only by the input.
inline uint32_t& Clock()
{
    static uint32_t now = 0;
    return now;
}
inline void InstallClock()
{
    zorp::SetTickCountSource([] { return Clock(); });
}

// Reads the input front to back; past its end every read gives 0.
struct Reader {
    const uint8_t* p;
    size_t n;
    size_t i = 0;
    bool More() const { return i < n; }
    uint8_t Byte() { return i < n ? p[i++] : 0; }
    uint16_t Word()
    {
        const uint16_t h = Byte();
        return static_cast<uint16_t>((h << 8) | Byte());
    }
    // Up to max bytes (fewer at the end of the input).
    std::vector<uint8_t> Take(size_t max)
    {
        const size_t k = n - i < max ? n - i : max;
        std::vector<uint8_t> out(p + i, p + i + k);
        i += k;
        return out;
    }
};

// The libFuzzer initialisation of the engine harnesses: the application
// and the input's clock, once.
#define ZORP_FUZZ_ENGINE_INITIALIZE()                               \
    extern "C" int LLVMFuzzerInitialize(int*, char***)              \
    {                                                               \
        ::zorpfuzz::EnsureApplication();                            \
        ::zorpfuzz::InstallClock();                                 \
        return 0;                                                   \
    }

// A broken invariant: print it and abort so that libFuzzer keeps the input.
[[noreturn]] inline void Fail(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}
#define ZORP_FUZZ_CHECK(cond) \
    do { if (!(cond)) ::zorpfuzz::Fail(#cond); } while (0)

} // namespace zorpfuzz
