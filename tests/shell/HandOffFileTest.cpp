// The hand-off files temp.txt and temp2.txt with something other than a
// regular file under their names: a link to a file elsewhere is neither read
// nor emptied nor written through, and the refusal is said once in red.
#include "common/LogSink.h"
#include "shell/HandOffFile.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;

TEST(HandOffFile, ALinkUnderTheNameIsNeitherReadNorEmptied)
{
    ProgramHome home;
    QTemporaryDir elsewhere;
    const QString secret = elsewhere.filePath(QStringLiteral("shadow"));
    {
        QFile f(secret);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("root:secret\n");
    }
    QStringList red;
    setLogReceiver([&](const QString &text, unsigned int rgb) {
        if (rgb == kLogRed)
            red << text;
    });
    for (const QString &name : {QStringLiteral("temp.txt"), QStringLiteral("TEMP2.TXT")}) {
        SCOPED_TRACE(name.toStdString());
        red.clear();
        ASSERT_TRUE(QFile::link(secret, home.file(name)));
        QStringList lines{QStringLiteral("old")};
        QString error;
        EXPECT_FALSE(loadHandOffLines(name, CodePage::Cp1251, &lines, &error));
        EXPECT_TRUE(lines.isEmpty());
        EXPECT_TRUE(error.contains(home.file(name))) << error.toStdString();
        emptyHandOffFile(name);
        emptyHandOffFile(name);
        EXPECT_TRUE(QFileInfo(home.file(name)).isSymLink());
        QFile f(secret);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), QByteArray("root:secret\n"));
        // Said in red once for the read and once for the emptying, not at every call.
        EXPECT_EQ(red.size(), 2) << red.join(QLatin1Char('\n')).toStdString();
        for (const QString &line : red)
            EXPECT_TRUE(line.contains(QStringLiteral("символическая ссылка"))) << line.toStdString();
    }
    setLogReceiver({});

    // A regular file reads and empties as before.
    home.write(QStringLiteral("temp3.txt"), "a\r\nb");
    QStringList lines;
    EXPECT_TRUE(loadHandOffLines(QStringLiteral("temp3.txt"), CodePage::Cp1251, &lines));
    EXPECT_EQ(lines, (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
    emptyHandOffFile(QStringLiteral("temp3.txt"));
    EXPECT_EQ(QFileInfo(home.file(QStringLiteral("temp3.txt"))).size(), 0);
}
