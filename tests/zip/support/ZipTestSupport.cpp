#include "zip/support/ZipTestSupport.h"

#include "common/TextCodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace dozorix::test {

namespace {

// Reads every entry back with Python's zipfile and compares it with its
// source; names are compared as decoded by the archive's own rule (UTF-8
// with bit 11, IBM 866 without).
const char *kPythonChecker = R"PY(
import json, sys, zipfile
archive, manifest, pwd_hex = sys.argv[1], sys.argv[2], sys.argv[3]
pwd = bytes.fromhex(pwd_hex) if pwd_hex else None
with open(manifest, encoding="utf-8") as f:
    expected = json.load(f)
with zipfile.ZipFile(archive) as z:
    found = {}
    for info in z.infolist():
        name = info.filename if info.flag_bits & 0x800 else info.filename.encode("cp437").decode("cp866")
        if name in found:
            print("duplicate entry", name); sys.exit(1)
        found[name] = info
    if set(found) != set(expected):
        print("names differ:", sorted(set(found) ^ set(expected))[:10]); sys.exit(1)
    for name, path in expected.items():
        if not path:
            continue
        with z.open(found[name], pwd=pwd) as src, open(path, "rb") as ref:
            while True:
                a = src.read(1 << 20)
                b = ref.read(1 << 20)
                if a != b:
                    print("content differs:", name); sys.exit(1)
                if not a:
                    break
print("OK", len(expected))
)PY";

const char *kPythonRefuse = R"PY(
import sys, zipfile
archive, pwd_hex = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(archive) as z:
    for info in z.infolist():
        # An empty entry has no data to fail on: only its one check byte
        # stands between it and a wrong password (1 in 256 passes).
        if info.is_dir() or info.file_size == 0:
            continue
        try:
            z.read(info, pwd=bytes.fromhex(pwd_hex))
        except RuntimeError:
            continue
        except Exception:
            continue
        print("accepted", info.filename); sys.exit(1)
print("refused")
)PY";

QString sevenZipPassword(const QByteArray &password)
{
    return QStringLiteral("-p") + (password.isEmpty() ? QStringLiteral("none") : QString::fromLatin1(password));
}

} // namespace

namespace {

// Programs started together; the destructor waits for all of them.
class PeerGroup
{
public:
    void add(PeerRun *result, const QString &program, const QStringList &args, const QString &workDir = {})
    {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(readerEnvironment());
        if (!workDir.isEmpty())
            p->setWorkingDirectory(workDir);
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->start(program, args);
        p->closeWriteChannel();
        m_runs.push_back({result, std::move(p), program});
    }
    ~PeerGroup()
    {
        for (auto &r : m_runs) {
            if (!r.process->waitForStarted(10000)) {
                r.result->output = r.program + QStringLiteral(" did not start");
                continue;
            }
            if (!r.process->waitForFinished(600000)) {
                r.process->kill();
                r.process->waitForFinished();
                r.result->output = r.program + QStringLiteral(" timed out");
                continue;
            }
            r.result->output = QString::fromLocal8Bit(r.process->readAll());
            r.result->exitCode = r.process->exitStatus() == QProcess::NormalExit ? r.process->exitCode() : -1;
        }
    }

private:
    struct Run {
        PeerRun *result;
        std::unique_ptr<QProcess> process;
        QString program;
    };
    std::vector<Run> m_runs;
};

} // namespace

bool onlyLocalNameWarnings(const QString &archive, const PeerRun &unzip)
{
    if (unzip.exitCode != 1)
        return false;
    for (const QString &line : unzip.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (!line.contains(QLatin1String("mismatching \"local\" filename"))
            && !line.contains(QLatin1String("continuing with \"central\" filename version"))
            && !line.contains(QLatin1String("At least one warning-error was detected")))
            return false;
    }
    const ZipLayout z = readZipLayout(archive);
    if (!z.error.isEmpty())
        return false;
    for (const ZipCentral &c : z.entries) {
        if (c.local.name != c.name)
            return false;
    }
    return true;
}


