// The one "*" / "?" matcher behind file masks and taskkill's image and user
// names.
#include "common/Wildcard.h"

#include <QString>

#include <gtest/gtest.h>

using dozorix::wildcardMatch;

TEST(Wildcard, MatchesTextAgainstPattern)
{
    struct Case {
        const char *text;
        const char *pattern;
        bool matches;
    } cases[] = {
        // Whole text against whole pattern.
        {"", "", true},
        {"a", "", false},
        {"", "?", false},
        {"", "*", true},
        {"", "***", true},
        {"rphost", "rphost", true},
        {"rphost", "rphos", false},
        {"rphos", "rphost", false},
        // "?" is exactly one character.
        {"rphost", "rph?st", true},
        {"rphst", "rph?st", false},
        {"ab", "ab?", false},
        {"a?c", "a?c", true},
        // "*" is any run, none included, and backs off when the rest fails.
        {"rphost.exe", "rphost*", true},
        {"rphost", "rphost*", true},
        {"rphost.exe", "*.exe", true},
        {"aXXbYYc", "a*b*c", true},
        {"aXXbYY", "a*b*c", false},
        {"abcbc", "*bc", true},
        {"mississippi", "*iss*ppi", true},
        {"mississippi", "*iss*ppx", false},
        {"abca", "**a", true},
        {"abc", "**a**", true},
        {"bcd", "**a**", false},
        // A "*" or "?" in the text is an ordinary character there.
        {"*ba", "*a", true},
        {"?", "*", true},
        // Letters by case folding, Latin, Cyrillic and Greek alike.
        {"RPHOST.EXE", "rphost*", true},
        {"Ёлка.TXT", "ёлка*.txt", true},
        {"ОТЧЁТ", "отчет", false},
        {"οδος", "ΟΔΟΣ", true},  // final sigma folds like sigma
        {"straße", "STRAẞE", true}, // capital sharp s
        {"1Cv8.1CD", "*.1cd", true},
        // Characters beyond the Basic Multilingual Plane are one character.
        {"𝒜", "?", true},
        {"𝒜", "??", false},
        {"x𝒜y", "x?y", true},
        {"𐐨", "𐐀", true}, // Deseret small and capital letter long i
    };
    for (const Case &c : cases) {
        const QString text = QString::fromUtf8(c.text);
        const QString pattern = QString::fromUtf8(c.pattern);
        EXPECT_EQ(wildcardMatch(text, pattern), c.matches) << c.text << " ~ " << c.pattern;
    }
}
