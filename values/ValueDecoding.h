// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The data types a grid row can be given, and the pure text functions that
// render a register into the raw columns and decode a row's Value from the
// Data [HEX] texts of the rows it spans.
//
// Raw columns of one register (high byte H, low byte L):
//   Data [HEX]    "0A1F"               two upper-case hex digits per byte
//   Data [BIN]    "00001010 00011111"  ByteToBin(H), a space, ByteToBin(L)
//   Data [DEC]    "2591"               H * 256 + L
//   Data [BYTES]  "10,31"              H and L in decimal
//   Data [ASCII]  H's character, a space, L's character
//
// Data [ASCII] takes each byte as a character of the Windows-1250 code page
// (the Central European set that the rest of the tester uses). The cell keeps
// the true character, control characters included; the grid draws every
// control character (bytes 0 to 31, 127, and the five code points that
// Windows-1250 leaves undefined) as "." so that nothing invisible or
// layout-changing reaches the screen (see AsciiDisplayText).
//
// A register response with an odd byte count ends with half a register: that
// row shows what exists of it (see HalfRegisterRawTexts) and no numeric type
// can be decoded from it.
#include <QString>
#include <QStringList>
#include <QStringView>
#include <cstdint>
#include <vector>

enum class TTypeFormat : uint8_t {
    RawHex,   // the row's Data [HEX] text
    RawBin,   // the row's Data [BIN] text
    RawBytes, // the row's Data [BYTES] text
    RawAscii, // the row's Data [ASCII] text
    Bit,      // the row's bit after a coil or input read, empty after a register read
    Signed,   // signed integer, decimal
    Unsigned, // unsigned integer, decimal
    Float32,  // IEEE 754 single, "0.000000"
    Float64,  // IEEE 754 double, "0.000000"
};

struct TDataTypeInfo {
    const char* Name;     // exact, case-sensitive name (also what profiles store)
    int Rows;             // registers (grid rows) a value spans: 1, 2 or 4
    TTypeFormat Format;
    int ByteCount;        // value bytes for the numeric formats (1, 2, 4 or 8)
    // Value bytes, most significant first, as indices into the wire bytes of
    // the spanned rows: 0 = H0, 1 = L0, 2 = H1, 3 = L1, ... 7 = L3.
    uint8_t Order[8];
};

// The continuation mark of a row that holds a further register of the value above.
inline constexpr char16_t ContinuationMark[] = u"---";

namespace ValueDecoding {

// The 35 data types in the order the data editor lists them.
int DataTypeCount();
const TDataTypeInfo& DataTypeAt(int index);
QStringList DataTypeNames();

// The type with exactly this name, or nullptr ("---", empty and any other text).
const TDataTypeInfo* FindDataType(QStringView name);

// FindDataType for the rows of a grid, remembering each row's last answer:
// a row whose type text reads as the text looked up before is answered
// without a lookup. Entries compare texts, not addresses: each keeps a copy
// of the text it looked up, and a text that still shares that copy's
// storage is equal to it without reading its characters.
class TDataTypeCache {
public:
    const TDataTypeInfo* Find(int row, const QString& name)
    {
        if (row < 0) return FindDataType(name);
        if (size_t(row) >= FRows.size()) FRows.resize(size_t(row) + 1);
        Entry& e = FRows[size_t(row)];
        if (e.Known && (e.Name.isSharedWith(name) || e.Name == name)) return e.Type;
        e.Name = name;
        e.Type = FindDataType(name);
        e.Known = true;
        return e.Type;
    }

private:
    struct Entry {
        QString Name;
        const TDataTypeInfo* Type = nullptr;
        bool Known = false;
    };
    std::vector<Entry> FRows;
};

// Registers a value of this Data Type text spans: 1, 2 or 4; 0 for a text that
// is not a data type.
int DataTypeRows(QStringView name);

// "00000101" for 5: eight characters, most significant bit first.
QString ByteToBin(uint8_t B);

// The character of one byte in the code page of Data [ASCII].
QChar CodePageChar(uint8_t b);

// The text the grid draws for a Data [ASCII] cell: control characters as ".".
QString AsciiDisplayText(const QString& cellText);

struct TRawTexts {
    QString Hex, Bin, Dec, Bytes, Ascii;
};
// The five raw columns of one register.
TRawTexts RegisterRawTexts(uint8_t H, uint8_t L);
// The raw columns of a register of which only the high byte arrived:
// Data [HEX] "41", Data [BIN] "01000001", Data [DEC] empty (the register's
// value is unknown), Data [BYTES] "65", Data [ASCII] "A".
TRawTexts HalfRegisterRawTexts(uint8_t H);

// The same texts written into fixed buffers, for the rendering path, which
// must not allocate for texts it then finds unchanged.
struct TTextBuf {
    char16_t Data[48];
    int Size = 0;
    QStringView View() const { return QStringView(Data, Size); }
};
struct TRawChars {
    TTextBuf Hex, Bin, Dec, Bytes, Ascii;
};
void RegisterRawChars(uint8_t H, uint8_t L, TRawChars& out);
void HalfRegisterRawChars(uint8_t H, TRawChars& out);

// Reads a Data [HEX] text: exactly four hexadecimal digits (either case).
bool ParseHexRegister(QStringView text, uint8_t& H, uint8_t& L);

// Decodes a numeric type (Signed, Unsigned, Float32, Float64) from the Data
// [HEX] texts of its type.Rows rows. Any text that is not four hexadecimal
// digits gives an empty Value rather than a wrong number.
QString DecodeValue(const TDataTypeInfo& type, const QStringView* hexTexts);
// The same into a buffer (Size 0 for an empty Value).
void DecodeValueChars(const TDataTypeInfo& type, const QStringView* hexTexts, TTextBuf& out);

// The value of any type from type.Rows register words as they were read (the
// register at the lowest address first): a numeric type as DecodeValue reads
// it, a raw type as the raw column of words[0], BIT empty (a register has no
// bit).
QString DecodeWords(const TDataTypeInfo& type, const uint16_t* words);

// The value bits of a numeric type from its type.Rows register words: its
// bytes in the type's order, the most significant first (0 for the raw and
// bit types).
uint64_t WordsToBits(const TDataTypeInfo& type, const uint16_t* words);

// Number texts: decimal without leading zeros or separators.
QString SignedText(int64_t v);
QString UnsignedText(uint64_t v);
// "0.000000": at least one digit before ".", exactly six after it (rounded).
// NaN reads "NaN", the infinities "INF" and "-INF"; a magnitude of 1e18 or
// more, which fixed notation cannot show sensibly, is written in scientific
// notation ("1.234568E+20"); a value that rounds to zero carries no sign.
QString FixedText(double v);

} // namespace ValueDecoding
