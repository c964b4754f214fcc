// SPDX-License-Identifier: GPL-3.0-or-later
#include "SimImageFile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <cmath>
#include <set>

#include "ValueAliases.h"
#include "ValueEncoding.h"

namespace zorp::sim {

namespace {

constexpr Table kTables[] = {Table::Holding, Table::Inputs, Table::Coils, Table::Discrete};

bool Whole(const QJsonValue& v, double min, double max, double& out)
{
    if (!v.isDouble())
        return false;
    out = v.toDouble();
    return out >= min && out <= max && std::floor(out) == out;
}

bool LoadRange(const QJsonObject& o, Table table, UnitImage& img, const QString& where, QString& error)
{
    double a = 0;
    if (!Whole(o.value(QLatin1String("address")), 0, 65535, a)) {
        error = QStringLiteral("%1: \"address\" must be a whole number from 0 to 65535").arg(where);
        return false;
    }
    RangeInfo info;
    info.table = table;
    info.address = uint16_t(a);
    info.description = o.value(QLatin1String("description")).toString();
    if (o.contains(QLatin1String("type"))) {
        const QString name = o.value(QLatin1String("type")).toString();
        info.type = ValueDecoding::FindDataTypeOrAlias(name);
        if (!info.type) {
            error = QStringLiteral("%1: unknown type \"%2\"").arg(where, name);
            return false;
        }
    }
    std::vector<uint16_t> words;
    const bool bits = IsBitTable(table);
    const QString key = bits ? QStringLiteral("bits") : o.contains(QLatin1String("values")) ? QStringLiteral("values")
                                                                                             : QStringLiteral("words");
    const QJsonArray list = o.value(key).toArray();
    for (int i = 0; i < list.size(); ++i) {
        double v = 0;
        if (key == QLatin1String("values")) {
            if (!info.type) {
                error = QStringLiteral("%1: \"values\" need a \"type\"").arg(where);
                return false;
            }
            const QString text = list[i].isString() ? list[i].toString() : QString::number(list[i].toDouble(), 'g', 17);
            const auto e = ValueEncoding::EncodeValue(*info.type, text);
            if (!e.Ok()) {
                error = QStringLiteral("%1: value %2: %3").arg(where).arg(i).arg(e.Error);
                return false;
            }
            words.insert(words.end(), e.Words.begin(), e.Words.end());
        } else if (Whole(list[i], 0, bits ? 1 : 65535, v)) {
            words.push_back(uint16_t(v));
        } else {
            error = QStringLiteral("%1: %2[%3] must be %4").arg(where, key).arg(i).arg(bits ? "0 or 1" : "0..65535");
            return false;
        }
    }
    if (info.address + words.size() > slave::kImageSize) {
        error = QStringLiteral("%1: the range runs past address 65535").arg(where);
        return false;
    }
    for (size_t k = 0; k < words.size(); ++k)
        img.SetWord(table, uint16_t(info.address + k), words[k]);
    info.count = uint32_t(words.size());
    if (info.type || !info.description.isEmpty())
        img.ranges.push_back(info);
    return true;
}

QJsonObject SaveRun(const UnitImage& img, Table table, uint32_t a, uint32_t n, const RangeInfo* info)
{
    QJsonObject o;
    o.insert(QStringLiteral("address"), int(a));
    if (info && info->type)
        o.insert(QStringLiteral("type"), ValueDecoding::DataTypeAlias(*info->type));
    if (info && !info->description.isEmpty())
        o.insert(QStringLiteral("description"), info->description);
    QJsonArray list;
    for (uint32_t k = 0; k < n; ++k)
        list.append(int(img.Word(table, uint16_t(a + k))));
    o.insert(IsBitTable(table) ? QStringLiteral("bits") : QStringLiteral("words"), list);
    return o;
}

} // namespace

bool LoadImage(const QByteArray& json, SimServer& server, QString& error)
{
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &pe);
    if (pe.error != QJsonParseError::NoError) {
        error = QStringLiteral("not JSON: %1 at offset %2").arg(pe.errorString()).arg(pe.offset);
        return false;
    }
    if (!doc.isObject()) {
        error = QStringLiteral("an image file holds one JSON object");
        return false;
    }
    const QJsonObject root = doc.object();
    const QJsonArray units = root.value(QLatin1String("units")).toArray();
    std::vector<uint8_t> numbers;
    for (int i = 0; i < units.size(); ++i) {
        double u = 0;
        if (!Whole(units[i].toObject().value(QLatin1String("unit")), 0, 255, u)) {
            error = QStringLiteral("units[%1]: \"unit\" must be a number from 0 to 255").arg(i);
            return false;
        }
        numbers.push_back(uint8_t(u));
    }
    if (numbers.empty()) {
        error = QStringLiteral("the file names no \"units\"");
        return false;
    }
    const bool shared = root.value(QLatin1String("shared")).toBool();
    server.SetUnits({}, shared);
    server.SetUnits(numbers, shared);
    for (int i = 0; i < units.size(); ++i) {
        const QJsonObject u = units[i].toObject();
        UnitImage* img = server.Unit(numbers[size_t(i)]);
        for (Table t : kTables) {
            const QJsonArray ranges = u.value(TableName(t)).toArray();
            for (int k = 0; k < ranges.size(); ++k)
                if (!LoadRange(ranges[k].toObject(), t, *img,
                               QStringLiteral("units[%1].%2[%3]").arg(i).arg(TableName(t)).arg(k), error))
                    return false;
        }
    }
    server.Generators.clear();
    const QJsonArray gens = root.value(QLatin1String("generators")).toArray();
    for (int i = 0; i < gens.size(); ++i) {
        Generator g;
        QString why;
        if (!ParseGenerator(gens[i].toString(), g, why)) {
            error = QStringLiteral("generators[%1]: %2").arg(i).arg(why);
            return false;
        }
        server.Generators.push_back(g);
    }
    server.Faults.clear();
    const QJsonArray faults = root.value(QLatin1String("faults")).toArray();
    for (int i = 0; i < faults.size(); ++i) {
        Fault f;
        QString why;
        if (!ParseFault(faults[i].toString(), f, why)) {
            error = QStringLiteral("faults[%1]: %2").arg(i).arg(why);
            return false;
        }
        server.Faults.push_back(f);
    }
    return true;
}

