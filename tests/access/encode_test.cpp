#include <gtest/gtest.h>

#include <ostream>

#include <QApplication>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QStyle>
#include <QTest>

#include "access/encode.h"
#include "access/passwordedit.h"

namespace {

struct Vector {
    const char* name;
    const char* text;
    const char* encoded;
};

void PrintTo(const Vector& c, std::ostream* os) { *os << c.name; }

const Vector Vectors[] = {
    {"empty", "", "6C 72 41 75 62 63 66 6D"},
    {"eight_characters", "12345678", "79 53 74 38 33 02 17 F0"},
    {"ninth_character_ignored", "123456789", "79 53 74 38 33 02 17 F0"},
    {"byte_encoding_to_zero", "I", "00 72 41 75 62 63 66 6D"},
    {"chinese", "密码", "58 BD 6D CB 62 63 66 6D"},
    {"chinese_eight_bytes", "超级用户", "51 BC 8C 20 5D 5F DF 17"},
    {"chinese_beyond_eight_bytes", "超级用户密码", "51 BC 8C 20 5D 5F DF 17"},
    {"character_outside_gbk", "a\U0001F600", "7E 83 41 75 62 63 66 6D"},
};

class EnCodeVectors : public ::testing::TestWithParam<Vector> {};

}  // namespace

TEST_P(EnCodeVectors, GivesTheEightBytes)
{
    EXPECT_EQ(EnCode(QString::fromUtf8(GetParam().text)).toHex(' '),
              QByteArray::fromHex(GetParam().encoded).toHex(' '));
}

INSTANTIATE_TEST_SUITE_P(Table, EnCodeVectors, ::testing::ValuesIn(Vectors),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PasswordField, TakesEightCharactersShownAsStarsAndOnlyGbkText)
{
    QWidget window;
    QLineEdit* edit = NewPasswordEdit(&window, QStringLiteral("passwordEdit"));
    window.show();
    QTest::keyClicks(edit, QStringLiteral("abcdefghij"));
    EXPECT_EQ(edit->text(), QStringLiteral("abcdefgh"));
    EXPECT_EQ(edit->displayText(), QStringLiteral("********"));
    EXPECT_EQ(edit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, edit), '*');

    edit->clear();  // Chinese comes from an input method as committed text
    for (const QString& typed : {QStringLiteral("密码"), QStringLiteral("\U0001F600"), QStringLiteral("\uF8F5")}) {
        QInputMethodEvent input;
        input.setCommitString(typed);
        QApplication::sendEvent(edit, &input);
    }
    EXPECT_EQ(edit->text(), QStringLiteral("密码"));
}
