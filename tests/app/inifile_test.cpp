#include <gtest/gtest.h>

#include "app/inifile.h"
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
