// The fourteen profiles in the settings file: the version table, the type
// flags, loading over the current values (defaults), files from a Windows
// server, the save and the version write as they land on disk, and the reads
// of the backup runner and of an unattended run.
#include "common/IniFile.h"
#include "common/ProgramDir.h"
#include "common/TextCodec.h"
#include "infobases/InfobaseProfile.h"
#include "infobases/ProfileStore.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QStringDecoder>
#include <QStringEncoder>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace dozorix;
using test::ProgramHome;

namespace {

const QString kIni = QStringLiteral("Example.ini");

QByteArray utf16(const QString &text, QStringConverter::Encoding encoding)
{
    QStringEncoder encoder(encoding, QStringConverter::Flag::WriteBom);
    return encoder.encode(text);
}

// The keys of one section as "key=value" lines, in file order.
QStringList sectionLines(const QString &fileText, const QString &section)
{
    QStringList lines;
    bool inside = false;
    for (QString line : fileText.split(QLatin1Char('\n'))) {
        line.remove(QLatin1Char('\r'));
        if (line.startsWith(QLatin1Char('['))) {
            inside = line.compare(QLatin1Char('[') + section + QLatin1Char(']'), Qt::CaseInsensitive) == 0;
            continue;
        }
        if (inside && !line.isEmpty())
            lines.append(line);
    }
    return lines;
}

InfobaseProfile sampleProfile(int n)
{
    InfobaseProfile p;
    p.number = n;
    p.path = QStringLiteral("D:\\Базы\\Склад %1").arg(n);
    p.fileLogin = QStringLiteral("Кладовщик");
    p.filePassword = QStringLiteral("п@ss;=%1").arg(n);
    p.cluster = QStringLiteral("srv1c:1541");
    p.clusterInfobase = QStringLiteral("zup_%1").arg(n);
    p.clusterLogin = QStringLiteral("Администратор");
    p.clusterPassword = QStringLiteral("секрет");
    p.alias = QStringLiteral("Склад №%1").arg(n);
    p.fileType = n % 2 == 1;
    p.clientServer = n % 2 == 0;
    return p;
}

} // namespace

TEST(VersionTable, ConnectorsListItemsAndClientProgramsByIndex)
{
    struct Case {
        int index;
        const char *item;
        const char *connector;
        const char *client;
    };
    const Case cases[] = {
        {0, "1С Предприятие 8", "V8.ComConnector", "\\1cv8\\bin\\1cv8.exe"},
        {1, "1С Предприятие 8.1", "V81.ComConnector", "\\1cv81\\bin\\1cv8.exe"},
        {2, "1С Предприятие 8.2", "V82.ComConnector", "\\1cv82\\common\\1cestart.exe"},
        {3, "1С Предприятие 8.3", "V83.ComConnector", "\\1cv8\\common\\1cestart.exe"},
    };
    ASSERT_EQ(versionListItems().size(), 4);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.connector);
        EXPECT_EQ(versionListItems().at(c.index), QString::fromUtf8(c.item));
        EXPECT_EQ(versionIndexOfConnector(QString::fromLatin1(c.connector)), c.index);
        EXPECT_EQ(connectorOfVersionIndex(c.index), QString::fromLatin1(c.connector));
        EXPECT_EQ(clientExecutableOfConnector(QString::fromLatin1(c.connector)), QString::fromLatin1(c.client));
    }
}

TEST(VersionTable, NamesThatAreNoneOfTheFourMatchNothing)
{
    const char *const names[] = {"v83.comconnector", "V83.COMCONNECTOR", " V83.ComConnector", "V83.ComConnector ",
                                 "V84.ComConnector", "", "1С Предприятие 8.3"};
    for (const char *name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(versionIndexOfConnector(QString::fromUtf8(name)), -1);
        EXPECT_TRUE(clientExecutableOfConnector(QString::fromUtf8(name)).isEmpty());
    }
    for (int index : {-1, 4, 100})
        EXPECT_TRUE(connectorOfVersionIndex(index).isEmpty()) << index;
}

