// The reasons behind errno values as the log and the letters show them: the
// common ones in Russian with the system's own words after them, whatever
// the locale the console runs in.

#include "common/SystemErrors.h"

#include <QString>

#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>

using namespace dozorix;

TEST(SystemErrors, CommonReasonsAreRussianWithTheSystemsWordsAfterThem)
{
    const struct {
        int err;
        const char *text;
    } cases[] = {
        {ENOENT, "нет такого файла или каталога (No such file or directory)"},
        {EACCES, "нет прав доступа (Permission denied)"},
        {EPERM, "операция не разрешена (Operation not permitted)"},
        {ENOSPC, "на диске нет свободного места (No space left on device)"},
        {EDQUOT, "исчерпана дисковая квота (Disk quota exceeded)"},
        {EROFS, "файловая система доступна только для чтения (Read-only file system)"},
        {ECONNREFUSED, "в подключении отказано (Connection refused)"},
        {ETIMEDOUT, "время ожидания истекло (Connection timed out)"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(systemErrorText(c.err), QString::fromUtf8(c.text)) << c.err;
    for (int err : {ENOENT, EACCES, EPERM, ENOSPC, EDQUOT, EFBIG, EROFS, EIO, EEXIST, ENOTDIR, EISDIR, ENAMETOOLONG,
                    ELOOP, EMFILE, EBUSY, ETXTBSY, EINTR, ECONNREFUSED, ETIMEDOUT, EHOSTUNREACH, ENETUNREACH}) {
        const QString text = systemErrorText(err);
        EXPECT_TRUE(text.at(0).script() == QChar::Script_Cyrillic) << text.toStdString();
        EXPECT_TRUE(text.endsWith(QLatin1Char('(') + systemErrorWords(err) + QLatin1Char(')'))) << text.toStdString();
    }
    // Anything else: the system's words alone.
    EXPECT_EQ(systemErrorText(ENOTSOCK), QStringLiteral("Socket operation on non-socket"));
}

TEST(SystemErrors, TheSystemsWordsDoNotFollowTheLocale)
{
    const char *before = std::setlocale(LC_MESSAGES, nullptr);
    const std::string saved = before ? before : "C";
    std::setlocale(LC_MESSAGES, "ru_RU.UTF-8"); // when installed, strerror would speak Russian
    EXPECT_EQ(systemErrorWords(EACCES), QStringLiteral("Permission denied"));
    std::setlocale(LC_MESSAGES, saved.c_str());
    EXPECT_EQ(systemErrorWords(-12345), QStringLiteral("ошибка -12345"));
}
