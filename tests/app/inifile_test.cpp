#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "common/inifile.h"
#include "common/gbk.h"
#include "testsupport.h"

TEST(IniFile, MissingFileSectionOrKeyGivesTheDefaultAndCreatesNothing)
{
    DataDir dir;
    TIniFile ini(dir.ini());
    EXPECT_EQ(ini.ReadString("LANGUAGE", "Language", "简体中文"), QString("简体中文"));
    EXPECT_EQ(ini.ReadInteger("SCENE", "Current", 1), 1);
    EXPECT_FALSE(QFile::exists(dir.ini()));

    dir.writeIni("[COM]\nnum=COM3\n[SCENE]\nCurrent=abc\n");
    EXPECT_EQ(ini.ReadString("COM", "num", "COM1"), QString("COM3"));
    EXPECT_EQ(ini.ReadString("COM", "other", "x"), QString("x"));
    EXPECT_EQ(ini.ReadInteger("SCENE", "Current", 1), 1); // not a number
    EXPECT_EQ(ini.ReadString("com", "NUM", ""), QString("COM3")); // names are case-insensitive
}

TEST(IniFile, ReadsTheGbkFileOfTheOlderProgramAndWritesItBackInGbk)
{
    DataDir dir;
    bool ok = false;
    const QByteArray gbk = EncodeGbk(QString("[LANGUAGE]\r\nLanguage=简体中文\r\n[COM]\r\nnum=COM2\r\n"), &ok);
    ASSERT_TRUE(ok);
    ASSERT_NE(gbk, QString("简体中文").toUtf8()); // really another encoding
    dir.writeIni(gbk);

    TIniFile ini(dir.ini());
    EXPECT_EQ(ini.ReadString("LANGUAGE", "Language", ""), QString("简体中文"));
    EXPECT_TRUE(ini.isGbk());

    ASSERT_TRUE(ini.WriteString("COM", "num", "COM4"));
    const QByteArray after = dir.readIni();
    EXPECT_EQ(DecodeGbk(after), QString("[LANGUAGE]\r\nLanguage=简体中文\r\n[COM]\r\nnum=COM4\r\n"));
}

TEST(IniFile, WritingKeepsEveryOtherSectionKeyAndComment)
{
    DataDir dir;
    dir.writeIni("; site settings\n[LANGUAGE]\nLanguage=English\n\n[PORTS]\nCOM1=/dev/ttyUSB0\nCOM2=/dev/ttyUSB1\n"
                 "[Extra]\nkeep=me\n");
    TIniFile ini(dir.ini());
    ASSERT_TRUE(ini.WriteString("LANGUAGE", "Language", "简体中文"));
    ASSERT_TRUE(ini.WriteString("COM", "num", "COM5"));
    ASSERT_TRUE(ini.WriteString("PORTS", "COM3", "/dev/ttyACM0"));
    EXPECT_EQ(QString::fromUtf8(dir.readIni()),
              QString("; site settings\n[LANGUAGE]\nLanguage=简体中文\n\n[PORTS]\nCOM1=/dev/ttyUSB0\n"
                      "COM2=/dev/ttyUSB1\nCOM3=/dev/ttyACM0\n[Extra]\nkeep=me\n\n[COM]\nnum=COM5\n"));
    EXPECT_FALSE(ini.isGbk());
}

