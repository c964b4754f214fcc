// SPDX-License-Identifier: GPL-3.0-or-later
// Typed texts to register words, on arbitrary texts and every data type, and
// type lookups by name or alias of any text. Checked: a text is either refused
// with a reason and no words or accepted with exactly the type's rows; an
// accepted integer decodes back to a text that encodes to the same words; an
// accepted float's decoded text encodes again.
#include <QString>

#include "FuzzSupport.h"
#include "ValueAliases.h"
#include "ValueDecoding.h"
#include "ValueEncoding.h"

using namespace zorpfuzz;
namespace VD = ValueDecoding;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    const TDataTypeInfo& type = VD::DataTypeAt(in.Byte() % VD::DataTypeCount());
    QByteArray rest;
    while (in.More()) rest.append(char(in.Byte()));
    const QString text = QString::fromUtf8(rest);

    const TDataTypeInfo* found = VD::FindDataTypeOrAlias(text);
    ZORP_FUZZ_CHECK(!found || VD::FindDataType(QString::fromLatin1(found->Name)) == found);

    const auto r = ValueEncoding::EncodeValue(type, text);
    if (!r.Ok()) {
        ZORP_FUZZ_CHECK(r.Words.empty());
        return 0;
    }
    ZORP_FUZZ_CHECK(int(r.Words.size()) == type.Rows);
    const QString back = VD::DecodeWords(type, r.Words.data());
    switch (type.Format) {
    case TTypeFormat::Signed:
    case TTypeFormat::Unsigned:
    case TTypeFormat::RawHex:
    case TTypeFormat::RawBin:
    case TTypeFormat::RawBytes: {
        const auto again = ValueEncoding::EncodeValue(type, back);
        ZORP_FUZZ_CHECK(again.Ok() && again.Words == r.Words);
        break;
    }
    case TTypeFormat::Float32:
    case TTypeFormat::Float64:
        ZORP_FUZZ_CHECK(ValueEncoding::EncodeValue(type, back).Ok());
        break;
    default:
        break;
    }
    return 0;
}
