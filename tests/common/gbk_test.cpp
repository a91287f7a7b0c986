// The GBK code page: byte counting for names, and the codec of settings files and passwords.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>

#include "common/gbk.h"

TEST(GbkLength, CountsBytesOfTheChineseCodePage)
{
    EXPECT_TRUE(GbkCodePageAvailable());  // Qt with ICU here; the counting below holds either way
    struct Case {
        QString text;
        int bytes;
    };
    const Case cases[] = {
        {QString(), 0},
        {QStringLiteral("Hall 3"), 6},
        {QStringLiteral("未编组"), 6},
        {QStringLiteral("A区升降机1"), 10},
        {QStringLiteral("（全角）"), 8},
        {QString::fromUcs4(U"\U0001F600"), 2},  // not in GBK: counted as two
        {QString::fromUcs4(U"\U0001F600区\U0001F600\U0001F600a"), 9},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GbkLength(c.text), c.bytes) << c.text.toStdString();

    EXPECT_EQ(TruncateToGbkBytes(QStringLiteral("A区升降机1"), 4), QStringLiteral("A区"));
    EXPECT_EQ(TruncateToGbkBytes(QStringLiteral("A区升降机1"), 5), QStringLiteral("A区升"));
    EXPECT_EQ(TruncateToGbkBytes(QStringLiteral("A区升降机1"), 100), QStringLiteral("A区升降机1"));
    EXPECT_EQ(TruncateToGbkBytes(QStringLiteral("区"), 1), QString());  // never half a character
    const QString mixed = QStringLiteral("ab") + QString::fromUcs4(U"\U0001F600") + QStringLiteral("c");
    EXPECT_EQ(TruncateToGbkBytes(mixed, 3), QStringLiteral("ab"));  // no lone surrogate
    for (int max = 0; max <= 20; ++max)
        EXPECT_LE(GbkLength(TruncateToGbkBytes(QString(12, QChar(0x7EC4)), max)), max);
}

TEST(GbkCodec, DecodesOnlyWhatEncodesBackToTheSameBytes)
{
    struct Case {
        const char* what;
        QByteArray bytes;
        bool ok;
        QString text;
    };
    const Case cases[] = {
        {"ascii", QByteArray("num=COM2"), true, QStringLiteral("num=COM2")},
        {"chinese", QByteArray("\xBC\xF2\xCC\xE5\xD6\xD0\xCE\xC4"), true, QStringLiteral("简体中文")},
        {"euro sign of code page 936", QByteArray("\x80"), true, QString(QChar(0x20AC))},
        {"utf-16 with its byte-order mark", QByteArray("\xFF\xFEL\0a\0", 6), false, QString()},
        {"lead byte without its trail", QByteArray("Language=\xBC"), false, QString()},
        {"four-byte sequence of GB18030 only", QByteArray("\x81\x30\x81\x30"), false, QString()},
    };
    for (const Case& c : cases) {
        bool ok = !c.ok;
        EXPECT_EQ(DecodeGbk(c.bytes, &ok), c.text) << c.what;
        EXPECT_EQ(ok, c.ok) << c.what;
    }
    bool ok = false;
    EXPECT_EQ(EncodeGbk(QStringLiteral("简体中文"), &ok), QByteArray("\xBC\xF2\xCC\xE5\xD6\xD0\xCE\xC4"));
    EXPECT_TRUE(ok);
    // Text GBK holds only in its user-defined area, or not at all, is not encoded: written into a
    // settings file it would make the file unreadable, or read back as other text.
    for (const QString& text : {QString::fromUcs4(U"\U0001F600"), QStringLiteral("COM\uE0B1"), QString(QChar(0xDA7C))}) {
        ok = true;
        EXPECT_TRUE(EncodeGbk(text, &ok).isEmpty()) << text.size();
        EXPECT_FALSE(ok);
    }
}
