// SPDX-License-Identifier: GPL-3.0-or-later
#include "IniFile.h"
#include "CodePage1250.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <algorithm>

namespace zorp {

namespace {

bool isBlank(QChar c) { return c == u' ' || c == u'\t'; }

QStringView trimBlanks(QStringView s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.mid(b, e - b);
}

// True when Parse would take these bytes as single-byte text again (or
// they are plain ASCII, which reads the same either way).
bool ReadsBackAsSingleByte(const QByteArray& bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF") || bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF"))
        return false;
    bool ascii = true;
    for (const char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii)
        return true;
    QStringDecoder dec(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString decoded = dec.decode(bytes); // decoding happens on conversion
    (void)decoded;
    return dec.hasError();
}

} // namespace

QString TIniFile::DecodeSingleByte(const QByteArray& Bytes)
{
    QString out(Bytes.size(), Qt::Uninitialized);
    QChar* d = out.data();
    for (qsizetype i = 0; i < Bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(Bytes[i]);
        d[i] = b < 0x80 ? QChar(b) : QChar(kCp1250High[b - 0x80]);
    }
    return out;
}

bool TIniFile::EncodeSingleByte(QStringView Text, QByteArray& Out)
{
    Out.resize(Text.size());
    for (qsizetype i = 0; i < Text.size(); ++i) {
        const char16_t c = Text[i].unicode();
        if (c < 0x80) {
            Out[i] = static_cast<char>(c);
            continue;
        }
        int found = -1;
        for (int k = 0; k < 128; ++k)
            if (kCp1250High[k] == c) {
                found = k;
                break;
            }
        if (found < 0)
            return false;
        Out[i] = static_cast<char>(0x80 + found);
    }
    return true;
}

QString TIniFile::CookValue(QStringView Raw)
{
    QStringView v = trimBlanks(Raw);
    if (v.size() >= 2 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front())
        v = v.mid(1, v.size() - 2);
    if (v.size() > MaxValueLength)
        v = v.first(MaxValueLength);
    return v.toString();
}

TIniFile::TIniFile(const QString& FileName) : FFileName(FileName)
{
    const QFileInfo info(FileName);
    FExists = info.exists();
    if (!FExists)
        return;
    if (!info.isFile() || info.size() > MaxFileSize) {
        FLoaded = false;
        return;
    }
    QFile f(FileName);
    if (!f.open(QIODevice::ReadOnly)) {
        FLoaded = false;
        return;
    }
    // Read what the file holds (one byte more shows growth past the limit)
    // rather than reserving the whole limit up front for every file.
    QByteArray bytes = f.read(std::min(info.size(), MaxFileSize) + 1);
    if (!f.atEnd() && bytes.size() <= MaxFileSize)
        bytes += f.read(MaxFileSize + 1 - bytes.size()); // it grew since it was looked at
    if (bytes.size() > MaxFileSize || f.error() != QFileDevice::NoError) {
        FLoaded = false;
        return;
    }
    Parse(bytes);
}

