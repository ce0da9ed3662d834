// A file that cannot come back under the name it has on disk is not changed
// silently: its entry says what changed and why.

#include "filecopy/support/FileTestSupport.h"
#include "zip/FWZipWriter.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

struct NoteCase {
    const char *disk;
    const char *archive;  // UTF-8
    QStringList mentions; // empty: no note
};

TEST(ZipNameNotes, ChangedNamesSayWhyAndOwnNamesSayNothing)
{
    const std::vector<NoteCase> cases = {
        {"plain.txt", "plain.txt", {}},
        {"Ёлка.txt", "Ёлка.txt", {}},
        {"日.txt", "日.txt", {}},
        {"a\\b.txt", "a＼b.txt", {QStringLiteral("\"\\\""), QStringLiteral("U+FF3C")}},
        {"Отчет.txt", "Отчет.txt", {}},
        {"\xCE\xF2\xF7\xE5\xF2.txt", "Отчет (2).txt",
         {QStringLiteral("\\xCE\\xF2\\xF7\\xE5\\xF2.txt"), QStringLiteral("not UTF-8"), QStringLiteral("Windows-1251"),
          QStringLiteral("\"Отчет (2).txt\"")}},
        {"\xCF\xE0\xEF\xEA\xE0/data.txt", "Папка/data.txt",
         {QStringLiteral("folder \"Папка\""), QStringLiteral("\\xCF\\xE0\\xEF\\xEA\\xE0")}},
        {"tab\tname.txt", "tab␉name.txt", {QStringLiteral("control characters")}},
    };
    QTemporaryDir dir;
    const QByteArray src = QFile::encodeName(dir.filePath(QStringLiteral("src")));
    ::mkdir(src.constData(), 0755);
    ::mkdir((src + "/\xCF\xE0\xEF\xEA\xE0").constData(), 0755);
    for (const NoteCase &c : cases) {
        const QByteArray path = src + '/' + c.disk;
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << c.disk;
        ASSERT_EQ(::write(fd, c.disk, std::strlen(c.disk)), static_cast<ssize_t>(std::strlen(c.disk)));
        ::close(fd);
    }

    TFWZipWriter zip;
    ASSERT_EQ(zip.AddFolder(QString(), QFile::decodeName(src)), static_cast<int>(cases.size()));
    for (const NoteCase &c : cases) {
        SCOPED_TRACE(c.archive);
        const TFWZipWriterItem *item = nullptr;
        for (int i = 0; i < zip.Count(); ++i) {
            if (zip.GetItem(i)->FileName() == QString::fromUtf8(c.archive))
                item = zip.GetItem(i);
        }
        ASSERT_NE(item, nullptr);
        // The data is read from the file's own bytes.
        EXPECT_EQ(item->NativePath(), src + '/' + c.disk);
        if (c.mentions.isEmpty()) {
            EXPECT_EQ(item->NameNote(), QString());
            continue;
        }
        for (const QString &m : c.mentions)
            EXPECT_TRUE(item->NameNote().contains(m)) << qPrintable(item->NameNote()) << " lacks " << qPrintable(m);
    }
    removeTree(QFile::encodeName(dir.path()));
}

} // namespace
