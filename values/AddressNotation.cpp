// SPDX-License-Identifier: GPL-3.0-or-later
#include "AddressNotation.h"

#include "StrictInt.h"

namespace zorp {

namespace {

constexpr int64_t kLast = 65536;

const char* TableName(int table)
{
    switch (table) {
    case 0: return "a coil";
    case 1: return "a discrete input";
    case 3: return "an input register";
    case 4: return "a holding register";
    }
    return "no table";
}

} // namespace

QString NotationKey(TAddressNotation Notation)
{
    QString key = Notation.Base == TAddressBase::Wire      ? QStringLiteral("wire")
                  : Notation.Base == TAddressBase::Modicon ? QStringLiteral("modicon")
                                                           : QStringLiteral("plus1");
    return Notation.Hex ? key + QStringLiteral("-hex") : key;
}

TAddressNotation NotationFromKey(QStringView Key)
{
    TAddressNotation n;
    QStringView base = Key.trimmed();
    if (base.endsWith(QLatin1String("-hex"), Qt::CaseInsensitive)) {
        n.Hex = true;
        base.chop(4);
    }
    if (base.compare(QLatin1String("wire"), Qt::CaseInsensitive) == 0) n.Base = TAddressBase::Wire;
    else if (base.compare(QLatin1String("modicon"), Qt::CaseInsensitive) == 0) n.Base = TAddressBase::Modicon;
    else if (base.compare(QLatin1String("plus1"), Qt::CaseInsensitive) != 0) n = {};
    return n;
}

QString NotationTitle(TAddressBase Base)
{
    switch (Base) {
    case TAddressBase::Wire: return QStringLiteral("Register as on the wire (0-based)");
    case TAddressBase::Modicon: return QStringLiteral("Modicon (40001)");
    case TAddressBase::PlusOne: break;
    }
    return QStringLiteral("Register + 1");
}

int ModiconTable(int Function)
{
    switch (Function) {
    case 1: case 5: case 15: return 0;
    case 2: return 1;
    case 4: return 3;
    case 3: case 6: case 16: case 23: return 4;
    }
    return -1;
}

int ReadFunctionOfTable(int Table)
{
    switch (Table) {
    case 0: return 1;
    case 1: return 2;
    case 3: return 4;
    case 4: return 3;
    }
    return 0;
}

QString FormatAddress(int64_t Address, int Function, TAddressNotation Notation)
{
    const int base = Notation.Hex ? 16 : 10;
    auto number = [&](int64_t v, int width) {
        return QString::number(v, base).toUpper().rightJustified(width, u'0');
    };
    switch (Notation.Base) {
    case TAddressBase::PlusOne:
        return Notation.Hex ? QStringLiteral("0x") + number(Address, 4) : QString::number(Address);
    case TAddressBase::Wire:
        return Notation.Hex ? QStringLiteral("0x") + number(Address - 1, 4) : QString::number(Address - 1);
    case TAddressBase::Modicon: {
        const int table = ModiconTable(Function);
        const QString digit = table < 0 ? QString() : QString::number(table);
        if (Notation.Hex) return digit + number(Address, 4);
        return digit + number(Address, Address <= 9999 ? 4 : 5);
    }
    }
    return QString::number(Address);
}

bool ParseHexForm(QStringView Text, uint64_t& Value)
{
    QStringView digits;
    if (Text.size() > 2 && Text[0] == u'0' && (Text[1] == u'x' || Text[1] == u'X')) digits = Text.mid(2);
    else if (Text.size() > 1 && (Text.back() == u'h' || Text.back() == u'H')) digits = Text.chopped(1);
    else return false;
    return ParseDigits(digits, 16, Value);
}

bool ParseModicon(QStringView Text, bool Hex, int& Table, int64_t& Number)
{
    if (Text.size() < 5 || (!Hex && Text.size() > 6) || Text.size() > 6) return false;
    const char16_t t = Text[0].unicode();
    if (t != u'0' && t != u'1' && t != u'3' && t != u'4') return false;
    uint64_t v = 0;
    if (!ParseDigits(Text.mid(1), Hex ? 16 : 10, v)) return false;
    Table = t - u'0';
    Number = int64_t(v);
    return true;
}

TAddressText ParseAddress(QStringView Text, int Function, TAddressNotation Notation)
{
    TAddressText r;
    const QStringView t = Text.trimmed();
    const QString quoted = u'"' + t.toString() + u'"';
    int64_t offset = Notation.Base == TAddressBase::Wire ? 1 : 0;
    uint64_t value = 0;
    bool ok = false;
    if (ParseHexForm(t, value)) {
        ok = true;
    } else if (Notation.Base == TAddressBase::Modicon) {
        int table = -1;
        int64_t number = 0;
        if (!ParseModicon(t, Notation.Hex, table, number)) {
            r.Error = quoted + QStringLiteral(" is not a Modicon address (such as 40001 or 400001)");
            return r;
        }
        const int wanted = ModiconTable(Function);
        if (Function != 0 && table != wanted) {
            r.Error = quoted + QStringLiteral(" names %1, not %2").arg(QLatin1String(TableName(table)),
                                                                      QLatin1String(TableName(wanted)));
            return r;
        }
        r.Table = table;
        value = uint64_t(number);
        ok = true;
    } else {
        ok = ParseDigits(t, Notation.Hex ? 16 : 10, value);
    }
    if (!ok) {
        r.Error = quoted + (Notation.Hex ? QStringLiteral(" is not a hexadecimal address")
                                         : QStringLiteral(" is not an address"));
        return r;
    }
    const int64_t first = 1 - offset;
    if (value > uint64_t(kLast - offset) || int64_t(value) < first) {
        r.Error = quoted + QStringLiteral(" is out of range (%1 to %2)")
                               .arg(FormatAddress(1, Function, Notation), FormatAddress(kLast, Function, Notation));
        r.Table = -1;
        return r;
    }
    r.Address = int64_t(value) + offset;
    r.Ok = true;
    return r;
}

} // namespace zorp
