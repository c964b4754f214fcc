// SPDX-License-Identifier: GPL-3.0-or-later
// Value decoding on arbitrary Data [HEX] texts and data types: every type
// with any texts in its rows, type names of any text, the raw columns of
// any register and the fixed-point text of any double. Checked: the text
// and the buffer forms agree, four hex digits in every row always decode,
// the raw hex column reads back as its bytes, and the fixed-point text is
// what printf's "%.6f" gives within the range it is used for.
#include <QString>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "FuzzSupport.h"
#include "ValueDecoding.h"

using namespace zorpfuzz;
namespace VD = ValueDecoding;

namespace {

void CheckFixed(double v)
{
    const QString t = VD::FixedText(v);
    ZORP_FUZZ_CHECK(!t.isEmpty() && t.size() < 48);
    if (std::isnan(v) || std::fabs(v) >= 1e18) return;
    char want[64];
    std::snprintf(want, sizeof want, "%.6f", v);
    QString w = QString::fromLatin1(want);
    if (w == QLatin1String("-0.000000")) w = QStringLiteral("0.000000");
    ZORP_FUZZ_CHECK(t == w);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    const int index = in.Byte() % VD::DataTypeCount();
    const TDataTypeInfo& type = VD::DataTypeAt(index);
    ZORP_FUZZ_CHECK(VD::FindDataType(QString::fromLatin1(type.Name)) == &type);

    // The rest: up to four texts separated by 0x00 bytes, taken as UTF-8.
    QString texts[4];
    int t = 0;
    QByteArray cur;
    while (in.More()) {
        const uint8_t b = in.Byte();
        if (b == 0 && t < 3) {
            texts[t++] = QString::fromUtf8(cur);
            cur.clear();
        } else {
            cur.append(char(b));
        }
    }
    texts[t] = QString::fromUtf8(cur);
    QStringView views[4] = {texts[0], texts[1], texts[2], texts[3]};

    const QString value = VD::DecodeValue(type, views);
    VD::TTextBuf buf;
    VD::DecodeValueChars(type, views, buf);
    ZORP_FUZZ_CHECK(buf.Size >= 0 && buf.Size <= 48);
    ZORP_FUZZ_CHECK(buf.View() == value);

    bool allHex = true;
    for (int r = 0; r < type.Rows; ++r) {
        uint8_t H = 0, L = 0;
        if (!VD::ParseHexRegister(views[r], H, L)) allHex = false;
    }
    const bool numeric = type.Format == TTypeFormat::Signed || type.Format == TTypeFormat::Unsigned
                      || type.Format == TTypeFormat::Float32 || type.Format == TTypeFormat::Float64;
    if (numeric) ZORP_FUZZ_CHECK(allHex == !value.isEmpty());

    // Names: any text is either a type or not, never something in between.
    for (const QString& s : texts) {
        const TDataTypeInfo* found = VD::FindDataType(s);
        const int rows = VD::DataTypeRows(s);
        ZORP_FUZZ_CHECK(found ? rows == found->Rows : rows == 0);
        (void)VD::AsciiDisplayText(s);
    }

    // Raw columns of the first two bytes, in both forms.
    const uint8_t H = size > 1 ? data[1] : 0, L = size > 2 ? data[2] : 0;
    const VD::TRawTexts raw = VD::RegisterRawTexts(H, L);
    VD::TRawChars chars;
    VD::RegisterRawChars(H, L, chars);
    ZORP_FUZZ_CHECK(chars.Hex.View() == raw.Hex && chars.Bin.View() == raw.Bin && chars.Dec.View() == raw.Dec
                    && chars.Bytes.View() == raw.Bytes && chars.Ascii.View() == raw.Ascii);
    uint8_t h2 = 0, l2 = 0;
    ZORP_FUZZ_CHECK(VD::ParseHexRegister(raw.Hex, h2, l2) && h2 == H && l2 == L);
    const VD::TRawTexts half = VD::HalfRegisterRawTexts(H);
    VD::HalfRegisterRawChars(H, chars);
    ZORP_FUZZ_CHECK(chars.Hex.View() == half.Hex && chars.Bytes.View() == half.Bytes);

    // The first eight bytes as a double and as a float.
    double d = 0;
    std::memcpy(&d, data, size < sizeof d ? size : sizeof d);
    CheckFixed(d);
    float f = 0;
    std::memcpy(&f, data, size < sizeof f ? size : sizeof f);
    CheckFixed(double(f));
    return 0;
}
