// SPDX-License-Identifier: GPL-3.0-or-later
// Reading and writing workspace files (JSON).
#include "WorkspaceFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <algorithm>
#include <cmath>

namespace zorp {

namespace {

const QString kFormat = QStringLiteral("zorp-workspace");
constexpr int kVersion = 1;

QJsonObject rectJson(const TWorkspaceRect& r)
{
    return QJsonObject{{"x", r.X}, {"y", r.Y}, {"width", r.Width}, {"height", r.Height}};
}

QJsonObject scalingJson(const TScaling& s)
{
    QJsonObject o;
    if (s.Gain != 1) o["gain"] = s.Gain;
    if (s.Offset != 0) o["offset"] = s.Offset;
    if (!s.Unit.isEmpty()) o["unit"] = s.Unit;
    if (!s.Enum.empty()) o["enum"] = PairsText(s.Enum);
    if (!s.Bits.empty()) o["bits"] = BitsText(s.Bits);
    return o;
}

QJsonObject pollJson(const TWorkspacePoll& p)
{
    QJsonObject o{{"unit", p.Unit},          {"function", p.Func},    {"start", p.Start},
                  {"length", p.Length},      {"interval", p.IntervalMs}, {"realTime", p.RealTime}};
    if (!p.Name.isEmpty()) o["name"] = p.Name;
    QJsonArray rows;
    const int n = int(std::max(p.Types.size(), p.Descriptions.size()));
    for (int i = 0; i < n; ++i) {
        const QString t = p.Types.value(i), d = p.Descriptions.value(i);
        if (t.isEmpty() && d.isEmpty() && !p.Scaling.count(i + 1)) continue;
        QJsonObject row{{"row", i + 1}};
        if (!t.isEmpty()) row["type"] = t;
        if (!d.isEmpty()) row["description"] = d;
        if (const auto it = p.Scaling.find(i + 1); it != p.Scaling.end()) row["scaling"] = scalingJson(it->second);
        rows.append(row);
    }
    // Rows with a scaling and neither type nor description.
    for (const auto& [r, sc] : p.Scaling)
        if (r > n && r <= kMaxWorkspaceRows && !sc.Empty()) rows.append(QJsonObject{{"row", r}, {"scaling", scalingJson(sc)}});
    o["rows"] = rows;
    if (p.Window.Valid()) o["window"] = rectJson(p.Window);
    return o;
}

// Reading: each getter checks the kind and the range and says what is wrong.
class TReader {
public:
    QString Error;
    bool Int(const QJsonObject& o, const char* key, int lo, int hi, int& out, const QString& where)
    {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined()) return true;
        const double d = v.toDouble(-1e300);
        // The range first: converting a double beyond it to an integer is undefined.
        if (!v.isDouble() || !(d >= lo && d <= hi) || d != std::floor(d))
            return Fail(QStringLiteral("%1: \"%2\" must be a whole number from %3 to %4").arg(where).arg(QLatin1String(key)).arg(lo).arg(hi));
        out = int(d);
        return true;
    }
    bool Bool(const QJsonObject& o, const char* key, bool& out, const QString& where)
    {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined()) return true;
        if (!v.isBool()) return Fail(QStringLiteral("%1: \"%2\" must be true or false").arg(where).arg(QLatin1String(key)));
        out = v.toBool();
        return true;
    }
    bool Str(const QJsonObject& o, const char* key, QString& out, const QString& where, int maxLen = 1024)
    {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined()) return true;
        if (!v.isString() || v.toString().size() > maxLen)
            return Fail(QStringLiteral("%1: \"%2\" must be a text of at most %3 characters").arg(where).arg(QLatin1String(key)).arg(maxLen));
        out = v.toString();
        return true;
    }
    bool Obj(const QJsonObject& o, const char* key, QJsonObject& out, const QString& where)
    {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined()) return true;
        if (!v.isObject()) return Fail(QStringLiteral("%1: \"%2\" must be an object").arg(where).arg(QLatin1String(key)));
        out = v.toObject();
        return true;
    }
    bool Arr(const QJsonObject& o, const char* key, int maxSize, QJsonArray& out, const QString& where)
    {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined()) return true;
        if (!v.isArray() || v.toArray().size() > maxSize)
            return Fail(QStringLiteral("%1: \"%2\" must be a list of at most %3 entries").arg(where).arg(QLatin1String(key)).arg(maxSize));
        out = v.toArray();
        return true;
    }
    bool Rect(const QJsonObject& o, TWorkspaceRect& r, const QString& where)
    {
        QJsonObject w;
        if (!Obj(o, "window", w, where)) return false;
        const QString at = where + QStringLiteral(", window");
        if (!(Int(w, "x", -100000, 100000, r.X, at) && Int(w, "y", -100000, 100000, r.Y, at) &&
              Int(w, "width", 0, 100000, r.Width, at) && Int(w, "height", 0, 100000, r.Height, at)))
            return false;
        // A window without a size has no place either.
        if (!r.Valid()) r = TWorkspaceRect();
        return true;
    }
    bool Number(const QJsonObject& o, const char* key, double& out, const QString& where)
    {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined()) return true;
        if (!v.isDouble() || !std::isfinite(v.toDouble()))
            return Fail(QStringLiteral("%1: \"%2\" must be a number").arg(where).arg(QLatin1String(key)));
        out = v.toDouble();
        return true;
    }
    bool Scaling(const QJsonObject& r, std::map<int, TScaling>& out, int row, const QString& where)
    {
        QJsonObject o;
        if (!Obj(r, "scaling", o, where)) return false;
        if (o.isEmpty()) return true;
        const QString at = where + QStringLiteral(", scaling");
        TScaling s;
        QString enumText, bitsText, why;
        if (!Number(o, "gain", s.Gain, at) || !Number(o, "offset", s.Offset, at) || !Str(o, "unit", s.Unit, at, 100) ||
            !Str(o, "enum", enumText, at, 4000) || !Str(o, "bits", bitsText, at, 4000))
            return false;
        if (s.Gain == 0) return Fail(at + QStringLiteral(": \"gain\" must not be 0"));
        if (!ParseEnumText(enumText, s.Enum, why) || !ParseBitsText(bitsText, s.Bits, why))
            return Fail(at + QStringLiteral(": ") + why);
        s.Unit = s.Unit.trimmed();
        if (!s.Empty()) out[row] = std::move(s);
        return true;
    }
    bool Poll(const QJsonObject& o, TWorkspacePoll& p, const QString& where)
    {
        if (!Str(o, "name", p.Name, where, 200) || !Int(o, "unit", 0, 255, p.Unit, where) ||
            !Int(o, "function", 1, 4, p.Func, where) || !Int(o, "start", 0, 65536, p.Start, where) ||
            !Int(o, "length", 1, 255, p.Length, where) || !Int(o, "interval", 0, 86400000, p.IntervalMs, where) ||
            !Bool(o, "realTime", p.RealTime, where) || !Rect(o, p.Window, where))
            return false;
        QJsonArray rows;
        if (!Arr(o, "rows", kMaxWorkspaceRows, rows, where)) return false;
        for (int i = 0; i < rows.size(); ++i) {
            const QString at = QStringLiteral("%1, rows[%2]").arg(where).arg(i);
            if (!rows[i].isObject()) return Fail(at + QStringLiteral(": must be an object"));
            const QJsonObject r = rows[i].toObject();
            int row = 0;
            QString type, description;
            if (!Int(r, "row", 1, kMaxWorkspaceRows, row, at) || !Str(r, "type", type, at, 100) ||
                !Str(r, "description", description, at))
                return false;
            if (row == 0) return Fail(at + QStringLiteral(": \"row\" is missing"));
            if (!Scaling(r, p.Scaling, row, at)) return false;
            while (p.Types.size() < row) {
                p.Types.append(QString());
                p.Descriptions.append(QString());
            }
            p.Types[row - 1] = type;
            p.Descriptions[row - 1] = description;
        }
        // Rows with neither are not kept at the end.
        while (!p.Types.isEmpty() && p.Types.last().isEmpty() && p.Descriptions.last().isEmpty()) {
            p.Types.removeLast();
            p.Descriptions.removeLast();
        }
        return true;
    }
    bool Fail(const QString& why)
    {
        Error = why;
        return false;
    }
};

} // namespace

