// The BACKUP statement texts: the documented form, the bracketed name and the
// doubled quotes that let any database name and folder through, and the
// server names FreeTDS is given.
#include "mssql/SqlStatements.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace dozorix;

namespace {

const QDateTime kAt(QDate(2026, 12, 9), QTime(1, 30, 0));

struct StatementCase {
    const char *database;
    const char *dir;
    const char *expectedDb;
    const char *expectedLog;
};

class StatementTable : public ::testing::TestWithParam<StatementCase>
{
};

TEST_P(StatementTable, DatabaseAndLogStatementsAsSent)
{
    const StatementCase &c = GetParam();
    EXPECT_EQ(backupDatabaseStatement(QString::fromUtf8(c.database), QString::fromUtf8(c.dir), kAt),
              QString::fromUtf8(c.expectedDb));
    EXPECT_EQ(backupLogStatement(QString::fromUtf8(c.database), QString::fromUtf8(c.dir), kAt),
              QString::fromUtf8(c.expectedLog));
}

INSTANTIATE_TEST_SUITE_P(
    Names, StatementTable,
    ::testing::Values(
        StatementCase{"Buh", "D:\\BACKUP", "BACKUP DATABASE [Buh] TO DISK = 'D:\\BACKUP\\09122026_013000_Buh.bak' ",
                      "BACKUP LOG [Buh] TO DISK = 'D:\\BACKUP\\09122026_013000_Buh.trn' "},
        // A blank in the name: one bracketed name, the file name keeps it.
        StatementCase{"Buh 2017", "D:\\BACKUP",
                      "BACKUP DATABASE [Buh 2017] TO DISK = 'D:\\BACKUP\\09122026_013000_Buh 2017.bak' ",
                      "BACKUP LOG [Buh 2017] TO DISK = 'D:\\BACKUP\\09122026_013000_Buh 2017.trn' "},
        // A quote in the folder and in the name is doubled inside the literal.
        StatementCase{"O'Neil", "D:\\Bob's",
                      "BACKUP DATABASE [O'Neil] TO DISK = 'D:\\Bob''s\\09122026_013000_O''Neil.bak' ",
                      "BACKUP LOG [O'Neil] TO DISK = 'D:\\Bob''s\\09122026_013000_O''Neil.trn' "},
        // A typed name cannot close the bracket and append a statement.
        StatementCase{"x]; DROP DATABASE Buh --", "E:\\B",
                      "BACKUP DATABASE [x]]; DROP DATABASE Buh --] TO DISK = 'E:\\B\\09122026_013000_x]; DROP DATABASE Buh --.bak' ",
                      "BACKUP LOG [x]]; DROP DATABASE Buh --] TO DISK = 'E:\\B\\09122026_013000_x]; DROP DATABASE Buh --.trn' "},
        // Nor can a folder close the literal.
        StatementCase{"Buh", "D:\\'; DROP DATABASE Buh --",
                      "BACKUP DATABASE [Buh] TO DISK = 'D:\\''; DROP DATABASE Buh --\\09122026_013000_Buh.bak' ",
                      "BACKUP LOG [Buh] TO DISK = 'D:\\''; DROP DATABASE Buh --\\09122026_013000_Buh.trn' "},
        // Cyrillic names and the untouched default folder text.
        StatementCase{"Бухгалтерия", "D:\\BACKUP_DOZORIX (Укажите свой путь)",
                      "BACKUP DATABASE [Бухгалтерия] TO DISK = 'D:\\BACKUP_DOZORIX (Укажите свой путь)\\09122026_013000_Бухгалтерия.bak' ",
                      "BACKUP LOG [Бухгалтерия] TO DISK = 'D:\\BACKUP_DOZORIX (Укажите свой путь)\\09122026_013000_Бухгалтерия.trn' "}));

TEST(SqlServerNames, PortAfterCommaBecomesFreeTdsForm)
{
    const struct {
        const char *typed;
        const char *server;
    } cases[] = {
        {"sql.local", "sql.local"},
        {"10.0.0.5,1433", "10.0.0.5:1433"},
        {"10.0.0.5, 14330", "10.0.0.5:14330"},
        {"sql.local:2000", "sql.local:2000"},
        {"SRV\\SQLEXPRESS", "SRV\\SQLEXPRESS"},
        {" sql.local ", "sql.local"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(freeTdsServerName(QString::fromUtf8(c.typed)), QString::fromUtf8(c.server)) << c.typed;
}

} // namespace
