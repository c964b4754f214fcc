// SPDX-License-Identifier: GPL-3.0-or-later
#include "SimGenerators.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "ValueAliases.h"
#include "ValueEncoding.h"

namespace zorp::sim {

namespace {

bool ToDouble(const QString& text, double& v)
{
    bool ok = false;
    v = text.trimmed().toDouble(&ok);
    return ok && std::isfinite(v);
}

uint64_t SplitMix64(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The largest and smallest value a numeric type holds.
void TypeBounds(const TDataTypeInfo& t, double& lo, double& hi)
{
    const int bits = 8 * t.ByteCount;
    switch (t.Format) {
    case TTypeFormat::Signed:
        lo = -std::ldexp(1.0, bits - 1);
        hi = std::ldexp(1.0, bits - 1) - 1;
        return;
    case TTypeFormat::Float32:
        lo = -double(std::numeric_limits<float>::max());
        hi = double(std::numeric_limits<float>::max());
        return;
    case TTypeFormat::Float64:
        lo = -std::numeric_limits<double>::max();
        hi = std::numeric_limits<double>::max();
        return;
    case TTypeFormat::Unsigned:
        lo = 0;
        hi = std::ldexp(1.0, bits) - 1;
        return;
    default:
        lo = 0;
        hi = 65535;
        return;
    }
}

} // namespace

bool ParseGenerator(const QString& text, Generator& g, QString& error)
{
    g = Generator{};
    g.text = text;
    const int eq = text.indexOf(QLatin1Char('='));
    if (eq <= 0) {
        error = QStringLiteral("expected ADDRESS=KIND[,...] in '%1'").arg(text);
        return false;
    }
    QString where = text.left(eq).trimmed();
    const int colon = where.indexOf(QLatin1Char(':'));
    if (colon >= 0) {
        if (!TableFromName(QStringView(where).left(colon), g.table)) {
            error = QStringLiteral("unknown table '%1' (holding, inputs, coils, discrete)").arg(where.left(colon));
            return false;
        }
        where = where.mid(colon + 1);
    }
    bool ok = false;
    const uint address = where.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? where.mid(2).toUInt(&ok, 16)
                                                                                     : where.toUInt(&ok, 10);
    if (!ok || address > 65535) {
        error = QStringLiteral("address '%1' is not a number from 0 to 65535").arg(where);
        return false;
    }
    g.address = uint16_t(address);
    const QStringList parts = text.mid(eq + 1).split(QLatin1Char(','));
    static const struct { const char* n; GeneratorKind k; } kinds[] = {
        {"counter", GeneratorKind::Counter}, {"sawtooth", GeneratorKind::Sawtooth}, {"ramp", GeneratorKind::Ramp},
        {"sine", GeneratorKind::Sine},       {"square", GeneratorKind::Square},     {"random", GeneratorKind::Random},
    };
    const QString kind = parts.value(0).trimmed().toLower();
    bool known = false;
    for (const auto& k : kinds)
        if (kind == QLatin1String(k.n)) {
            g.kind = k.k;
            known = true;
        }
    if (!known) {
        error = QStringLiteral("unknown generator '%1' (counter, sawtooth, ramp, sine, square, random)").arg(kind);
        return false;
    }
    if (g.kind == GeneratorKind::Counter)
        g.period = 1;
    const bool bits = IsBitTable(g.table);
    g.max = bits ? 1 : 100;
    if (g.kind == GeneratorKind::Counter && !bits)
        g.max = 65535;
    double amplitude = std::nan(""), offset = std::nan("");
    for (int i = 1; i < parts.size(); ++i) {
        const QString part = parts[i].trimmed();
        const int e = part.indexOf(QLatin1Char('='));
        const QString key = part.left(e).trimmed().toLower();
        const QString value = e < 0 ? QString() : part.mid(e + 1).trimmed();
        double v = 0;
        if (key == QLatin1String("type")) {
            g.type = ValueDecoding::FindDataTypeOrAlias(value);
            if (!g.type || g.type->ByteCount == 0 || g.type->Format == TTypeFormat::Bit) {
                error = QStringLiteral("'%1' is not a numeric data type").arg(value);
                return false;
            }
            continue;
        }
        if (key == QLatin1String("seed") || key == QLatin1String("unit")) {
            const qulonglong n = value.toULongLong(&ok);
            if (!ok || (key == QLatin1String("unit") && n > 255)) {
                error = QStringLiteral("%1 must be a whole number, not '%2'").arg(key, value);
                return false;
            }
            if (key == QLatin1String("seed"))
                g.seed = n;
            else
                g.unit = int(n);
            continue;
        }
        if (!ToDouble(value, v)) {
            error = QStringLiteral("'%1' in '%2' needs a number").arg(key, part);
            return false;
        }
        if (key == QLatin1String("period")) {
            if (v <= 0) {
                error = QStringLiteral("the period must be above 0 seconds");
                return false;
            }
            g.period = v;
        } else if (key == QLatin1String("min")) {
            g.min = v;
        } else if (key == QLatin1String("max")) {
            g.max = v;
        } else if (key == QLatin1String("amplitude")) {
            amplitude = v;
        } else if (key == QLatin1String("offset")) {
            offset = v;
        } else {
            error = QStringLiteral("unknown generator setting '%1'").arg(key);
            return false;
        }
    }
    if (!std::isnan(amplitude) || !std::isnan(offset)) {
        const double a = std::isnan(amplitude) ? (g.max - g.min) / 2 : amplitude;
        const double o = std::isnan(offset) ? (g.max + g.min) / 2 : offset;
        g.min = o - a;
        g.max = o + a;
    }
    if (g.max < g.min) {
        error = QStringLiteral("min is above max in '%1'").arg(text);
        return false;
    }
    const int rows = g.type && !bits ? g.type->Rows : 1;
    if (g.address + rows > 65536) {
        error = QStringLiteral("the value at %1 runs past address 65535").arg(g.address);
        return false;
    }
    return true;
}

double GeneratorValue(const Generator& g, double t)
{
    const double cycles = t / g.period;
    const double phase = cycles - std::floor(cycles);
    const double span = g.max - g.min;
    switch (g.kind) {
    case GeneratorKind::Counter: {
        const double steps = std::floor(g.max) - std::ceil(g.min) + 1;
        if (steps < 1)
            return g.min;
        return std::ceil(g.min) + std::fmod(std::floor(cycles), steps);
    }
    case GeneratorKind::Sawtooth:
        return g.min + span * phase;
    case GeneratorKind::Ramp:
        return phase < 0.5 ? g.min + span * 2 * phase : g.max - span * (2 * phase - 1);
    case GeneratorKind::Sine:
        return (g.min + g.max) / 2 + span / 2 * std::sin(2 * std::numbers::pi * cycles);
    case GeneratorKind::Square:
        return phase < 0.5 ? g.max : g.min;
    case GeneratorKind::Random: {
        const uint64_t r = SplitMix64(g.seed ^ SplitMix64(uint64_t(int64_t(std::floor(cycles)))));
        return g.min + span * (double(r >> 11) * 0x1.0p-53);
    }
    }
    return g.min;
}

void ApplyGenerator(const Generator& g, double t, UnitImage& image)
{
    double v = GeneratorValue(g, t);
    if (IsBitTable(g.table)) {
        image.SetWord(g.table, g.address, v >= (g.min + g.max) / 2 && v > g.min ? 1 : 0);
        return;
    }
    const TDataTypeInfo& type = g.type ? *g.type : *ValueDecoding::FindDataTypeOrAlias(u"u16");
    double lo = 0, hi = 0;
    TypeBounds(type, lo, hi);
    v = std::clamp(v, lo, hi);
    QString text;
    if (type.Format == TTypeFormat::Float32 || type.Format == TTypeFormat::Float64)
        text = QString::number(v, 'g', type.Format == TTypeFormat::Float32 ? 9 : 17);
    else
        text = QString::number(static_cast<long long>(std::llround(std::min(v, 9.2e18))));
    if (type.Format == TTypeFormat::Unsigned && type.ByteCount == 8 && v >= 9.2e18)
        text = QString::number(static_cast<unsigned long long>(v));
    const ValueEncoding::TEncoded e = ValueEncoding::EncodeValue(type, text);
    if (!e.Ok())
        return;
    for (size_t k = 0; k < e.Words.size() && g.address + k < slave::kImageSize; ++k)
        image.SetWord(g.table, uint16_t(g.address + k), e.Words[k]);
}

} // namespace zorp::sim