void TIniFile::Parse(const QByteArray& Bytes)
{
    QString text;
    if (Bytes.startsWith("\xEF\xBB\xBF")) {
        FEncoding = TIniEncoding::Utf8Bom;
        QStringDecoder dec(QStringConverter::Utf8, QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
        text = dec.decode(QByteArrayView(Bytes).sliced(3));
    } else if (Bytes.startsWith("\xFF\xFE")) {
        FEncoding = TIniEncoding::Utf16LE;
        QStringDecoder dec(QStringConverter::Utf16LE, QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
        text = dec.decode(QByteArrayView(Bytes).sliced(2));
    } else if (Bytes.startsWith("\xFE\xFF")) {
        FEncoding = TIniEncoding::Utf16BE;
        QStringDecoder dec(QStringConverter::Utf16BE, QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
        text = dec.decode(QByteArrayView(Bytes).sliced(2));
    } else {
        QStringDecoder dec(QStringConverter::Utf8,
                           QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
        text = dec.decode(Bytes);
        if (dec.hasError()) {
            FEncoding = TIniEncoding::SingleByte;
            text = DecodeSingleByte(Bytes);
        } else {
            FEncoding = TIniEncoding::Utf8;
        }
    }

    const qsizetype n = text.size();
    qsizetype start = 0;
    while (start < n) {
        qsizetype i = start;
        while (i < n && text[i] != u'\n' && text[i] != u'\r')
            ++i;
        Line L;
        L.Text = text.mid(start, i - start);
        if (i < n) {
            if (text[i] == u'\r' && i + 1 < n && text[i + 1] == u'\n') {
                L.Eol = QStringLiteral("\r\n");
                i += 2;
            } else {
                L.Eol = text[i];
                ++i;
            }
        }
        Classify(L);
        FLines.push_back(std::move(L));
        start = i;
    }
}

void TIniFile::Classify(Line& L)
{
    const QStringView t(L.Text);
    qsizetype b = 0;
    while (b < t.size() && isBlank(t[b]))
        ++b;
    if (b < t.size() && t[b] == u'[') {
        qsizetype e = t.indexOf(u']', b + 1);
        if (e < 0)
            e = t.size();
        const QStringView name = trimBlanks(t.mid(b + 1, e - b - 1));
        L.Kind = LineKind::Section;
        L.NameStart = int(name.data() - t.data());
        L.NameLength = int(name.size());
        return;
    }
    const qsizetype eq = t.indexOf(u'=');
    if (eq < 0)
        return;
    const QStringView key = trimBlanks(t.first(eq));
    if (key.isEmpty())
        return;
    L.Kind = LineKind::Entry;
    L.NameStart = int(key.data() - t.data());
    L.NameLength = int(key.size());
    L.ValueStart = int(eq + 1);
}

int TIniFile::FindSection(const QString& Section, int& End) const
{
    const QStringView wanted = trimBlanks(Section);
    const int n = int(FLines.size());
    for (int i = 0; i < n; ++i) {
        if (FLines[i].Kind != LineKind::Section || NameOf(FLines[i]).compare(wanted, Qt::CaseInsensitive) != 0)
            continue;
        int e = i + 1;
        while (e < n && FLines[e].Kind != LineKind::Section)
            ++e;
        End = e;
        return i;
    }
    End = -1;
    return -1;
}

int TIniFile::FindKey(int First, int End, const QString& Key) const
{
    const QStringView wanted = trimBlanks(Key);
    for (int i = First + 1; i < End; ++i)
        if (FLines[i].Kind == LineKind::Entry && NameOf(FLines[i]).compare(wanted, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

QString TIniFile::ReadString(const QString& Section, const QString& Key, const QString& Default) const
{
    int end = 0;
    const int s = FindSection(Section, end);
    if (s >= 0) {
        const int k = FindKey(s, end, Key);
        if (k >= 0)
            return CookValue(QStringView(FLines[k].Text).mid(FLines[k].ValueStart));
    }
    return Default;
}

bool TIniFile::ValueExists(const QString& Section, const QString& Key) const
{
    int end = 0;
    const int s = FindSection(Section, end);
    return s >= 0 && FindKey(s, end, Key) >= 0;
}

bool TIniFile::SectionExists(const QString& Section) const
{
    int end = 0;
    return FindSection(Section, end) >= 0;
}

QStringList TIniFile::ReadSection(const QString& Section) const
{
    QStringList keys;
    int end = 0;
    const int s = FindSection(Section, end);
    for (int i = s + 1; s >= 0 && i < end; ++i) {
        if (FLines[i].Kind != LineKind::Entry)
            continue;
        const QString key = NameOf(FLines[i]).toString();
        if (!keys.contains(key, Qt::CaseInsensitive))
            keys.append(key);
    }
    return keys;
}

QString TIniFile::DefaultEol() const
{
    for (const Line& L : FLines)
        if (!L.Eol.isEmpty())
            return L.Eol;
    return QStringLiteral("\r\n");
}

void TIniFile::WriteString(const QString& Section, const QString& Key, const QString& Value)
{
    QString value = Value;
    value.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    value.replace(u'\r', u' ');
    value.replace(u'\n', u' ');
    const QString key = trimBlanks(Key).toString();

    int end = 0;
    int s = FindSection(Section, end);
    if (s >= 0) {
        const int k = FindKey(s, end, Key);
        if (k >= 0) {
            Line& L = FLines[k];
            // Keep the key as the file spells it; replace what follows '='.
            const QString newText = L.Text.left(L.ValueStart) + value;
            if (newText != L.Text) {
                L.Text = newText;
                FModified = true;
            }
            return;
        }
        // After the last entry (or the header) of the section, so that blank
        // lines and comments separating it from the next section stay there.
        int at = s;
        for (int i = s + 1; i < end; ++i)
            if (FLines[i].Kind != LineKind::Other || !trimBlanks(FLines[i].Text).isEmpty())
                at = i;
        Line L;
        L.Text = key + u'=' + value;
        Classify(L);
        L.Eol = DefaultEol();
        if (FLines[at].Eol.isEmpty())
            FLines[at].Eol = L.Eol;
        FLines.insert(FLines.begin() + at + 1, std::move(L));
        FModified = true;
        return;
    }

    const QString eol = DefaultEol();
    if (!FLines.empty() && FLines.back().Eol.isEmpty())
        FLines.back().Eol = eol;
    Line H;
    H.Text = u'[' + trimBlanks(Section).toString() + u']';
    H.Eol = eol;
    Classify(H);
    FLines.push_back(std::move(H));
    Line L;
    L.Text = key + u'=' + value;
    L.Eol = eol;
    Classify(L);
    FLines.push_back(std::move(L));
    FModified = true;
}

QString TIniFile::Text() const
{
    QString out;
    qsizetype total = 0;
    for (const Line& L : FLines)
        total += L.Text.size() + L.Eol.size();
    out.reserve(total);
    for (const Line& L : FLines) {
        out += L.Text;
        out += L.Eol;
    }
    return out;
}

bool TIniFile::UpdateFile()
{
    if (!FLoaded)
        return false;
    if (!FModified && FExists)
        return true;

    const QString text = Text();
    QByteArray bytes;
    switch (FEncoding) {
    case TIniEncoding::SingleByte:
        // Kept single-byte only while the bytes will be read as such again:
        // once an edit removed what made the file invalid UTF-8, its other
        // non-ASCII bytes would be taken as UTF-8 on the next load.
        if (EncodeSingleByte(text, bytes) && ReadsBackAsSingleByte(bytes))
            break;
        FEncoding = TIniEncoding::Utf8;
        bytes = text.toUtf8();
        break;
    case TIniEncoding::Utf8:
        bytes = text.toUtf8();
        break;
    case TIniEncoding::Utf8Bom:
        bytes = QByteArray("\xEF\xBB\xBF") + text.toUtf8();
        break;
    case TIniEncoding::Utf16LE: {
        QStringEncoder enc(QStringConverter::Utf16LE, QStringConverter::Flag::Stateless);
        bytes = QByteArray("\xFF\xFE") + QByteArray(enc.encode(text));
        break;
    }
    case TIniEncoding::Utf16BE: {
        QStringEncoder enc(QStringConverter::Utf16BE, QStringConverter::Flag::Stateless);
        bytes = QByteArray("\xFE\xFF") + QByteArray(enc.encode(text));
        break;
    }
    }

    // Unbuffered, so that a short write (disk full, size limit) is seen here
    // and not lost inside a buffered flush.
    QSaveFile f(FFileName);
    f.setDirectWriteFallback(false);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    if (f.write(bytes) != bytes.size()) {
        f.cancelWriting();
        return false;
    }
    if (!f.commit())
        return false;
    FModified = false;
    FExists = true;
    return true;
}

QString GetPrivateProfileString(const QString& Section, const QString& Key, const QString& Default,
                                const QString& FileName)
{
    return TIniFile(FileName).ReadString(Section, Key, Default);
}

bool WritePrivateProfileString(const QString& Section, const QString& Key, const QString& Value,
                               const QString& FileName)
{
    TIniFile ini(FileName);
    ini.WriteString(Section, Key, Value);
    return ini.UpdateFile();
}

} // namespace zorp