TEST(ProfileNames, SectionAliasKeyAndNumberedCaption)
{
    EXPECT_EQ(profileSection(1), QStringLiteral("Base1"));
    EXPECT_EQ(profileSection(14), QStringLiteral("Base14"));
    EXPECT_EQ(aliasKey(3), QStringLiteral("Psevdo3"));
    EXPECT_EQ(aliasKey(14), QStringLiteral("Psevdo14"));
    EXPECT_EQ(numberedCaption(3), QStringLiteral("ИБ - 3"));
    EXPECT_EQ(numberedCaption(14), QStringLiteral("ИБ - 14"));
}

TEST(BackupParameter, OnlyBakOneToFourteenExactlyNameAProfile)
{
    struct Case {
        const char *parameter;
        int number;
    };
    const Case cases[] = {
        {"bak1", 1}, {"bak3", 3}, {"bak14", 14}, {"bak0", 0}, {"bak15", 0}, {"bak03", 0}, {"BAK3", 0},
        {" bak3", 0}, {"bak3 ", 0}, {"bak", 0}, {"", 0}, {"bak-1", 0}, {"bak1x", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(profileNumberOfBackupParameter(QString::fromLatin1(c.parameter)), c.number) << c.parameter;
}

TEST(TypeFlags, RadioFThenRadioClientEachCheckClearsTheOther)
{
    struct Case {
        bool radioF, radioClient, file, clientServer;
    };
    const Case cases[] = {
        {false, false, false, false},
        {true, false, true, false},
        {false, true, false, true},
        {true, true, false, true}, // both stored: "Клиент-сервер" wins
    };
    for (const Case &c : cases) {
        for (bool startFile : {false, true}) {
            InfobaseProfile p;
            p.fileType = startFile;
            p.clientServer = !startFile;
            applyTypeFlags(p, c.radioF, c.radioClient);
            EXPECT_EQ(p.fileType, c.file) << c.radioF << c.radioClient << startFile;
            EXPECT_EQ(p.clientServer, c.clientServer) << c.radioF << c.radioClient << startFile;
        }
    }
}

TEST(LoadProfiles, NoSettingsFileChangesNothing)
{
    ProgramHome home;
    ProfileSet set;
    set.profile(2) = sampleProfile(2);
    set.hideComConnections = true;
    const ProfileSet before = set;
    EXPECT_FALSE(loadProfiles(set));
    EXPECT_EQ(set.profiles, before.profiles);
    EXPECT_TRUE(set.hideComConnections);
    EXPECT_FALSE(QFile::exists(home.file(kIni)));
}

TEST(LoadProfiles, MissingKeysKeepTheCurrentValues)
{
    ProgramHome home;
    // Profile 1 has only its alias; profile 2 has nothing at all.
    home.write(kIni, "[Base1]\r\nPsevdo1=Касса\r\n");
    ProfileSet set;
    set.profile(1) = sampleProfile(1);
    set.profile(2) = sampleProfile(2);
    set.profile(2).connector = QStringLiteral("V82.ComConnector");
    set.hideComConnections = true;
    ASSERT_TRUE(loadProfiles(set));

    InfobaseProfile expected1 = sampleProfile(1);
    expected1.alias = QStringLiteral("Касса");
    EXPECT_EQ(set.profile(1), expected1);
    InfobaseProfile expected2 = sampleProfile(2);
    expected2.connector = QStringLiteral("V82.ComConnector");
    EXPECT_EQ(set.profile(2), expected2);
    EXPECT_TRUE(set.hideComConnections);
    EXPECT_EQ(set.profile(14).number, 14);
}

TEST(LoadProfiles, FlagsAndComAllFromTextLikeTheOtherBooleans)
{
    // Each row: the stored RadioF, RadioClient and COMALL texts (null: key
    // missing), the state before loading, the state after.
    struct Case {
        const char *radioF;
        const char *radioClient;
        const char *comAll;
        bool fileBefore, clientBefore, comBefore;
        bool file, client, com;
    };
    const Case cases[] = {
        {"1", "0", "1", false, true, false, true, false, true},
        {"0", "1", "0", true, false, true, false, true, false},
        {"1", "1", "2", false, false, false, false, true, true},
        {"0", "0", "0", true, false, true, false, false, false},
        {"true", "abc", "yes", false, true, true, false, true, true},   // not numbers: defaults
        {"true", "abc", "", true, false, false, true, false, false},    // default RadioF true clears client
        {"-1", nullptr, nullptr, false, true, true, true, false, true}, // RadioF set clears client's default
        {nullptr, nullptr, nullptr, true, false, false, true, false, false},
        {nullptr, "1", nullptr, true, false, false, false, true, false},
        {" 1 ", "\"0\"", "\"1\"", false, true, false, true, false, true}, // blanks and quotes fall away
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.radioF ? c.radioF : "-") << " / " << (c.radioClient ? c.radioClient : "-")
                                        << " / " << (c.comAll ? c.comAll : "-"));
        ProgramHome home;
        QByteArray text = "[MONITORING1C]\r\n";
        if (c.comAll)
            text += QByteArray("COMALL=") + c.comAll + "\r\n";
        text += "[Base5]\r\n";
        if (c.radioF)
            text += QByteArray("RadioF=") + c.radioF + "\r\n";
        if (c.radioClient)
            text += QByteArray("RadioClient=") + c.radioClient + "\r\n";
        home.write(kIni, text);
        ProfileSet set;
        set.profile(5).fileType = c.fileBefore;
        set.profile(5).clientServer = c.clientBefore;
        set.hideComConnections = c.comBefore;
        ASSERT_TRUE(loadProfiles(set));
        EXPECT_EQ(set.profile(5).fileType, c.file);
        EXPECT_EQ(set.profile(5).clientServer, c.client);
        EXPECT_EQ(set.hideComConnections, c.com);
    }
}

