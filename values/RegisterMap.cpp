// SPDX-License-Identifier: GPL-3.0-or-later
#include "RegisterMap.h"

#include <QFile>
#include <QStringList>
#include <algorithm>
#include <map>

#include "Csv.h"
#include "StrictInt.h"
#include "ValueAliases.h"

namespace zorp {

namespace {

constexpr qint64 MaxMapBytes = 16LL * 1024 * 1024;
const char* const kColumns[] = {"address", "function", "name", "type", "gain", "offset",
                                "unit", "enum", "bits", "description", "value"};
enum Column { cAddress, cFunction, cName, cType, cGain, cOffset, cUnit, cEnum, cBits, cDescription, cValue, cCount };

QString At(const QStringList& fields, int index) { return index >= 0 && index < fields.size() ? fields[index] : QString(); }

} // namespace

bool ReadRegisterMap(QStringView Text, TRegisterMap& Out, QString& Error)
{
    Out.Points.clear();
    const qsizetype firstEnd = Text.indexOf(u'\n');
    const QStringView firstLine = firstEnd < 0 ? Text : Text.left(firstEnd);
    const QChar sep = !firstLine.contains(u',') && firstLine.contains(u';') ? u';' : u',';
    std::vector<TCsvRecord> records;
    if (!ReadCsv(Text, sep, records, Error)) return false;
    auto comment = [](const TCsvRecord& r) { return r.Fields.value(0).trimmed().startsWith(u'#'); };
    auto header = std::find_if_not(records.begin(), records.end(), comment);
    if (header == records.end()) {
        Error = QStringLiteral("no header line (address, name, type, ...)");
        return false;
    }
    int index[cCount];
    std::fill(std::begin(index), std::end(index), -1);
    TAddressNotation notation;
    for (int i = 0; i < header->Fields.size(); ++i) {
        QString name = header->Fields[i].trimmed().toLower();
        const qsizetype colon = name.indexOf(u':');
        if (colon > 0 && name.left(colon) == QLatin1String("address")) {
            notation = NotationFromKey(QStringView(name).mid(colon + 1));
            if (NotationKey(notation) != name.mid(colon + 1)) {
                Error = QStringLiteral("line %1: \"%2\" is no address notation (plus1, wire, modicon, with -hex)")
                            .arg(header->Line).arg(name.mid(colon + 1));
                return false;
            }
            name = QStringLiteral("address");
        }
        for (int c = 0; c < cCount; ++c)
            if (name == QLatin1String(kColumns[c]) && index[c] < 0) index[c] = i;
    }
    if (index[cAddress] < 0) {
        Error = QStringLiteral("line %1: the header names no address column").arg(header->Line);
        return false;
    }
    // Items taken so far, per function: address to the point's index.
    std::map<std::pair<int, int64_t>, size_t> taken;
    for (auto r = header + 1; r != records.end(); ++r) {
        if (comment(*r)) continue;
        const QStringList& f = r->Fields;
        auto fail = [&](const QString& why) {
            Error = QStringLiteral("line %1: ").arg(r->Line) + why;
            return false;
        };
        TMapPoint p;
        p.Line = r->Line;
        int64_t function = 0;
        const QString functionText = At(f, index[cFunction]).trimmed();
        if (!functionText.isEmpty() && !ParseInt(functionText, 1, 4, function, IntDigitsOnly))
            return fail(QStringLiteral("function \"%1\" is not 1, 2, 3 or 4").arg(functionText));
        const TAddressText a = ParseAddress(At(f, index[cAddress]), int(function), notation);
        if (!a.Ok) return fail(a.Error);
        p.Address = a.Address;
        p.Function = a.Table >= 0 ? ReadFunctionOfTable(a.Table) : function ? int(function) : 3;
        p.Name = At(f, index[cName]).trimmed();
        p.Description = At(f, index[cDescription]);
        p.Value = At(f, index[cValue]).trimmed();
        const QString typeText = At(f, index[cType]).trimmed();
        if (!typeText.isEmpty()) {
            p.Type = ValueDecoding::FindDataTypeOrAlias(typeText);
            if (!p.Type) return fail(QStringLiteral("\"%1\" is no data type").arg(typeText));
            const bool bitType = p.Type->Format == TTypeFormat::Bit;
            if (bitType != (p.Function <= 2))
                return fail(p.Function <= 2 ? QStringLiteral("coils and inputs take no type but BIT")
                                            : QStringLiteral("type BIT is for coils and discrete inputs"));
        }
        QString why;
        if (!ScalingFromFields(At(f, index[cGain]), At(f, index[cOffset]), At(f, index[cUnit]), At(f, index[cEnum]),
                               At(f, index[cBits]), p.Scaling, why))
            return fail(why);
        if (!p.Scaling.Empty() && (!p.Type || !CanScale(*p.Type)))
            return fail(QStringLiteral("a gain, offset, unit, enum or bits needs a numeric type"));
        if ((!p.Scaling.Enum.empty() || !p.Scaling.Bits.empty()) && !CanEnumerate(*p.Type))
            return fail(QStringLiteral("enum and bits need an integer type"));
        if (p.Address + p.Span() - 1 > 65536) return fail(QStringLiteral("the point runs past the last address"));
        for (int k = 0; k < p.Span(); ++k) {
            const auto [it, fresh] = taken.emplace(std::pair(p.Function, p.Address + k), Out.Points.size());
            if (!fresh)
                return fail(QStringLiteral("it overlaps the point of line %1").arg(Out.Points[it->second].Line));
        }
        Out.Points.push_back(std::move(p));
    }
    return true;
}

bool LoadRegisterMap(const QString& FileName, TRegisterMap& Out, QString& Error)
{
    QFile f(FileName);
    if (!f.open(QIODevice::ReadOnly)) {
        Error = QStringLiteral("cannot read %1: %2").arg(FileName, f.errorString());
        return false;
    }
    const QByteArray bytes = f.read(MaxMapBytes + 1);
    if (bytes.size() > MaxMapBytes) {
        Error = QStringLiteral("%1 is larger than a register map can be").arg(FileName);
        return false;
    }
    if (!ReadRegisterMap(CsvText(bytes), Out, Error)) {
        Error = FileName + QStringLiteral(", ") + Error;
        return false;
    }
    return true;
}

QString WriteRegisterMap(const TRegisterMap& Map, TAddressNotation Notation)
{
    const QString addressColumn =
        Notation.IsDesigned() ? QStringLiteral("address") : QStringLiteral("address:") + NotationKey(Notation);
    QString out = CsvRecord({addressColumn, "function", "name", "type", "gain", "offset", "unit", "enum", "bits",
                             "description", "value"}) + QStringLiteral("\r\n");
    for (const TMapPoint& p : Map.Points) {
        const TScaling& s = p.Scaling;
        const bool scaled = s.Gain != 1 || s.Offset != 0;
        out += CsvRecord({FormatAddress(p.Address, p.Function, Notation), QString::number(p.Function), p.Name,
                          p.Type ? QString::fromLatin1(p.Type->Name) : QString(),
                          scaled ? NumberText(s.Gain) : QString(), scaled ? NumberText(s.Offset) : QString(), s.Unit,
                          PairsText(s.Enum), BitsText(s.Bits), p.Description, p.Value}) +
               QStringLiteral("\r\n");
    }
    return out;
}

std::vector<TMapBlock> PlanReads(const TRegisterMap& Map, int MaxRegisters, int MaxBits, int MaxGap)
{
    std::vector<size_t> order(Map.Points.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const TMapPoint &p = Map.Points[a], &q = Map.Points[b];
        return p.Function != q.Function ? p.Function < q.Function : p.Address < q.Address;
    });
    std::vector<TMapBlock> blocks;
    for (const size_t i : order) {
        const TMapPoint& p = Map.Points[i];
        const int most = p.Function >= 3 ? MaxRegisters : MaxBits;
        if (!blocks.empty()) {
            TMapBlock& b = blocks.back();
            const int64_t end = b.Start + b.Count; // one past the last item read
            const int64_t newEnd = std::max(end, p.Address + p.Span());
            if (b.Function == p.Function && p.Address - end <= MaxGap && newEnd - b.Start <= most) {
                b.Count = int(newEnd - b.Start);
                b.Points.push_back(i);
                continue;
            }
        }
        blocks.push_back({p.Function, p.Address, p.Span(), {i}});
    }
    return blocks;
}

} // namespace zorp