bool LoadImageFile(const QString& path, SimServer& server, QString& error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
        return false;
    }
    if (f.size() > 64 * 1024 * 1024) {
        error = QStringLiteral("%1 is too large for an image file").arg(path);
        return false;
    }
    if (!LoadImage(f.readAll(), server, error)) {
        error = QStringLiteral("%1: %2").arg(path, error);
        return false;
    }
    return true;
}

QByteArray SaveImage(const SimServer& server)
{
    QJsonObject root;
    root.insert(QStringLiteral("format"), QStringLiteral("zorp-image"));
    root.insert(QStringLiteral("version"), 1);
    root.insert(QStringLiteral("shared"), server.Shared());
    QJsonArray units;
    std::set<const UnitImage*> saved;
    for (uint8_t u : server.Units()) {
        QJsonObject uo;
        uo.insert(QStringLiteral("unit"), int(u));
        const UnitImage* img = server.Unit(u);
        if (img && saved.insert(img).second) {
            for (Table t : kTables) {
                QJsonArray ranges;
                // The described ranges, then the other runs that are not zero.
                std::vector<bool> covered(slave::kImageSize);
                std::vector<std::pair<uint32_t, QJsonObject>> runs;
                for (const RangeInfo& r : img->ranges) {
                    if (r.table != t)
                        continue;
                    runs.push_back({r.address, SaveRun(*img, t, r.address, r.count, &r)});
                    for (uint32_t k = 0; k < r.count; ++k)
                        covered[r.address + k] = true;
                }
                for (uint32_t a = 0; a < slave::kImageSize;) {
                    if (covered[a] || img->Word(t, uint16_t(a)) == 0) {
                        ++a;
                        continue;
                    }
                    uint32_t e = a;
                    while (e < slave::kImageSize && !covered[e] && img->Word(t, uint16_t(e)) != 0)
                        ++e;
                    runs.push_back({a, SaveRun(*img, t, a, e - a, nullptr)});
                    a = e;
                }
                std::stable_sort(runs.begin(), runs.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
                for (const auto& [a, o] : runs)
                    ranges.append(o);
                if (!ranges.isEmpty())
                    uo.insert(TableName(t), ranges);
            }
        }
        units.append(uo);
    }
    root.insert(QStringLiteral("units"), units);
    QJsonArray gens, faults;
    for (const Generator& g : server.Generators)
        gens.append(g.text);
    for (const Fault& f : server.Faults)
        faults.append(f.text);
    if (!gens.isEmpty())
        root.insert(QStringLiteral("generators"), gens);
    if (!faults.isEmpty())
        root.insert(QStringLiteral("faults"), faults);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool SaveImageFile(const QString& path, const SimServer& server, QString& error)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(SaveImage(server)) < 0 || !f.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(path, f.errorString());
        return false;
    }
    return true;
}

} // namespace zorp::sim