QString checkWithReaders(const QString &archive, const Manifest &expected, const QByteArray &password)
{
    QTemporaryFile manifest;
    manifest.open();
    QJsonObject obj;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        obj.insert(it.key(), it.value());
    manifest.write(QJsonDocument(obj).toJson(QJsonDocument::Compact));
    manifest.flush();

    QStringList unzipArgs{QStringLiteral("-tq")};
    if (!password.isEmpty())
        unzipArgs << QStringLiteral("-P") << QString::fromLocal8Bit(password);
    unzipArgs << archive;

    // The four readers run side by side.
    PeerRun unzip, sevenZip, bsdtar, python;
    {
        PeerGroup group;
        group.add(&unzip, QStringLiteral("unzip"), unzipArgs);
        group.add(&sevenZip, QStringLiteral("7z"), {QStringLiteral("t"), sevenZipPassword(password), archive});
        group.add(&bsdtar, QStringLiteral("bsdtar"), {QStringLiteral("-tf"), archive});
        group.add(&python, QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral("-c"), QString::fromUtf8(kPythonChecker), archive, manifest.fileName(),
                   QString::fromLatin1(password.toHex())});
    }

    QStringList problems;
    if (!unzip.ok() && !onlyLocalNameWarnings(archive, unzip))
        problems << QStringLiteral("unzip -t: ") + unzip.output.left(2000);
    if (!sevenZip.ok())
        problems << QStringLiteral("7z t: ") + sevenZip.output.right(2000);
    if (!bsdtar.ok())
        problems << QStringLiteral("bsdtar -tf: ") + bsdtar.output.left(2000);
    else if (bsdtar.output.count(QLatin1Char('\n')) != expected.size())
        problems << QStringLiteral("bsdtar -tf listed %1 entries, expected %2")
                        .arg(bsdtar.output.count(QLatin1Char('\n')))
                        .arg(expected.size());
    if (!python.ok())
        problems << QStringLiteral("python zipfile: ") + python.output.left(2000);
    return problems.join(QLatin1Char('\n'));
}

QString checkRefusedPassword(const QString &archive, const QByteArray &wrongPassword)
{
    QStringList problems;
    const PeerRun unzip = runPeer(QStringLiteral("unzip"), {QStringLiteral("-tq"), QStringLiteral("-P"),
                                                            QString::fromLocal8Bit(wrongPassword), archive});
    if (unzip.ok())
        problems << QStringLiteral("unzip accepted a wrong password");
    const PeerRun sevenZip = runPeer(QStringLiteral("7z"), {QStringLiteral("t"), sevenZipPassword(wrongPassword), archive});
    if (sevenZip.ok())
        problems << QStringLiteral("7z accepted a wrong password");
    const PeerRun python = runPeer(QStringLiteral("/usr/bin/python3"),
                                   {QStringLiteral("-c"), QString::fromUtf8(kPythonRefuse), archive,
                                    QString::fromLatin1(wrongPassword.toHex())});
    if (!python.ok())
        problems << QStringLiteral("python: ") + python.output;
    return problems.join(QLatin1Char('\n'));
}

namespace {

// Unpacks with the names as Python reads them when told that names without
// bit 11 are IBM 866 (python3 -m zipfile --metadata-encoding cp866 -e).
const char *kPythonUnpack = R"PY(
import sys, zipfile
archive, dest, pwd_hex = sys.argv[1], sys.argv[2], sys.argv[3]
with zipfile.ZipFile(archive, metadata_encoding="cp866") as z:
    z.extractall(dest, pwd=bytes.fromhex(pwd_hex) if pwd_hex else None)
)PY";

// Printable ASCII as it is, any other byte of a name that is not UTF-8 as
// \xNN, so that such a name never equals an expected one.
QString nameText(const QByteArray &raw)
{
    if (isValidUtf8(raw))
        return QString::fromUtf8(raw);
    QString out;
    for (char ch : raw) {
        const auto b = static_cast<unsigned char>(ch);
        out += (b >= 0x20 && b < 0x7F) ? QString(QLatin1Char(ch))
                                       : QStringLiteral("\\x%1").arg(b, 2, 16, QLatin1Char('0'));
    }
    return out;
}

void collectFiles(const QByteArray &folder, const QString &relative, QMap<QString, QByteArray> *files)
{
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return;
    while (struct dirent *ent = ::readdir(dir)) {
        const QByteArray raw(ent->d_name);
        if (raw == "." || raw == "..")
            continue;
        const QByteArray path = folder + '/' + raw;
        const QString name = relative + nameText(raw);
        struct stat st;
        if (::lstat(path.constData(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            collectFiles(path, name + QLatin1Char('/'), files);
            continue;
        }
        QByteArray content;
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            char buf[65536];
            ssize_t n;
            while ((n = ::read(fd, buf, sizeof buf)) > 0)
                content.append(buf, n);
            ::close(fd);
        }
        files->insert(name, content);
    }
    ::closedir(dir);
}

} // namespace

