// SPDX-License-Identifier: GPL-3.0-or-later
// The profile-file layer: reading rules, key-by-key update, encodings and
// line ends of files written elsewhere, atomic replacement, bad files.
#include "IniFile.h"
#include "SerialPorts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/resource.h>

using zorp::TIniFile;

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

class IniTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const QString& name = QStringLiteral("t.ini")) const { return dir.filePath(name); }
};

} // namespace

TEST_F(IniTest, ReadingRulesCaseBlanksQuotesAndDefaults)
{
    writeAll(path(), "; comment\r\n"
                     "[Address]\r\n"
                     "  Start  =   12  \r\n"
                     "Quoted=\"  inner  \"\r\n"
                     "Single='x'\r\n"
                     "Mismatched=\"abc'\r\n"
                     "OneQuote=\"\r\n"
                     "Empty=\r\n"
                     "Tabs=\tv\t\r\n"
                     "Start=second\r\n"
                     "[ Cells_DataType ]\r\n"
                     "1=UInt32 (LongWord) AABB CCDD\r\n"
                     "[ADDRESS]\r\n"
                     "Start=from a repeated section\r\n"
                     "Later=not seen\r\n");
    TIniFile ini(path());
    EXPECT_EQ(ini.ReadString("address", "START", "d"), "12");
    EXPECT_EQ(ini.ReadString("Address", "Quoted", "d"), "  inner  ");
    EXPECT_EQ(ini.ReadString("Address", "Single", "d"), "x");
    EXPECT_EQ(ini.ReadString("Address", "Mismatched", "d"), "\"abc'");
    EXPECT_EQ(ini.ReadString("Address", "OneQuote", "d"), "\"");
    EXPECT_EQ(ini.ReadString("Address", "Empty", "d"), "");
    EXPECT_EQ(ini.ReadString("Address", "Tabs", "d"), "v");
    EXPECT_EQ(ini.ReadString("Address", "Missing", "d"), "d");
    EXPECT_EQ(ini.ReadString("Nowhere", "Start", "d"), "d");
    EXPECT_EQ(ini.ReadString("CELLS_DATATYPE", "1", ""), "UInt32 (LongWord) AABB CCDD");
    // Comment lines are no entries of any section; the first of repeated
    // sections is the section, its first key of a name the key.
    EXPECT_FALSE(ini.ValueExists("Address", "; comment"));
    EXPECT_FALSE(ini.ValueExists("Address", "Later"));
    EXPECT_EQ(ini.ReadSection("address"),
              QStringList({"Start", "Quoted", "Single", "Mismatched", "OneQuote", "Empty", "Tabs"}));
}

// The serial-port list reads "comports.ini" through the same layer: a
// single-byte file, lone CR line ends, repeated sections and keys.
TEST_F(IniTest, ComPortMapFollowsTheSameRules)
{
    writeAll(path(), "[Ports]\r1=/dev/serial/by-id/usb-\xA3\xF3" "d\x9F\r01=/dev/a\r+2=/dev/b\r1=/dev/c\r"
                     "3=\"/dev/ttyUSB3\"\r[Other]\r4=/dev/d\r[ports]\r5=/dev/e\r");
    const QMap<int, QString> map = zorp::ReadComPortMap(path());
    EXPECT_EQ(map, (QMap<int, QString>{{1, QStringLiteral("/dev/serial/by-id/usb-Łódź")}, {3, "/dev/ttyUSB3"}}));
}

TEST_F(IniTest, LongValuesAreCutAt2047)
{
    const QByteArray big(5000, 'a');
    writeAll(path(), "[S]\nK=" + big + "\nQ=\"" + big + "\"\n");
    TIniFile ini(path());
    EXPECT_EQ(ini.ReadString("S", "K", "").size(), 2047);
    EXPECT_EQ(ini.ReadString("S", "Q", ""), QString(2047, u'a'));
}

