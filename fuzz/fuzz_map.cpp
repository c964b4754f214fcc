// SPDX-License-Identifier: GPL-3.0-or-later
// Register maps and the CSV under them on arbitrary text. A map that reads
// is written again in every notation and must read back to the same points;
// its planned reads cover every point within the limits. Any CSV text that
// reads writes back to records that read the same.
//
// Input: a control byte (notation, separator), then the file's bytes.
#include "Csv.h"
#include "FuzzSupport.h"
#include "RegisterMap.h"

using namespace zorp;

namespace {

bool SamePoints(const TRegisterMap& a, const TRegisterMap& b)
{
    if (a.Points.size() != b.Points.size()) return false;
    for (size_t i = 0; i < a.Points.size(); ++i) {
        const TMapPoint &p = a.Points[i], &q = b.Points[i];
        if (p.Function != q.Function || p.Address != q.Address || p.Name != q.Name || p.Type != q.Type ||
            p.Description != q.Description || p.Value != q.Value || p.Scaling.Unit != q.Scaling.Unit ||
            p.Scaling.Enum != q.Scaling.Enum || p.Scaling.Bits != q.Scaling.Bits)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 1 << 16) return 0;
    const uint8_t control = data[0];
    const QString text = CsvText(QByteArray(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1)));

    const QChar seps[] = {u',', u';', u'\t'};
    const QChar sep = seps[control % 3];
    std::vector<TCsvRecord> records;
    QString error;
    if (ReadCsv(text, sep, records, error)) {
        QString again;
        for (const TCsvRecord& r : records) again += CsvRecord(r.Fields, sep) + QStringLiteral("\r\n");
        std::vector<TCsvRecord> back;
        ZORP_FUZZ_CHECK(ReadCsv(again, sep, back, error));
        // Records of one empty field are blank lines, which reading skips.
        size_t k = 0;
        for (const TCsvRecord& r : records) {
            if (r.Fields.size() == 1 && r.Fields[0].isEmpty()) continue;
            ZORP_FUZZ_CHECK(k < back.size() && back[k].Fields == r.Fields);
            ++k;
        }
    } else {
        ZORP_FUZZ_CHECK(!error.isEmpty());
    }

    TRegisterMap map;
    if (!ReadRegisterMap(text, map, error)) {
        ZORP_FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    const TAddressNotation n{TAddressBase(control / 3 % 3), (control & 0x80) != 0};
    TRegisterMap back;
    ZORP_FUZZ_CHECK(ReadRegisterMap(WriteRegisterMap(map, n), back, error));
    ZORP_FUZZ_CHECK(SamePoints(map, back));
    size_t covered = 0;
    for (const TMapBlock& b : PlanReads(map, 125, 255, control % 5)) {
        ZORP_FUZZ_CHECK(b.Count >= 1 && b.Count <= (b.Function >= 3 ? 125 : 255) && b.Start + b.Count - 1 <= 65536);
        for (const size_t i : b.Points) {
            const TMapPoint& p = map.Points.at(i);
            ZORP_FUZZ_CHECK(p.Function == b.Function && p.Address >= b.Start && p.Address + p.Span() <= b.Start + b.Count);
        }
        covered += b.Points.size();
    }
    ZORP_FUZZ_CHECK(covered == map.Points.size());
    return 0;
}