std::vector<Unpacked> unpackWithReaders(const QString &archive, const QString &intoFolder, const QByteArray &password)
{
    const QString absArchive = QFileInfo(archive).absoluteFilePath();
    std::vector<Unpacked> out(4);
    out[0].reader = QStringLiteral("unzip");
    out[1].reader = QStringLiteral("7z");
    out[2].reader = QStringLiteral("bsdtar");
    out[3].reader = QStringLiteral("python zipfile");
    QStringList folders;
    for (const Unpacked &u : out) {
        const QString folder = QDir(intoFolder).filePath(QString(u.reader).replace(QLatin1Char(' '), QLatin1Char('_')));
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        folders << folder;
    }
    QStringList unzipArgs{QStringLiteral("-q")};
    QStringList sevenZipArgs{QStringLiteral("x"), QStringLiteral("-y")};
    QStringList bsdtarArgs{QStringLiteral("--options"), QStringLiteral("hdrcharset=CP866"), QStringLiteral("-xf"),
                           absArchive, QStringLiteral("-C"), folders[2]};
    if (!password.isEmpty()) {
        unzipArgs << QStringLiteral("-P") << QString::fromLatin1(password);
        sevenZipArgs << QStringLiteral("-p") + QString::fromLatin1(password);
        bsdtarArgs << QStringLiteral("--passphrase") << QString::fromLatin1(password);
    }
    unzipArgs << absArchive << QStringLiteral("-d") << folders[0];
    sevenZipArgs << QStringLiteral("-o") + folders[1] << absArchive;
    {
        PeerGroup group;
        group.add(&out[0].run, QStringLiteral("unzip"), unzipArgs);
        group.add(&out[1].run, QStringLiteral("7z"), sevenZipArgs);
        group.add(&out[2].run, QStringLiteral("bsdtar"), bsdtarArgs);
        group.add(&out[3].run, QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral("-c"), QString::fromUtf8(kPythonUnpack), absArchive, folders[3],
                   QString::fromLatin1(password.toHex())});
    }
    for (qsizetype i = 0; i < 4; ++i)
        collectFiles(QFile::encodeName(folders[i]), QString(), &out[static_cast<size_t>(i)].files);
    return out;
}

// --- reading the bytes ------------------------------------------------------

namespace {


std::vector<ZipExtra> parseExtras(const QByteArray &b)
{
    std::vector<ZipExtra> out;
    qsizetype at = 0;
    while (at + 4 <= b.size()) {
        ZipExtra e;
        e.tag = le16(b, at);
        const quint16 len = le16(b, at + 2);
        e.data = b.mid(at + 4, len);
        out.push_back(e);
        at += 4 + len;
    }
    return out;
}

} // namespace

const ZipExtra *ZipCentral::extra(quint16 tag) const
{
    for (const auto &e : extras) {
        if (e.tag == tag)
            return &e;
    }
    return nullptr;
}

