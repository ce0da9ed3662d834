#include "common/TextCodec.h"

#include <gtest/gtest.h>

using namespace dozorix;

TEST(TextCodec, RussianTextInBothPages)
{
    const QString text = QStringLiteral("Служба \"1C:Enterprise\" успешно остановлена. Ёё №");
    // Known bytes: "Сл" is D1 EB in 1251 and 91 AB in 866.
    EXPECT_EQ(toCp1251(text).left(2), QByteArray("\xD1\xEB"));
    EXPECT_EQ(toCp866(text).left(2), QByteArray("\x91\xAB"));
    EXPECT_EQ(fromCp1251(toCp1251(text)), text);
    EXPECT_EQ(fromCp866(toCp866(text)), text);
}

TEST(TextCodec, EveryByteDecodesAndComesBack)
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(static_cast<char>(b));
    for (CodePage cp : {CodePage::Cp866, CodePage::Cp1251}) {
        const QString s = decode(all, cp);
        ASSERT_EQ(s.size(), 256);
        EXPECT_EQ(encode(s, cp), all) << static_cast<int>(cp);
    }
}

TEST(TextCodec, CharactersThePageLacksBecomeQuestionMarks)
{
    EXPECT_EQ(toCp1251(u"a\u4E2Db"), QByteArray("a?b"));
    EXPECT_EQ(toCp866(u"\u20AC"), QByteArray("?")); // the euro sign is not in 866
}

TEST(TextCodec, Utf8Validation)
{
    struct Case {
        QByteArray bytes;
        bool valid;
    } cases[] = {
        {QByteArray(), true},
        {QStringLiteral("Пароль").toUtf8(), true},
        {QByteArray("\xD0\x9F\xD0"), false},         // cut in the middle of a character
        {QByteArray("\xCF\xE0\xF0\xEE\xEB\xFC"), false}, // "Пароль" in Windows-1251
        {QByteArray("\xC0\x80"), false},             // overlong NUL
        {QByteArray("\xED\xA0\x80"), false},         // surrogate
        {QByteArray("\xF0\x9F\x98\x80"), true},      // four-byte form
    };
    for (const auto &c : cases)
        EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << c.bytes.toHex().constData();
}
