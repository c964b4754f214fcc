// SPDX-License-Identifier: GPL-3.0-or-later
// Settings files that fuzzing turned up: each case here once changed what a
// file held after an unrelated key was saved.
#include "IniFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using zorp::TIniFile;

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

} // namespace

// A single-byte file is single-byte because some byte sequence in it is not
// UTF-8. When the save replaces that sequence, the rest may happen to form
// UTF-8 ("ď»ż" is EF BB BF); written back as single-byte bytes it would be
// read as UTF-8 next time and those characters would change.
TEST(HostileIni, SingleByteFileWhoseRestLooksLikeUtf8KeepsItsText)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.zvst"));
    // "\xBB\xBF" alone is not UTF-8; "\xEF\xBB\xBF" in the second section is.
    writeAll(path, "[Address]\r\nLength=x\xBB\xBF\r\n[Cells_Description]\r\n1=\xEF\xBB\xBF\r\n2=\xB9\r\n");
    TIniFile ini(path);
    ASSERT_EQ(ini.Encoding(), zorp::TIniEncoding::SingleByte);
    const QString one = ini.ReadString(QStringLiteral("Cells_Description"), QStringLiteral("1"), QString());
    const QString two = ini.ReadString(QStringLiteral("Cells_Description"), QStringLiteral("2"), QString());
    EXPECT_EQ(one, QString::fromUtf8("ď»ż"));
    EXPECT_EQ(two, QString::fromUtf8("ą"));

    ini.WriteString(QStringLiteral("Address"), QStringLiteral("Length"), QStringLiteral("10"));
    ASSERT_TRUE(ini.UpdateFile());

    TIniFile back(path);
    EXPECT_EQ(back.ReadString(QStringLiteral("Address"), QStringLiteral("Length"), QString()), "10");
    EXPECT_EQ(back.ReadString(QStringLiteral("Cells_Description"), QStringLiteral("1"), QString()), one);
    EXPECT_EQ(back.ReadString(QStringLiteral("Cells_Description"), QStringLiteral("2"), QString()), two);
}

// A single-byte file that still holds a non-UTF-8 sequence after the save
// stays single-byte, byte for byte outside the key written.
TEST(HostileIni, SingleByteFileStaysSingleByteWhileItCan)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.zvst"));
    const QByteArray tail = "[Cells_Description]\r\n1=\xA3\xF3\x64\x9F\r\n";
    writeAll(path, "[Address]\r\nLength=1\r\n" + tail);
    TIniFile ini(path);
    ini.WriteString(QStringLiteral("Address"), QStringLiteral("Length"), QStringLiteral("20"));
    ASSERT_TRUE(ini.UpdateFile());
    EXPECT_EQ(readAll(path).toHex(' ').toStdString(), ("[Address]\r\nLength=20\r\n" + tail).toHex(' ').toStdString());
}
