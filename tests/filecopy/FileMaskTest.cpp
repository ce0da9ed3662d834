#include "filecopy/FileMask.h"

#include <gtest/gtest.h>

using dozorix::matchesFileMask;

namespace {

struct MaskCase {
    const char *mask;
    const char *name;
    bool matches;
};

class FileMaskTest : public ::testing::TestWithParam<MaskCase>
{
};

TEST_P(FileMaskTest, Matches)
{
    const MaskCase &c = GetParam();
    EXPECT_EQ(matchesFileMask(QString::fromUtf8(c.name), QString::fromUtf8(c.mask)), c.matches)
        << c.mask << " ~ " << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileMaskTest,
    ::testing::Values(MaskCase{"*.*", "1Cv8.1CD", true}, MaskCase{"*.*", "Makefile", true},
                      MaskCase{"*.*", ".hidden", true}, MaskCase{"", "anything", true},
                      MaskCase{"*", "a.b.c", true}, MaskCase{"*.txt", "REPORT.TXT", true},
                      MaskCase{"*.txt", "report.txt.bak", false}, MaskCase{"*.1cd", "1Cv8.1CD", true},
                      MaskCase{"report.*", "report", true}, MaskCase{"report.*", "report.xml", true},
                      MaskCase{"report.*", "reports", false}, MaskCase{"r?port.txt", "rapport.txt", false},
                      MaskCase{"r?port.txt", "report.txt", true}, MaskCase{"a*b*c", "aXXbYYc", true},
                      MaskCase{"a*b*c", "aXXbYY", false}, MaskCase{"*.txt", "Ёлка.TXT", true},
                      MaskCase{"ёлка*", "Ёлка.txt", true}));

} // namespace