// A settings file that could not be read and decoded whole is never written: the change is kept
// for the run and reported as not saved. So is a change whose write fails.
TEST(IniFile, AFileNotReadWholeIsNeverRewrittenAndTheChangeHoldsForTheRun)
{
    struct Case {
        const char* what;
        QByteArray bytes; // empty: DB.ini is made a directory, which cannot be read as a file
        bool dataDirIsAFile = false;
    };
    const QByteArray utf16 = QByteArray("\xFF\xFE[\0C\0O\0M\0]\0\n\0n\0u\0m\0=\0C\0O\0M\0" "2\0\n\0", 28);
    const Case cases[] = {
        {"unreadable", QByteArray()},
        {"UTF-16 with its mark", utf16},
        {"UTF-16 without its mark", utf16.mid(2)},
        {"random bytes", QByteArray("\x8F\xFF\x01\xC3\x28\xA0\xA1\xFE\xFE\xFF\x80\x81", 12)},
        {"write fails", QByteArray(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir tmp;
        QString dataDir = tmp.path() + "/DFiles";
        if (c.dataDirIsAFile) {
            QFile blocker(dataDir);
            ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // the directory cannot be made
        } else if (c.bytes.isEmpty()) {
            ASSERT_TRUE(QDir().mkpath(dataDir + "/DB.ini"));
        } else {
            QDir().mkpath(dataDir);
            QFile f(dataDir + "/DB.ini");
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(c.bytes);
        }
        TIniFile ini(dataDir + "/DB.ini");
        EXPECT_EQ(ini.ReadString("COM", "num", "COM1"), QString("COM1"));
        EXPECT_FALSE(ini.WriteString("COM", "num", "COM3"));
        EXPECT_FALSE(ini.WriteString("LANGUAGE", "Language", "English"));
        EXPECT_EQ(ini.ReadString("COM", "num", "COM1"), QString("COM3"));
        EXPECT_EQ(ini.ReadString("language", "LANGUAGE", ""), QString("English"));
        if (!c.bytes.isEmpty()) {
            QFile f(dataDir + "/DB.ini");
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            EXPECT_EQ(f.readAll(), c.bytes);
        }
    }
}

TEST(IniFile, AKeptChangeIsSavedAlongWithTheNextWriteThatSucceeds)
{
    DataDir dir;
    const QString blocked = dir.path() + "/sub";
    TIniFile ini(blocked + "/DB.ini");
    QFile blocker(blocked);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(ini.WriteString("COM", "num", "COM3"));
    ASSERT_TRUE(QFile::remove(blocked));
    EXPECT_TRUE(ini.WriteString("LANGUAGE", "Language", "English"));
    EXPECT_EQ(TIniFile(blocked + "/DB.ini").ReadString("COM", "num", ""), QString("COM3"));
}

// A file written on another system comes back byte for byte but for the key changed: its byte
// order mark, its mixture of line endings, a last line without a line break. A file whose last
// character is cut short is not UTF-8 text and is never rewritten.
TEST(IniFile, WritingAKeyKeepsEveryOtherByteAsItWas)
{
    struct Case {
        const char* what;
        QByteArray before;
        bool saved;
        QByteArray after;
    };
    const Case cases[] = {
        {"byte order mark", "\xEF\xBB\xBF[COM]\nnum=COM1\n[SCENE]\nCurrent=2\n", true,
         "\xEF\xBB\xBF[COM]\nnum=COM3\n[SCENE]\nCurrent=2\n"},
        {"mixed line endings", "[LANGUAGE]\r\nLanguage=English\n[COM]\r\nnum=COM1\r\n; end\n", true,
         "[LANGUAGE]\r\nLanguage=English\n[COM]\r\nnum=COM3\r\n; end\n"},
        {"no line break at the end", "[COM]\nnum=COM1\n[SCENE]\nCurrent=2", true, "[COM]\nnum=COM3\n[SCENE]\nCurrent=2"},
        {"key added after a last line without a break", "[COM]\nbaud=4800", true, "[COM]\nbaud=4800\nnum=COM3\n"},
        {"utf-8 character cut short at the end", "[COM]\nnum=COM1\n; \xE4", false, "[COM]\nnum=COM1\n; \xE4"},
    };
    for (const Case& c : cases) {
        DataDir dir;
        dir.writeIni(c.before);
        TIniFile ini(dir.ini());
        EXPECT_EQ(ini.WriteString("COM", "num", "COM3"), c.saved) << c.what;
        EXPECT_EQ(dir.readIni(), c.after) << c.what;
        EXPECT_EQ(ini.ReadString("COM", "num", ""), QString("COM3")) << c.what;
    }
}