TEST_F(IniTest, UpdateKeepsEverythingItDoesNotWrite)
{
    const QByteArray original = "; keep me\r\n"
                                "[Address]\r\n"
                                "Start=1\r\n"
                                "Other = kept \r\n"
                                "\r\n"
                                "[Cells_DataType]\r\n"
                                "1=Hex\r\n"
                                "7=Float\r\n"
                                "\r\n"
                                "[Foreign]\r\n"
                                "x=y\r\n";
    writeAll(path(), original);
    TIniFile ini(path());
    ini.WriteString("ADDRESS", "start", "5");
    ini.WriteString("Address", "Length", "4");
    ini.WriteString("Cells_DataType", "2", "---");
    ini.WriteString("New", "k", "v");
    ASSERT_TRUE(ini.UpdateFile());
    EXPECT_EQ(readAll(path()), QByteArray("; keep me\r\n"
                                          "[Address]\r\n"
                                          "Start=5\r\n"
                                          "Other = kept \r\n"
                                          "Length=4\r\n"
                                          "\r\n"
                                          "[Cells_DataType]\r\n"
                                          "1=Hex\r\n"
                                          "7=Float\r\n"
                                          "2=---\r\n"
                                          "\r\n"
                                          "[Foreign]\r\n"
                                          "x=y\r\n"
                                          "[New]\r\n"
                                          "k=v\r\n"));
}

TEST_F(IniTest, NewFileIsUtf8WithCrlfAndRoundTrips)
{
    {
        TIniFile ini(path());
        ini.WriteString("S", "a", QStringLiteral("zażółć \"q\""));
        ini.WriteString("S", "b", QStringLiteral("line1\r\nline2\nline3"));
        ASSERT_TRUE(ini.UpdateFile());
    }
    const QByteArray bytes = readAll(path());
    EXPECT_EQ(bytes, QStringLiteral("[S]\r\na=zażółć \"q\"\r\nb=line1 line2 line3\r\n").toUtf8());
    TIniFile again(path());
    EXPECT_EQ(again.ReadString("S", "a", ""), QStringLiteral("zażółć \"q\""));
    // A line break in a value cannot start a new entry.
    EXPECT_FALSE(again.ValueExists("S", "line2"));
}