QByteArray WorkspaceToJson(const TWorkspace& W)
{
    QJsonArray links;
    for (const TWorkspaceLink& l : W.Links) {
        QJsonObject o{{"mode", l.Mode}, {"host", l.Host},         {"port", l.Port},
                      {"com", l.Com},   {"baud", l.Baud},          {"parity", l.Parity},
                      {"dataBits", l.DataBits}, {"stopBits", l.StopBits}};
        if (!l.Device.isEmpty()) o["device"] = l.Device;
        if (l.Window.Valid()) o["window"] = rectJson(l.Window);
        if (l.Addresses) o["addresses"] = NotationKey(*l.Addresses);
        o["panel"] = pollJson(l.Panel);
        QJsonArray polls;
        for (const TWorkspacePoll& p : l.Polls) polls.append(pollJson(p));
        o["polls"] = polls;
        links.append(o);
    }
    QJsonObject root{{"format", kFormat}, {"version", kVersion}, {"links", links}};
    if (!W.Simulators.isEmpty()) {
        QJsonArray simulators;
        for (const QJsonObject& o : W.Simulators) simulators.append(o);
        root["simulators"] = simulators;
    }
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool WorkspaceFromJson(const QByteArray& Json, TWorkspace& W, QString& Error)
{
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(Json, &pe);
    if (pe.error != QJsonParseError::NoError) {
        Error = QStringLiteral("Not a workspace file: %1 at offset %2").arg(pe.errorString()).arg(pe.offset);
        return false;
    }
    const QJsonObject root = doc.object();
    if (!doc.isObject() || root.value("format").toString() != kFormat) {
        Error = QStringLiteral("Not a workspace file: \"format\" is not \"%1\"").arg(kFormat);
        return false;
    }
    if (root.value("version").toInt(0) != kVersion) {
        Error = QStringLiteral("Workspace version %1 is not supported (%2 is)").arg(root.value("version").toInt(0)).arg(kVersion);
        return false;
    }
    TReader r;
    TWorkspace out;
    QJsonArray links;
    if (!r.Arr(root, "links", kMaxWorkspaceLinks, links, QStringLiteral("workspace"))) {
        Error = r.Error;
        return false;
    }
    for (int i = 0; i < links.size(); ++i) {
        const QString where = QStringLiteral("links[%1]").arg(i);
        if (!links[i].isObject()) {
            Error = where + QStringLiteral(": must be an object");
            return false;
        }
        const QJsonObject o = links[i].toObject();
        TWorkspaceLink l;
        QJsonObject panel;
        QJsonArray polls;
        QString addresses;
        bool ok = r.Str(o, "mode", l.Mode, where, 16) && r.Str(o, "host", l.Host, where, 255) &&
                  r.Int(o, "port", 0, 65535, l.Port, where) && r.Int(o, "com", 0, 999, l.Com, where) &&
                  r.Str(o, "device", l.Device, where, 4096) && r.Int(o, "baud", 1, 100000000, l.Baud, where) &&
                  r.Str(o, "parity", l.Parity, where, 1) && r.Int(o, "dataBits", 5, 8, l.DataBits, where) &&
                  r.Int(o, "stopBits", 1, 2, l.StopBits, where) && r.Rect(o, l.Window, where) &&
                  r.Str(o, "addresses", addresses, where, 16) &&
                  r.Obj(o, "panel", panel, where) && r.Poll(panel, l.Panel, where + QStringLiteral(", panel")) &&
                  r.Arr(o, "polls", kMaxWorkspacePolls, polls, where);
        if (ok && l.Mode != QLatin1String("tcp") && l.Mode != QLatin1String("rtu-tcp") && l.Mode != QLatin1String("serial"))
            ok = r.Fail(where + QStringLiteral(": \"mode\" must be \"tcp\", \"rtu-tcp\" or \"serial\""));
        if (ok && !QStringLiteral("NEOMS").contains(l.Parity.toUpper()))
            ok = r.Fail(where + QStringLiteral(": \"parity\" must be one of N, E, O, M, S"));
        if (ok && !addresses.isEmpty()) {
            // A text this version does not know (a later one's notation)
            // leaves the window's notation as it is.
            const TAddressNotation n = NotationFromKey(addresses);
            if (addresses.trimmed().compare(NotationKey(n), Qt::CaseInsensitive) == 0) l.Addresses = n;
        }
        for (int k = 0; ok && k < polls.size(); ++k) {
            const QString at = QStringLiteral("%1, polls[%2]").arg(where).arg(k);
            if (!polls[k].isObject()) {
                ok = r.Fail(at + QStringLiteral(": must be an object"));
                break;
            }
            TWorkspacePoll p;
            ok = r.Poll(polls[k].toObject(), p, at);
            if (ok) l.Polls.append(p);
        }
        if (!ok) {
            Error = r.Error;
            return false;
        }
        out.Links.append(l);
    }
    QJsonArray simulators;
    if (!r.Arr(root, "simulators", kMaxWorkspaceSimulators, simulators, QStringLiteral("workspace"))) {
        Error = r.Error;
        return false;
    }
    for (int i = 0; i < simulators.size(); ++i) {
        if (!simulators[i].isObject()) {
            Error = QStringLiteral("simulators[%1]: must be an object").arg(i);
            return false;
        }
        out.Simulators.append(simulators[i].toObject());
    }
    W = out;
    return true;
}

} // namespace zorp