ZipLayout readZipLayout(const QString &archive)
{
    ZipLayout z;
    const quint64 fileSize = static_cast<quint64>(QFileInfo(archive).size());
    const qsizetype tailSize = static_cast<qsizetype>(std::min<quint64>(fileSize, 65557));
    const QByteArray tail = readAt(archive, fileSize - static_cast<quint64>(tailSize), tailSize);
    qsizetype eocd = -1;
    for (qsizetype i = tail.size() - 22; i >= 0; --i) {
        if (le32(tail, i) == 0x06054B50) {
            eocd = i;
            break;
        }
    }
    if (eocd < 0) {
        z.error = QStringLiteral("no end of central directory record");
        return z;
    }
    z.endEntriesOnDisk = le16(tail, eocd + 8);
    z.endEntriesTotal = le16(tail, eocd + 10);
    z.endCentralSize = le32(tail, eocd + 12);
    z.endCentralOffset = le32(tail, eocd + 16);
    z.comment = tail.mid(eocd + 22, le16(tail, eocd + 20));
    quint64 entries = z.endEntriesTotal;
    quint64 cdOffset = z.endCentralOffset;
    quint64 cdSize = z.endCentralSize;
    if (eocd >= 20 && le32(tail, eocd - 20) == 0x07064B50) {
        z.hasZip64Locator = true;
        const quint64 recordAt = le64(tail, eocd - 12);
        const QByteArray rec = readAt(archive, recordAt, 56);
        if (rec.size() == 56 && le32(rec, 0) == 0x06064B50) {
            z.hasZip64End = true;
            z.zip64VersionNeeded = le16(rec, 14);
            z.zip64Entries = le64(rec, 32);
            entries = z.zip64Entries;
            cdSize = le64(rec, 40);
            cdOffset = le64(rec, 48);
        }
    }
    const QByteArray cd = readAt(archive, cdOffset, static_cast<qsizetype>(cdSize));
    QFile file(archive);
    if (!file.open(QIODevice::ReadOnly)) {
        z.error = QStringLiteral("cannot open the archive");
        return z;
    }
    qsizetype at = 0;
    for (quint64 n = 0; n < entries; ++n) {
        if (at + 46 > cd.size() || le32(cd, at) != 0x02014B50) {
            z.error = QStringLiteral("bad central header %1").arg(n);
            return z;
        }
        ZipCentral c;
        c.versionMadeBy = le16(cd, at + 4);
        c.versionNeeded = le16(cd, at + 6);
        c.flags = le16(cd, at + 8);
        c.method = le16(cd, at + 10);
        c.time = le16(cd, at + 12);
        c.date = le16(cd, at + 14);
        c.crc = le32(cd, at + 16);
        c.compressed = le32(cd, at + 20);
        c.uncompressed = le32(cd, at + 24);
        const quint16 nameLen = le16(cd, at + 28), extraLen = le16(cd, at + 30), commentLen = le16(cd, at + 32);
        c.diskStart = le16(cd, at + 34);
        c.internalAttributes = le16(cd, at + 36);
        c.externalAttributes = le32(cd, at + 38);
        c.localOffset = le32(cd, at + 42);
        c.name = cd.mid(at + 46, nameLen);
        c.extras = parseExtras(cd.mid(at + 46 + nameLen, extraLen));
        c.comment = cd.mid(at + 46 + nameLen + extraLen, commentLen);
        c.realUncompressed = c.uncompressed;
        c.realCompressed = c.compressed;
        c.realOffset = c.localOffset;
        if (const ZipExtra *z64 = c.extra(0x0001)) {
            qsizetype p = 0;
            if (c.uncompressed == 0xFFFFFFFF) { c.realUncompressed = le64(z64->data, p); p += 8; }
            if (c.compressed == 0xFFFFFFFF) { c.realCompressed = le64(z64->data, p); p += 8; }
            if (c.localOffset == 0xFFFFFFFF) { c.realOffset = le64(z64->data, p); p += 8; }
        }
        at += 46 + nameLen + extraLen + commentLen;

        QByteArray lh;
        if (file.seek(static_cast<qint64>(c.realOffset)))
            lh = file.read(30);
        if (lh.size() == 30)
            lh += file.read(le16(lh, 26) + le16(lh, 28));
        if (lh.size() < 30 || le32(lh, 0) != 0x04034B50) {
            z.error = QStringLiteral("bad local header %1").arg(n);
            return z;
        }
        ZipLocal &l = c.local;
        l.versionNeeded = le16(lh, 4);
        l.flags = le16(lh, 6);
        l.method = le16(lh, 8);
        l.time = le16(lh, 10);
        l.date = le16(lh, 12);
        l.crc = le32(lh, 14);
        l.compressed = le32(lh, 18);
        l.uncompressed = le32(lh, 22);
        const quint16 lName = le16(lh, 26), lExtra = le16(lh, 28);
        l.name = lh.mid(30, lName);
        l.extras = parseExtras(lh.mid(30 + lName, lExtra));
        l.dataOffset = c.realOffset + 30 + lName + lExtra;
        z.entries.push_back(c);
    }
    return z;
}

QByteArray pkwareDecrypt(const QByteArray &password, const QByteArray &cipher)
{
    auto crc = [](quint32 c, unsigned char b) {
        c ^= b;
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
        return c;
    };
    quint32 k0 = 0x12345678, k1 = 0x23456789, k2 = 0x34567890;
    auto update = [&](unsigned char b) {
        k0 = crc(k0, b);
        k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
        k2 = crc(k2, static_cast<unsigned char>(k1 >> 24));
    };
    for (char c : password)
        update(static_cast<unsigned char>(c));
    QByteArray plain(cipher.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < cipher.size(); ++i) {
        const quint32 t = (k2 | 2) & 0xFFFF;
        const auto p = static_cast<unsigned char>(static_cast<unsigned char>(cipher[i]) ^ ((t * (t ^ 1)) >> 8));
        plain[i] = static_cast<char>(p);
        update(p);
    }
    return plain;
}

} // namespace dozorix::test