TEST_F(IniTest, FilesWrittenOnWindowsLoadAndKeepTheirEncoding)
{
    struct Case {
        const char* name;
        QByteArray bytes;
        zorp::TIniEncoding enc;
    };
    const QString text = QStringLiteral("[TfrmModbusMaster]\r\nleIP_Text=Łódź\r\nNormPos=1,2,3,4\r\n");
    QByteArray cp1250 = "[TfrmModbusMaster]\r\nleIP_Text=\xA3\xF3" "d\x9F\r\nNormPos=1,2,3,4\r\n";
    auto utf16 = [&](bool le) {
        QByteArray b = le ? QByteArray("\xFF\xFE") : QByteArray("\xFE\xFF");
        for (QChar c : text) {
            const char hi = char(c.unicode() >> 8), lo = char(c.unicode() & 0xFF);
            if (le)
                b.append(lo).append(hi);
            else
                b.append(hi).append(lo);
        }
        return b;
    };
    const std::vector<Case> cases = {
        {"utf8", text.toUtf8(), zorp::TIniEncoding::Utf8},
        {"utf8bom", QByteArray("\xEF\xBB\xBF") + text.toUtf8(), zorp::TIniEncoding::Utf8Bom},
        {"utf16le", utf16(true), zorp::TIniEncoding::Utf16LE},
        {"utf16be", utf16(false), zorp::TIniEncoding::Utf16BE},
        {"cp1250", cp1250, zorp::TIniEncoding::SingleByte},
        {"lf", QByteArray(text.toUtf8()).replace("\r\n", "\n"), zorp::TIniEncoding::Utf8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeAll(path(), c.bytes);
        TIniFile ini(path());
        EXPECT_EQ(ini.Encoding(), c.enc);
        EXPECT_EQ(ini.ReadString("tfrmmodbusmaster", "leIP_Text", ""), QStringLiteral("Łódź"));
        EXPECT_EQ(ini.ReadString("TfrmModbusMaster", "NormPos", ""), "1,2,3,4");
        // Rewriting a key with the same value changes no byte; a new value
        // changes only its own line.
        ini.WriteString("TfrmModbusMaster", "leIP_Text", QStringLiteral("Łódź"));
        ASSERT_TRUE(ini.UpdateFile());
        EXPECT_EQ(readAll(path()), c.bytes);
        ini.WriteString("TfrmModbusMaster", "NormPos", "5,6,7,8");
        ASSERT_TRUE(ini.UpdateFile());
        TIniFile back(path());
        EXPECT_EQ(back.Encoding(), c.enc);
        EXPECT_EQ(back.ReadString("TfrmModbusMaster", "NormPos", ""), "5,6,7,8");
        EXPECT_EQ(back.ReadString("TfrmModbusMaster", "leIP_Text", ""), QStringLiteral("Łódź"));
        EXPECT_EQ(back.Text().contains(QStringLiteral("\r\n")), std::string(c.name) != "lf");
    }
}

TEST_F(IniTest, SingleByteFileTakesUtf8WhenItMustStoreForeignText)
{
    writeAll(path(), "[S]\r\nd=\xB9\r\n"); // 0xB9 is "ą" in the Central European code page
    TIniFile ini(path());
    ASSERT_EQ(ini.Encoding(), zorp::TIniEncoding::SingleByte);
    EXPECT_EQ(ini.ReadString("S", "d", ""), QStringLiteral("ą"));
    ini.WriteString("S", "e", QStringLiteral("日本"));
    ASSERT_TRUE(ini.UpdateFile());
    TIniFile back(path());
    EXPECT_EQ(back.Encoding(), zorp::TIniEncoding::Utf8);
    EXPECT_EQ(back.ReadString("S", "d", ""), QStringLiteral("ą"));
    EXPECT_EQ(back.ReadString("S", "e", ""), QStringLiteral("日本"));
}

TEST_F(IniTest, BinaryAndHugeFilesReadSafely)
{
    QByteArray binary;
    for (int i = 0; i < 4096; ++i)
        binary.append(char((i * 37 + 11) & 0xFF));
    writeAll(path("bin.ini"), binary);
    {
        TIniFile ini(path("bin.ini"));
        EXPECT_TRUE(ini.Loaded());
        EXPECT_EQ(ini.ReadString("TfrmModbusMaster", "ShowCmd", "dflt"), "dflt");
        // Rewriting keeps the junk byte for byte and adds the entry.
        ini.WriteString("S", "k", "v");
        ASSERT_TRUE(ini.UpdateFile());
        EXPECT_TRUE(readAll(path("bin.ini")).startsWith(binary));
        EXPECT_EQ(TIniFile(path("bin.ini")).ReadString("S", "k", ""), "v");
    }

    QByteArray huge = "[S]\r\nK=";
    huge.append(QByteArray(10 * 1024 * 1024, 'x'));
    huge.append("\r\nAfter=1\r\n");
    writeAll(path("huge.ini"), huge);
    TIniFile big(path("huge.ini"));
    EXPECT_EQ(big.ReadString("S", "K", "").size(), 2047);
    EXPECT_EQ(big.ReadString("S", "After", ""), "1");
    big.WriteString("S", "After", "2");
    ASSERT_TRUE(big.UpdateFile());
    EXPECT_EQ(QFileInfo(path("huge.ini")).size(), huge.size());
}

TEST_F(IniTest, FilesThatCannotBeParsedAreNeverReplaced)
{
    // A folder in place of the file reads as empty and is not saved over.
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder.ini"));
    TIniFile ini(path("folder.ini"));
    EXPECT_FALSE(ini.Loaded());
    EXPECT_EQ(ini.ReadString("S", "k", "d"), "d");
    ini.WriteString("S", "k", "v");
    EXPECT_FALSE(ini.UpdateFile());
    EXPECT_TRUE(QFileInfo(path("folder.ini")).isDir());
}

TEST_F(IniTest, FailedSaveLeavesTheOldFileInPlace)
{
    // A full disk, simulated by a file-size limit: the write of the new
    // contents fails and the good file stays as it was.
    writeAll(path(), "[S]\r\nk=old\r\n");
    TIniFile ini(path());
    ini.WriteString("S", "k", QString(4000, u'n'));
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool ok = ini.UpdateFile();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(ok);
    EXPECT_EQ(readAll(path()), QByteArray("[S]\r\nk=old\r\n"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"t.ini"});

    // A folder that cannot hold the file at all.
    writeAll(path("plain"), "x");
    EXPECT_FALSE(zorp::WritePrivateProfileString("S", "k", "v", path("plain") + "/t.ini"));
}

TEST_F(IniTest, SaveReplacesAtomicallyAndLeavesNoTemporaryFile)
{
    writeAll(path(), "[S]\r\nk=old\r\n");
    // A reader holding the old file keeps seeing the old contents: the new
    // file is a different one renamed into place, not the old one rewritten.
    QFile reader(path());
    ASSERT_TRUE(reader.open(QIODevice::ReadOnly));
    ASSERT_TRUE(zorp::WritePrivateProfileString("S", "k", "new", path()));
    EXPECT_EQ(reader.readAll(), QByteArray("[S]\r\nk=old\r\n"));
    EXPECT_EQ(zorp::GetPrivateProfileString("S", "k", "", path()), "new");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"t.ini"});
}