TEST(LoadProfiles, ConnectorSelectsOnlyOneOfTheFourNamesExactly)
{
    struct Case {
        const char *stored; // null: key missing
        const char *before;
        const char *after;
    };
    const Case cases[] = {
        {"V83.ComConnector", "", "V83.ComConnector"},
        {"V8.ComConnector", "V83.ComConnector", "V8.ComConnector"},
        {"v83.comconnector", "V81.ComConnector", "V81.ComConnector"},
        {"v83.comconnector", "", ""},
        {"V85.ComConnector", "V82.ComConnector", "V82.ComConnector"},
        {"", "V82.ComConnector", "V82.ComConnector"},
        {nullptr, "V81.ComConnector", "V81.ComConnector"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "(missing)");
        ProgramHome home;
        home.write(kIni, c.stored ? QByteArray("[Base9]\nConnector=") + c.stored + "\n" : QByteArray("[Base9]\n"));
        ProfileSet set;
        set.profile(9).connector = QString::fromLatin1(c.before);
        ASSERT_TRUE(loadProfiles(set));
        EXPECT_EQ(set.profile(9).connector, QString::fromLatin1(c.after));
    }
}

TEST(LoadProfiles, FilesFromAWindowsServerReadRight)
{
    // One profile as a Windows server keeps it, in each encoding Notepad or
    // the old program writes, and a file pasted together from both servers.
    const QString text = QStringLiteral(
        "[Base3]\r\nStrokaCon=D:\\Базы\\Бухгалтерия\r\nLoginF=Главбух\r\nPassF=пароль 1\r\n"
        "RadioF=1\r\nRadioClient=0\r\nKlasterB=сервер-1С\r\nIBNAmeKlaster=бух\r\nLoginK=Админ\r\n"
        "PassK=ключ\r\nPsevdo3=Бухгалтерия ООО «Ромашка»\r\nConnector=V83.ComConnector\r\nconnect=On\r\n");
    struct Case {
        const char *name;
        QByteArray bytes;
    };
    const Case cases[] = {
        {"Windows-1251, CR LF", toCp1251(text)},
        {"UTF-16 LE with mark", utf16(text, QStringConverter::Utf16LE)},
        {"UTF-16 BE with mark", utf16(text, QStringConverter::Utf16BE)},
        {"UTF-8 with mark", QByteArray("\xEF\xBB\xBF") + text.toUtf8()},
        {"UTF-8, LF", QString(text).remove(QLatin1Char('\r')).toUtf8()},
        {"Windows-1251 lines among UTF-8 lines",
         toCp1251(text.left(text.indexOf(QStringLiteral("KlasterB")))) + text.mid(text.indexOf(QStringLiteral("KlasterB"))).toUtf8()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProgramHome home;
        home.write(kIni, c.bytes);
        ProfileSet set;
        ASSERT_TRUE(loadProfiles(set));
        const InfobaseProfile &p = set.profile(3);
        EXPECT_EQ(p.path, QStringLiteral("D:\\Базы\\Бухгалтерия"));
        EXPECT_EQ(p.fileLogin, QStringLiteral("Главбух"));
        EXPECT_EQ(p.filePassword, QStringLiteral("пароль 1"));
        EXPECT_TRUE(p.fileType);
        EXPECT_FALSE(p.clientServer);
        EXPECT_EQ(p.cluster, QStringLiteral("сервер-1С"));
        EXPECT_EQ(p.clusterInfobase, QStringLiteral("бух"));
        EXPECT_EQ(p.clusterLogin, QStringLiteral("Админ"));
        EXPECT_EQ(p.clusterPassword, QStringLiteral("ключ"));
        EXPECT_EQ(p.alias, QStringLiteral("Бухгалтерия ООО «Ромашка»"));
        EXPECT_EQ(p.connector, QStringLiteral("V83.ComConnector"));
        EXPECT_TRUE(p.comProbeOn());
        EXPECT_TRUE(set.profile(4).alias.isEmpty());
    }
}

TEST(SaveProfiles, WritesAllFourteenSectionsInOrderOnDisk)
{
    ProgramHome home;
    home.write(kIni, "[settings]\r\nTrey=1\r\n[Base2]\r\nConnector=V82.ComConnector\r\nconnect=On\r\nPsevdo2=Старое\r\n");
    ProfileSet set;
    for (int n = 1; n <= kProfileCount; ++n)
        set.profile(n) = sampleProfile(n);
    set.profile(7) = InfobaseProfile{};
    set.profile(7).number = 7; // an untouched profile: empty values

    const ProfileWrite result = saveProfiles(set);
    ASSERT_EQ(result.status, ProfileWrite::Written) << result.error.toStdString();

    const QString onDisk = QString::fromUtf8(home.read(kIni));
    EXPECT_EQ(sectionLines(onDisk, QStringLiteral("settings")), QStringList{QStringLiteral("Trey=1")});
    for (int n = 1; n <= kProfileCount; ++n) {
        SCOPED_TRACE(n);
        const InfobaseProfile expected = n == 7 ? InfobaseProfile{} : sampleProfile(n);
        QStringList lines = {
            QStringLiteral("StrokaCon=") + expected.path,
            QStringLiteral("LoginF=") + expected.fileLogin,
            QStringLiteral("PassF=") + expected.filePassword,
            QStringLiteral("RadioF=") + (expected.fileType ? QStringLiteral("1") : QStringLiteral("0")),
            QStringLiteral("RadioClient=") + (expected.clientServer ? QStringLiteral("1") : QStringLiteral("0")),
            QStringLiteral("Psevdo%1=").arg(n) + expected.alias,
            QStringLiteral("KlasterB=") + expected.cluster,
            QStringLiteral("IBNAmeKlaster=") + expected.clusterInfobase,
            QStringLiteral("LoginK=") + expected.clusterLogin,
            QStringLiteral("PassK=") + expected.clusterPassword,
        };
        if (n == 2) // kept, and the alias written over in its place
            lines = QStringList{QStringLiteral("Connector=V82.ComConnector"), QStringLiteral("connect=On"), lines.at(5)}
                  + lines.mid(0, 5) + lines.mid(6);
        EXPECT_EQ(sectionLines(onDisk, profileSection(n)), lines);
    }

    // And it reads back as it was saved.
    ProfileSet again;
    ASSERT_TRUE(loadProfiles(again));
    for (int n = 1; n <= kProfileCount; ++n) {
        InfobaseProfile expected = n == 7 ? InfobaseProfile{} : sampleProfile(n);
        expected.number = n;
        if (n == 2) {
            expected.connector = QStringLiteral("V82.ComConnector");
            expected.connect = QStringLiteral("On");
        }
        EXPECT_EQ(again.profile(n), expected) << n;
    }
}

TEST(SaveProfiles, AFileWithoutProfileSectionsGetsFourteenEmptyOnes)
{
    ProgramHome home;
    home.write(kIni, "[settings]\nPort1=5005\n");
    ASSERT_TRUE(saveProfiles(ProfileSet()).written());
    const QString onDisk = QString::fromUtf8(home.read(kIni));
    for (int n = 1; n <= kProfileCount; ++n) {
        const QStringList lines = sectionLines(onDisk, profileSection(n));
        ASSERT_EQ(lines.size(), 10) << n;
        EXPECT_TRUE(lines.contains(QStringLiteral("RadioF=0"))) << n;
        EXPECT_TRUE(lines.contains(QStringLiteral("RadioClient=0"))) << n;
        EXPECT_TRUE(lines.contains(QStringLiteral("Psevdo%1=").arg(n))) << n;
        EXPECT_TRUE(lines.contains(QStringLiteral("StrokaCon="))) << n;
    }
}

TEST(SaveProfiles, KeepsTheEncodingAndLineEndsOfAWindowsFile)
{
    const QString text = QStringLiteral("[Base1]\r\nPsevdo1=Зарплата\r\nStrokaCon=C:\\1C\\ЗУП\r\n");
    struct Case {
        const char *name;
        QByteArray bytes;
        QByteArray mark;
        QStringConverter::Encoding encoding;
    };
    const Case cases[] = {
        {"UTF-16 LE with mark", utf16(text, QStringConverter::Utf16LE), QByteArray("\xFF\xFE", 2), QStringConverter::Utf16LE},
        {"UTF-16 BE with mark", utf16(text, QStringConverter::Utf16BE), QByteArray("\xFE\xFF", 2), QStringConverter::Utf16BE},
        {"UTF-8 with mark", QByteArray("\xEF\xBB\xBF") + text.toUtf8(), QByteArray("\xEF\xBB\xBF"), QStringConverter::Utf8},
        {"Windows-1251", toCp1251(text), QByteArray(), QStringConverter::Utf8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProgramHome home;
        home.write(kIni, c.bytes);
        ProfileSet set;
        ASSERT_TRUE(loadProfiles(set));
        set.profile(1).alias = QStringLiteral("Зарплата и кадры");
        set.profile(14).path = QStringLiteral("E:\\Базы\\Архив");
        ASSERT_TRUE(saveProfiles(set).written());

        const QByteArray bytes = home.read(kIni);
        ASSERT_TRUE(bytes.startsWith(c.mark));
        QStringDecoder decoder(c.encoding);
        const QString onDisk = decoder.decode(bytes.mid(c.mark.size()));
        EXPECT_FALSE(decoder.hasError());
        EXPECT_TRUE(sectionLines(onDisk, QStringLiteral("Base1")).contains(QStringLiteral("Psevdo1=Зарплата и кадры")));
        EXPECT_TRUE(sectionLines(onDisk, QStringLiteral("Base1")).contains(QStringLiteral("StrokaCon=C:\\1C\\ЗУП")));
        EXPECT_TRUE(sectionLines(onDisk, QStringLiteral("Base14")).contains(QStringLiteral("StrokaCon=E:\\Базы\\Архив")));
        // Every line still ends in CR LF.
        EXPECT_EQ(onDisk.count(QLatin1Char('\n')), onDisk.count(QStringLiteral("\r\n")));
    }
}

TEST(SaveProfiles, NoSettingsFileWritesNothing)
{
    ProgramHome home;
    ProfileSet set;
    set.profile(1) = sampleProfile(1);
    const ProfileWrite result = saveProfiles(set);
    EXPECT_EQ(result.status, ProfileWrite::NoFile);
    EXPECT_FALSE(QFile::exists(home.file(kIni)));
    EXPECT_FALSE(QFile::exists(home.file(QStringLiteral("example.ini"))));
}

TEST(SaveProfiles, TheLowerCaseNameIsTheSameFile)
{
    ProgramHome home;
    home.write(QStringLiteral("example.ini"), "[Base4]\nPsevdo4=Старое\n");
    ProfileSet set;
    ASSERT_TRUE(loadProfiles(set));
    EXPECT_EQ(set.profile(4).alias, QStringLiteral("Старое"));
    set.profile(4).alias = QStringLiteral("Новое");
    ASSERT_TRUE(saveProfiles(set).written());
    EXPECT_FALSE(QFile::exists(home.file(kIni)));
    EXPECT_TRUE(sectionLines(QString::fromUtf8(home.read(QStringLiteral("example.ini"))), QStringLiteral("Base4"))
                    .contains(QStringLiteral("Psevdo4=Новое")));
}

TEST(SaveProfiles, AReadOnlyFileIsLeftAsItWasWithAClearError)
{
    ProgramHome home;
    const QByteArray before = "[Base1]\r\nPsevdo1=Касса\r\n";
    home.write(kIni, before);
    ASSERT_EQ(::chmod(QFile::encodeName(home.file(kIni)).constData(), 0444), 0);
    ProfileSet set;
    set.profile(1).alias = QStringLiteral("Другое");
    const ProfileWrite result = saveProfiles(set);
    EXPECT_EQ(result.status, ProfileWrite::Failed);
    EXPECT_FALSE(result.error.isEmpty());
    EXPECT_EQ(home.read(kIni), before);
}

TEST(WriteConnector, WritesTheVersionAtOnceOrNothingWithAReason)
{
    struct Case {
        int n;
        int index;
        ProfileWrite::Status status;
        const char *written; // Connector of Base<n> afterwards; null: key absent
        bool errorText;
    };
    const Case cases[] = {
        {1, 0, ProfileWrite::Written, "V8.ComConnector", false},
        {6, 1, ProfileWrite::Written, "V81.ComConnector", false},
        {13, 2, ProfileWrite::Written, "V82.ComConnector", false},
        {14, 3, ProfileWrite::Written, "V83.ComConnector", false},
        {2, -1, ProfileWrite::NothingSelected, nullptr, false},
        {2, 4, ProfileWrite::BadInput, nullptr, true},
        {0, 3, ProfileWrite::BadInput, nullptr, true},
        {15, 3, ProfileWrite::BadInput, nullptr, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.n << " / " << c.index);
        ProgramHome home;
        home.write(kIni, "[Base1]\r\nPsevdo1=Касса\r\n");
        const ProfileWrite result = writeConnector(c.n, c.index);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(!result.error.isEmpty(), c.errorText) << result.error.toStdString();
        const IniFile ini(settingsFilePath());
        const QString section = profileSection(c.n);
        if (c.written)
            EXPECT_EQ(ini.readString(section, QStringLiteral("Connector"), {}), QString::fromLatin1(c.written));
        else
            EXPECT_EQ(home.read(kIni), QByteArray("[Base1]\r\nPsevdo1=Касса\r\n"));
        EXPECT_EQ(ini.readString(QStringLiteral("Base1"), QStringLiteral("Psevdo1"), {}), QStringLiteral("Касса"));
    }
}

TEST(WriteConnector, NoSettingsFileWritesNothing)
{
    ProgramHome home;
    EXPECT_EQ(writeConnector(3, 3).status, ProfileWrite::NoFile);
    EXPECT_FALSE(QFile::exists(home.file(kIni)));
}

TEST(ReadProfile, TheRunnersDefaultsForMissingKeys)
{
    ProgramHome home;
    home.write(kIni, "[Base3]\nPsevdo3=Склад\nStrokaCon=/srv/1c/sklad\nRadioF=1\n"
                     "[Base4]\nPsevdo4=ЗУП\nRadioClient=0\nRadioF=0\nConnector=V83.ComConnector\n"
                     "connect=On\nConnectKS1CBase=Yes\nConnectFile1CBase=yes\n");
    struct Case {
        int n;
        const char *alias;
        bool file, clientServer, configured, probe, probeCluster, probeFile;
    };
    const Case cases[] = {
        {3, "Склад", true, true, true, false, false, false}, // RadioClient missing: read as on
        {4, "ЗУП", false, false, true, true, true, false},   // "yes" is not "Yes"
        {5, "", false, true, false, false, false, false},    // no section at all
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        const ProfileRead read = readProfile(c.n);
        ASSERT_TRUE(read.ok()) << read.error.toStdString();
        EXPECT_EQ(read.profile.number, c.n);
        EXPECT_EQ(read.profile.alias, QString::fromUtf8(c.alias));
        EXPECT_EQ(read.profile.fileType, c.file);
        EXPECT_EQ(read.profile.clientServer, c.clientServer);
        EXPECT_EQ(read.profile.isConfigured(), c.configured);
        EXPECT_EQ(read.profile.comProbeOn(), c.probe);
        EXPECT_EQ(read.profile.probeUsesCluster(), c.probeCluster);
        EXPECT_EQ(read.profile.probeUsesFile(), c.probeFile);
    }
    EXPECT_EQ(readProfile(3).profile.path, QStringLiteral("/srv/1c/sklad"));
    EXPECT_EQ(readProfile(4).profile.versionIndex(), 3);
    EXPECT_EQ(readProfile(3).profile.versionIndex(), -1);
}

TEST(ReadProfile, BadNumbersParametersAndAMissingFileGiveAClearResult)
{
    ProgramHome home;
    home.write(kIni, "[Base12]\nPsevdo12=Торговля\nKlasterB=srv\nIBNAmeKlaster=trade\n");
    struct Case {
        const char *parameter;
        ProfileRead::Status status;
        const char *alias;
    };
    const Case cases[] = {
        {"bak12", ProfileRead::Read, "Торговля"},
        {"bak11", ProfileRead::Read, ""},
        {"bak15", ProfileRead::NoSuchProfile, ""},
        {"bak0", ProfileRead::NoSuchProfile, ""},
        {"Bak12", ProfileRead::NoSuchProfile, ""},
        {"", ProfileRead::NoSuchProfile, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.parameter);
        const ProfileRead read = readProfileForBackupParameter(QString::fromLatin1(c.parameter));
        EXPECT_EQ(read.status, c.status);
        EXPECT_EQ(read.profile.alias, QString::fromUtf8(c.alias));
        EXPECT_EQ(read.error.isEmpty(), c.status == ProfileRead::Read);
    }
    EXPECT_EQ(readProfile(12).profile.clusterConnectionString(), QStringLiteral("srv\\trade"));
    for (int n : {-1, 0, 15}) {
        const ProfileRead read = readProfile(n);
        EXPECT_EQ(read.status, ProfileRead::NoSuchProfile) << n;
        EXPECT_TRUE(read.error.contains(QString::number(n))) << read.error.toStdString();
    }

    ProgramHome empty;
    const ProfileRead missing = readProfile(12);
    EXPECT_EQ(missing.status, ProfileRead::NoSettingsFile);
    EXPECT_FALSE(missing.error.isEmpty());
    EXPECT_FALSE(missing.profile.isConfigured());
    EXPECT_TRUE(missing.profile.clientServer);
}

TEST(ReadProfile, AValueLongerThanTheLimitIsCut)
{
    ProgramHome home;
    const QString longPath = QStringLiteral("/srv/") + QString(3000, QChar(0x0416)); // "Ж"
    home.write(kIni, QStringLiteral("[Base1]\nStrokaCon=%1\n").arg(longPath).toUtf8());
    const ProfileRead read = readProfile(1);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.profile.path, longPath.left(IniFile::kMaxValueLength));
}
