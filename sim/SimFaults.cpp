// SPDX-License-Identifier: GPL-3.0-or-later
#include "SimFaults.h"

#include <QStringList>

#include "ModbusCRC.h"

namespace zorp::sim {

namespace {

bool ToUInt(QString text, uint64_t max, uint64_t& v)
{
    text = text.trimmed();
    bool ok = false;
    v = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? text.mid(2).toULongLong(&ok, 16)
                                                                   : text.toULongLong(&ok, 10);
    return ok && v <= max;
}

} // namespace

QString FaultKindName(FaultKind k)
{
    switch (k) {
    case FaultKind::NoAnswer: return QStringLiteral("noanswer");
    case FaultKind::Exception: return QStringLiteral("exception");
    case FaultKind::Delay: return QStringLiteral("delay");
    case FaultKind::WrongUnit: return QStringLiteral("wrongunit");
    case FaultKind::WrongTid: return QStringLiteral("wrongtid");
    case FaultKind::BadCrc: return QStringLiteral("badcrc");
    case FaultKind::Cut: return QStringLiteral("cut");
    case FaultKind::LyingCount: break;
    }
    return QStringLiteral("lyingcount");
}

bool ParseFault(const QString& text, Fault& f, QString& error)
{
    f = Fault{};
    f.text = text;
    const QStringList parts = text.split(QLatin1Char(','));
    const QString head = parts.value(0).trimmed().toLower();
    const int colon = head.indexOf(QLatin1Char(':'));
    const QString kind = colon < 0 ? head : head.left(colon);
    const QString arg = colon < 0 ? QString() : head.mid(colon + 1);
    static const FaultKind kinds[] = {FaultKind::NoAnswer, FaultKind::Exception, FaultKind::Delay,
                                      FaultKind::WrongUnit, FaultKind::WrongTid, FaultKind::BadCrc,
                                      FaultKind::Cut,      FaultKind::LyingCount};
    bool known = false;
    for (FaultKind k : kinds)
        if (kind == FaultKindName(k)) {
            f.kind = k;
            known = true;
        }
    if (!known) {
        error = QStringLiteral("unknown fault '%1' (noanswer, exception:CODE, delay:MS, wrongunit, wrongtid, "
                               "badcrc, cut, lyingcount)").arg(kind);
        return false;
    }
    uint64_t v = 0, w = 0;
    if (f.kind == FaultKind::Exception) {
        if (!ToUInt(arg, 255, v) || v == 0) {
            error = QStringLiteral("exception needs a code from 1 to 255, as in exception:6");
            return false;
        }
        f.code = uint8_t(v);
    } else if (f.kind == FaultKind::Delay) {
        const int dash = arg.indexOf(QLatin1Char('-'));
        const bool okRange = dash < 0 ? ToUInt(arg, 600000, v) && (w = v, true)
                                      : ToUInt(arg.left(dash), 600000, v) && ToUInt(arg.mid(dash + 1), 600000, w);
        if (!okRange || w < v) {
            error = QStringLiteral("delay needs milliseconds, as in delay:500 or delay:100-900");
            return false;
        }
        f.delayMin = uint32_t(v);
        f.delayMax = uint32_t(w);
    } else if (!arg.isEmpty()) {
        error = QStringLiteral("fault '%1' takes no argument").arg(kind);
        return false;
    }
    bool every = false;
    for (int i = 1; i < parts.size(); ++i) {
        const QString part = parts[i].trimmed();
        const int e = part.indexOf(QLatin1Char('='));
        const QString key = part.left(e).trimmed().toLower();
        const QString value = e < 0 ? QString() : part.mid(e + 1).trimmed();
        if (key == QLatin1String("unit") && ToUInt(value, 255, v)) {
            f.unit = int(v);
        } else if (key == QLatin1String("function") && ToUInt(value, 127, v) && v > 0) {
            f.function = int(v);
        } else if (key == QLatin1String("address")) {
            const int dash = value.indexOf(QLatin1Char('-'));
            if (!ToUInt(dash < 0 ? value : value.left(dash), 65535, v) ||
                !ToUInt(dash < 0 ? value : value.mid(dash + 1), 65535, w) || w < v) {
                error = QStringLiteral("address takes A or A-B (wire addresses, A <= B), not '%1'").arg(value);
                return false;
            }
            f.first = uint16_t(v);
            f.last = uint16_t(w);
        } else if (key == QLatin1String("every") && ToUInt(value, 0xFFFFFFFFu, v) && v > 0) {
            f.every = uint32_t(v);
            every = true;
        } else if (key == QLatin1String("rate")) {
            bool ok = false;
            f.rate = value.toDouble(&ok);
            if (!ok || !(f.rate >= 0 && f.rate <= 1)) {
                error = QStringLiteral("rate takes a probability from 0 to 1, not '%1'").arg(value);
                return false;
            }
        } else {
            error = QStringLiteral("bad fault setting '%1'").arg(part);
            return false;
        }
    }
    if (every && f.rate >= 0) {
        error = QStringLiteral("give every=N or rate=P, not both");
        return false;
    }
    return true;
}

FaultHits MatchFaults(std::vector<Fault>& faults, uint8_t unit, uint8_t fc, bool hasAddress, uint32_t first,
                      uint32_t last, std::mt19937_64& rng)
{
    FaultHits h;
    for (Fault& f : faults) {
        if (f.unit >= 0 && f.unit != unit)
            continue;
        if (f.function >= 0 && f.function != fc)
            continue;
        const bool ranged = f.first != 0 || f.last != 65535;
        if (ranged && (!hasAddress || last < f.first || first > f.last))
            continue;
        ++f.seen;
        const bool hit = f.rate >= 0 ? std::uniform_real_distribution<double>(0, 1)(rng) < f.rate
                                     : f.seen % f.every == 0;
        if (!hit)
            continue;
        h.names << f.text.section(QLatin1Char(','), 0, 0);
        switch (f.kind) {
        case FaultKind::NoAnswer: h.noAnswer = true; break;
        case FaultKind::Exception: if (h.exception < 0) h.exception = f.code; break;
        case FaultKind::Delay:
            h.delayMs += f.delayMin == f.delayMax
                             ? f.delayMin
                             : std::uniform_int_distribution<uint32_t>(f.delayMin, f.delayMax)(rng);
            break;
        case FaultKind::WrongUnit: h.wrongUnit = true; break;
        case FaultKind::WrongTid: h.wrongTid = true; break;
        case FaultKind::BadCrc: h.badCrc = true; break;
        case FaultKind::Cut: h.cut = true; break;
        case FaultKind::LyingCount: h.lyingCount = true; break;
        }
    }
    return h;
}

void DistortAnswer(std::vector<uint8_t>& frame, slave::Framing framing, const FaultHits& h)
{
    const bool tcp = framing == slave::Framing::Tcp;
    const size_t body = tcp ? slave::kTcpHeaderSize : 0; // index of the unit byte
    if (frame.size() < body + 3)
        return;
    if (h.wrongUnit)
        frame[body] = static_cast<uint8_t>(frame[body] + 1);
    if (h.wrongTid && tcp) {
        const uint16_t tid = static_cast<uint16_t>(((frame[0] << 8) | frame[1]) + 1);
        frame[0] = uint8_t(tid >> 8);
        frame[1] = uint8_t(tid);
    }
    const uint8_t fc = frame[body + 1];
    if (h.lyingCount && (fc == 1 || fc == 2 || fc == 3 || fc == 4 || fc == 23))
        frame[body + 2] = static_cast<uint8_t>(frame[body + 2] + 2);
    if (!tcp) {
        const uint16_t crc = ModbusCRC16(frame.data(), frame.size() - 2);
        frame[frame.size() - 2] = uint8_t(crc);
        frame[frame.size() - 1] = uint8_t(crc >> 8);
        if (h.badCrc)
            frame[frame.size() - 1] ^= 0xA5;
    }
    if (h.cut)
        frame.resize(std::max<size_t>(1, frame.size() / 2));
}

} // namespace zorp::sim
