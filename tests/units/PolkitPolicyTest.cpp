// The polkit action of the console (data/org.dozorix.cmd.policy) as polkit
// reads it: valid against polkit's own DTD (Debian's polkitd ships it with an
// XML catalog that maps the DOCTYPE to /usr/share/polkit-1/policyconfig-1.dtd;
// xmllint runs with --nonet, so nothing is ever fetched), and naming exactly
// the installed dozorix-cmd with the defaults the console relies on.

#include "support/TestSupport.h"

#include <QFile>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

const QString kPolicy = QStringLiteral(DOZORIX_SOURCE_DIR "/data/org.dozorix.cmd.policy");
const QString kPolkitCatalog = u"/usr/share/xml/polkit-1/catalog.xml"_s;

QByteArray shipped()
{
    QFile f(kPolicy);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Validation {
    int exitCode = -1;
    QString errors;
};

// xmllint --valid with the catalog given (none: an empty one) and no network.
Validation validate(const QString &file, const QString &catalog)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"XML_CATALOG_FILES"_s, catalog);
    p.setProcessEnvironment(env);
    p.start(u"xmllint"_s, {u"--valid"_s, u"--noout"_s, u"--nonet"_s, file});
    Validation v;
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return v;
    v.exitCode = p.exitCode();
    v.errors = QString::fromUtf8(p.readAllStandardError());
    return v;
}

} // namespace

TEST(PolkitPolicy, ValidatesAgainstPolkitsDtdWithoutTheNetwork)
{
    ASSERT_TRUE(QFile::exists(u"/usr/share/polkit-1/policyconfig-1.dtd"_s)) << "package polkitd";
    ASSERT_TRUE(QFile::exists(kPolkitCatalog)) << "package polkitd";
    const Validation v = validate(kPolicy, kPolkitCatalog);
    EXPECT_EQ(v.exitCode, 0) << v.errors.toStdString();
    EXPECT_TRUE(v.errors.isEmpty()) << v.errors.toStdString();

    QTemporaryDir dir;
    // Without the catalog the DTD is out of reach (--nonet): the check above
    // really read polkit's DTD from the disk.
    const QString emptyCatalog = dir.filePath(u"catalog.xml"_s);
    {
        QFile f(emptyCatalog);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("<?xml version=\"1.0\"?>\n<catalog xmlns=\"urn:oasis:names:tc:entity:xmlns:xml:catalog\"/>\n");
    }
    const Validation unreachable = validate(kPolicy, emptyCatalog);
    EXPECT_NE(unreachable.exitCode, 0);
    EXPECT_TRUE(unreachable.errors.contains(u"no DTD found"_s)) << unreachable.errors.toStdString();

    // What the DTD refuses is refused: an action without its defaults, and
    // an element polkit does not know.
    const struct {
        const char *name;
        std::vector<std::pair<QByteArray, QByteArray>> edits;
    } broken[] = {
        {"no defaults", {{"<defaults>", "<!--"}, {"</defaults>", "-->"}}},
        {"unknown element", {{"<vendor>Dozorix</vendor>", "<vendor>Dozorix</vendor><owner>root</owner>"}}},
    };
    for (const auto &b : broken) {
        QByteArray text = shipped();
        for (const auto &[from, to] : b.edits) {
            ASSERT_TRUE(text.contains(from)) << b.name;
            text.replace(from, to);
        }
        const QString copy = dir.filePath(QString::fromLatin1(b.name).replace(u' ', u'-') + u".policy"_s);
        QFile f(copy);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
        f.close();
        const Validation refused = validate(copy, kPolkitCatalog);
        EXPECT_NE(refused.exitCode, 0) << b.name;
        EXPECT_TRUE(refused.errors.contains(u"validity error"_s)) << b.name << ": " << refused.errors.toStdString();
    }
}

TEST(PolkitPolicy, NamesTheInstalledDozorixCmdWithTheAdministratorsPassword)
{
    QXmlStreamReader xml(shipped());
    QStringList actions;
    QMap<QString, QString> annotations;
    QMap<QString, QString> defaults;
    QMap<QString, QString> descriptions; // language ("" = English) -> text
    QMap<QString, QString> messages;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QString name = xml.name().toString();
        if (name == u"action"_s) {
            actions << xml.attributes().value(u"id"_s).toString();
        } else if (name == u"annotate"_s) {
            const QString key = xml.attributes().value(u"key"_s).toString();
            annotations.insert(key, xml.readElementText());
        } else if (name == u"description"_s || name == u"message"_s) {
            const QString lang = xml.attributes().value(u"xml:lang"_s).toString();
            (name == u"message"_s ? messages : descriptions).insert(lang, xml.readElementText());
        } else if (name.startsWith(u"allow_"_s)) {
            defaults.insert(name, xml.readElementText());
        }
    }
    ASSERT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_EQ(actions, QStringList{u"org.dozorix.cmd"_s});
    EXPECT_EQ(annotations, (QMap<QString, QString>{
                               {u"org.freedesktop.policykit.exec.path"_s, u"/usr/lib/dozorix/dozorix-cmd"_s}}));
    EXPECT_EQ(defaults, (QMap<QString, QString>{{u"allow_any"_s, u"auth_admin"_s},
                                                {u"allow_inactive"_s, u"auth_admin"_s},
                                                {u"allow_active"_s, u"auth_admin_keep"_s}}));
    EXPECT_EQ(descriptions.keys(), (QStringList{QString(), u"ru"_s}));
    EXPECT_EQ(messages.keys(), (QStringList{QString(), u"ru"_s}));
    EXPECT_TRUE(messages.value(u"ru"_s).contains(u"пароль администратора"_s));
    EXPECT_TRUE(messages.value(QString()).contains(u"administrator"_s));
}
