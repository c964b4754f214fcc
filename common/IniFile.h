// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TIniFile: the profile-file (INI) layer behind the settings profiles and
// "setings.ini".
//
// Semantics follow the classic Windows profile files that these files have
// always been written as:
//  - "[Section]" lines open a section; "key=value" lines inside it are
//    entries; every other line (comments, blank lines, junk) is kept as is.
//  - Section and key names are compared without regard to letter case; the
//    first section and the first key of a given name win.
//  - Reading drops blanks (spaces, tabs) around the value, removes one pair
//    of matching quotes ("..." or '...') enclosing it, and cuts the result
//    to 2047 characters.
//  - Writing updates one key at a time: its line is rewritten in place, a
//    new key goes after the last entry of its section, a new section goes
//    at the end. Every other line, section, comment and key stays byte for
//    byte what it was.
//
// Encodings read: UTF-8 with or without BOM, UTF-16 LE/BE with BOM, and
// single-byte text (Windows-1250, the Central European code page; bytes
// that are not valid UTF-8 are taken as such). Line ends CRLF, LF or CR.
// Saving keeps the file's encoding and each line's own line end; new lines
// get the file's first line end (CRLF for a new file). A new file is UTF-8
// without BOM. A single-byte file that has to store a character its code
// page lacks is saved as UTF-8 (without BOM) instead, so values always
// round-trip.
//
// Saving is atomic: the new contents go to a temporary file beside the
// target, are flushed to disk, and the temporary file is renamed over the
// target. A failure at any point leaves the old file untouched.
//
// Files that cannot be parsed safely (larger than MaxFileSize, not a regular
// file, unreadable) read as empty and refuse to be saved over, so that they
// are never replaced by a file that lost their contents.
#include <QString>
#include <QStringList>
#include <QStringView>
#include <vector>

namespace zorp {

enum class TIniEncoding { Utf8, Utf8Bom, Utf16LE, Utf16BE, SingleByte };

class TIniFile {
public:
    static constexpr int MaxValueLength = 2047;
    static constexpr qint64 MaxFileSize = 64LL * 1024 * 1024;

    // Loads the file (a missing file is an empty one).
    explicit TIniFile(const QString& FileName);

    QString FileName() const { return FFileName; }

    // The value of Key in Section, or Default when the key is missing.
    // A present key with an empty value gives "".
    QString ReadString(const QString& Section, const QString& Key, const QString& Default) const;
    bool ValueExists(const QString& Section, const QString& Key) const;
    bool SectionExists(const QString& Section) const;
    // The keys of Section in the order of the file, each name once (as the
    // file first spells it); empty when there is no such section.
    QStringList ReadSection(const QString& Section) const;

    // Sets Key in Section to Value (written as it stands; line breaks inside
    // Value become blanks, since they would end the entry).
    void WriteString(const QString& Section, const QString& Key, const QString& Value);

    // Writes the contents to disk atomically when anything changed (a file
    // that does not exist yet is always created). False when the file could
    // not be written; the file on disk is then as it was.
    bool UpdateFile();

    bool Modified() const { return FModified; }
    // False when an existing file could not be parsed (see above).
    bool Loaded() const { return FLoaded; }
    TIniEncoding Encoding() const { return FEncoding; }
    // The file's contents as text with its line ends (for tests and tools).
    QString Text() const;

    // Decoding and encoding of the single-byte code page (Windows-1250).
    static QString DecodeSingleByte(const QByteArray& Bytes);
    // False when Text holds a character the code page lacks.
    static bool EncodeSingleByte(QStringView Text, QByteArray& Out);

    // Value as the reading rules give it back from the raw text after '='.
    static QString CookValue(QStringView Raw);

private:
    enum class LineKind { Other, Section, Entry };
    struct Line {
        QString Text;
        QString Eol;       // "\r\n", "\n", "\r" or "" (last line without one)
        LineKind Kind = LineKind::Other;
        int NameStart = 0; // section name or key, already trimmed
        int NameLength = 0;
        int ValueStart = 0; // raw value: everything after '='
    };

    void Parse(const QByteArray& Bytes);
    static void Classify(Line& L);
    QStringView NameOf(const Line& L) const { return QStringView(L.Text).mid(L.NameStart, L.NameLength); }
    // Index range [first, end) of the lines of the first section named Section,
    // first being the header line; -1 when there is no such section.
    int FindSection(const QString& Section, int& End) const;
    int FindKey(int First, int End, const QString& Key) const;
    QString DefaultEol() const;

    QString FFileName;
    std::vector<Line> FLines;
    TIniEncoding FEncoding = TIniEncoding::Utf8;
    bool FModified = false;
    bool FExists = false;
    bool FLoaded = true;
};

// One-call read and write of a single key, opening and closing the file.
QString GetPrivateProfileString(const QString& Section, const QString& Key, const QString& Default,
                                const QString& FileName);
bool WritePrivateProfileString(const QString& Section, const QString& Key, const QString& Value,
                               const QString& FileName);

} // namespace zorp
