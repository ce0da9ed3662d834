#include "common/IniFile.h"

#include "common/FdIo.h"
#include "common/LogSink.h"
#include "common/Stamps.h"
#include "common/SystemErrors.h"
#include "common/TextCodec.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dozorix {
namespace {

// "[name]" with optional blanks around; returns the trimmed name or a null string.
QString sectionName(const QString &line)
{
    const QString t = line.trimmed();
    if (t.size() < 2 || t.front() != QLatin1Char('[') )
        return {};
    const qsizetype close = t.indexOf(QLatin1Char(']'));
    if (close < 0)
        return {};
    return t.mid(1, close - 1).trimmed();
}

bool isComment(const QString &line)
{
    const QString t = line.trimmed();
    return t.startsWith(QLatin1Char(';'));
}

// Splits "key = value" into its key; false when the line is no key line.
bool keyOf(const QString &line, QString *key, qsizetype *eq)
{
    if (isComment(line))
        return false;
    const qsizetype pos = line.indexOf(QLatin1Char('='));
    if (pos < 0)
        return false;
    *key = line.left(pos).trimmed();
    *eq = pos;
    return !key->isEmpty();
}

QString cleanValue(QString v)
{
    v = v.trimmed();
    if (v.size() >= 2) {
        const QChar a = v.front();
        const QChar b = v.back();
        if ((a == QLatin1Char('"') && b == QLatin1Char('"')) || (a == QLatin1Char('\'') && b == QLatin1Char('\'')))
            v = v.mid(1, v.size() - 2);
    }
    if (v.size() > IniFile::kMaxValueLength)
        v.truncate(IniFile::kMaxValueLength);
    return v;
}

// Values are single-line; a line break in a value would split the file.
QString flatten(QString v)
{
    v.replace(QLatin1String("\r\n"), QLatin1String(" "));
    v.replace(QLatin1Char('\r'), QLatin1Char(' '));
    v.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return v;
}

const QByteArray kUtf8Mark("\xEF\xBB\xBF");
const QByteArray kUtf16LEMark("\xFF\xFE");
const QByteArray kUtf16BEMark("\xFE\xFF");

QString systemReason(int err)
{
    return systemErrorText(err);
}

// "<what, with the path in it>: <the system's reason>".
QString failureText(const char *what, const QString &path, int err)
{
    return QString::fromUtf8(what).arg(path) + QStringLiteral(": ") + systemReason(err);
}

// Reads a whole regular file; false with *err set otherwise. Never blocks on
// a FIFO or a device that happens to carry the name.
bool readWholeFile(const QByteArray &name, QByteArray *out, int *err)
{
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *err = errno;
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *err = errno;
        ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        return false;
    }
    out->clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *err = errno;
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        out->append(buffer, n);
    }
    ::close(fd);
    return true;
}

} // namespace

IniFile::IniFile(QString path, WriteMode mode)
    : m_path(std::move(path))
    , m_mode(mode)
{
    load();
}

void IniFile::load()
{
    const QFileInfo info(m_path);
    m_existed = info.exists();
    if (!m_existed)
        return;
    QByteArray data;
    int err = 0;
    if (!readWholeFile(QFile::encodeName(m_path), &data, &err)) {
        // Readers get their defaults; save() refuses, so that what could not
        // be read is not replaced by the few keys written since.
        m_unreadable = true;
        m_readError = failureText("не удалось прочитать файл «%1»", m_path, err);
        return;
    }

    auto addLine = [this](QString line, bool crlf) {
        m_lines << std::move(line);
        m_crlf << crlf;
    };
    // A last line without an end gets the end of the line before it.
    auto lastLineEnd = [this] { return m_crlf.isEmpty() ? true : m_crlf.back(); };

    if (data.startsWith(kUtf16LEMark) || data.startsWith(kUtf16BEMark)) {
        const bool bigEndian = data.startsWith(kUtf16BEMark);
        m_encoding = bigEndian ? Encoding::Utf16BE : Encoding::Utf16LE;
        const QString text = fromUtf16Bytes(data.constData() + 2, data.size() - 2, bigEndian);
        qsizetype from = 0;
        while (from < text.size()) {
            const qsizetype nl = text.indexOf(QLatin1Char('\n'), from);
            QString line = text.mid(from, nl < 0 ? -1 : nl - from);
            const bool cr = line.endsWith(QLatin1Char('\r'));
            if (cr)
                line.chop(1);
            addLine(std::move(line), nl < 0 && !cr ? lastLineEnd() : cr);
            if (nl < 0)
                break;
            from = nl + 1;
        }
        return;
    }

    qsizetype from = 0;
    if (data.startsWith(kUtf8Mark)) {
        m_encoding = Encoding::Utf8WithMark;
        from = kUtf8Mark.size();
    }
    // Line by line: valid UTF-8, else Windows-1251. A mark says the file is
    // UTF-8, but a line pasted in from an old file still reads as it was
    // written.
    while (from < data.size()) {
        const qsizetype nl = data.indexOf('\n', from);
        QByteArray bytes = data.mid(from, nl < 0 ? -1 : nl - from);
        const bool cr = bytes.endsWith('\r');
        if (cr)
            bytes.chop(1);
        addLine(isValidUtf8(bytes) ? QString::fromUtf8(bytes) : fromCp1251(bytes), nl < 0 && !cr ? lastLineEnd() : cr);
        if (nl < 0)
            break;
        from = nl + 1;
    }
}

void IniFile::insertLine(qsizetype at, const QString &line)
{
    // A new line ends as the line before it does.
    const bool crlf = at > 0 ? m_crlf[at - 1] : (m_crlf.isEmpty() ? true : m_crlf.front());
    m_lines.insert(at, line);
    m_crlf.insert(at, crlf);
}

QByteArray IniFile::encoded() const
{
    QString text;
    for (qsizetype i = 0; i < m_lines.size(); ++i)
        text += m_lines[i] + (m_crlf[i] ? QLatin1String("\r\n") : QLatin1String("\n"));
    switch (m_encoding) {
    case Encoding::Utf8: return text.toUtf8();
    case Encoding::Utf8WithMark: return kUtf8Mark + text.toUtf8();
    case Encoding::Utf16LE: return kUtf16LEMark + toUtf16Bytes(text, false);
    case Encoding::Utf16BE: return kUtf16BEMark + toUtf16Bytes(text, true);
    }
    return text.toUtf8();
}

IniFile::Found IniFile::find(const QString &section, const QString &key) const
{
    Found r;
    const QString want = section.trimmed();
    const QString wantKey = key.trimmed();
    bool inSection = false;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const QString &line = m_lines[i];
        const QString name = sectionName(line);
        if (!name.isNull()) {
            if (inSection)
                break; // end of the first section of that name
            if (name.compare(want, Qt::CaseInsensitive) == 0) {
                inSection = true;
                r.sectionLine = i;
                r.insertAt = i + 1;
            }
            continue;
        }
        if (!inSection)
            continue;
        QString k;
        qsizetype eq;
        if (keyOf(line, &k, &eq)) {
            if (r.keyLine < 0 && k.compare(wantKey, Qt::CaseInsensitive) == 0)
                r.keyLine = i;
            r.insertAt = i + 1;
        } else if (!line.trimmed().isEmpty()) {
            r.insertAt = i + 1;
        }
    }
    return r;
}

QString IniFile::readString(const QString &section, const QString &key, const QString &def) const
{
    const Found f = find(section, key);
    if (f.keyLine < 0)
        return def;
    const QString &line = m_lines[f.keyLine];
    return cleanValue(line.mid(line.indexOf(QLatin1Char('=')) + 1));
}

bool IniFile::parseInteger(const QString &text, int *out)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return false;
    qsizetype i = 0;
    bool negative = false;
    if (t[0] == QLatin1Char('+') || t[0] == QLatin1Char('-')) {
        negative = t[0] == QLatin1Char('-');
        i = 1;
    }
    if (i >= t.size())
        return false;
    long long v = 0;
    for (; i < t.size(); ++i) {
        const QChar c = t[i];
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        v = v * 10 + (c.unicode() - '0');
        if (v > 2147483648LL)
            return false;
    }
    if (negative)
        v = -v;
    if (v > 2147483647LL || v < -2147483648LL)
        return false;
    *out = static_cast<int>(v);
    return true;
}

int IniFile::readInteger(const QString &section, const QString &key, int def) const
{
    int v;
    return parseInteger(readString(section, key, QString()), &v) ? v : def;
}

bool IniFile::readBool(const QString &section, const QString &key, bool def) const
{
    return readInteger(section, key, def ? 1 : 0) != 0;
}

bool IniFile::hasKey(const QString &section, const QString &key) const
{
    return find(section, key).keyLine >= 0;
}

QStringList IniFile::sections() const
{
    QStringList out;
    for (const QString &line : m_lines) {
        const QString name = sectionName(line);
        if (!name.isNull())
            out << name;
    }
    return out;
}

void IniFile::writeString(const QString &section, const QString &key, const QString &value)
{
    QString line = key.trimmed() + QLatin1Char('=') + flatten(value);
    const Found f = find(section, key);
    if (f.keyLine >= 0) {
        // The key keeps the spelling it has in the file.
        const QString &old = m_lines[f.keyLine];
        line = old.left(old.indexOf(QLatin1Char('='))).trimmed() + QLatin1Char('=') + flatten(value);
        if (old == line)
            return;
        m_lines[f.keyLine] = line;
    } else if (f.sectionLine >= 0) {
        insertLine(f.insertAt, line);
    } else {
        if (!m_lines.isEmpty() && !m_lines.back().trimmed().isEmpty())
            insertLine(m_lines.size(), QString());
        insertLine(m_lines.size(), QLatin1Char('[') + section.trimmed() + QLatin1Char(']'));
        insertLine(m_lines.size(), line);
    }
    m_dirty = true;
}

void IniFile::writeInteger(const QString &section, const QString &key, int value)
{
    writeString(section, key, QString::number(value));
}

void IniFile::writeBool(const QString &section, const QString &key, bool value)
{
    writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

bool IniFile::save()
{
    m_error.clear();
    m_skipped = false;
    if (!m_dirty)
        return true;
    if (m_mode == WriteMode::ExistingOnly && !QFileInfo::exists(m_path)) {
        m_skipped = true;
        m_error = QStringLiteral("файл настроек «%1» не существует").arg(m_path);
        return false;
    }
    if (m_unreadable) {
        m_error = m_readError;
        return false;
    }
    if (!writeFileSafely(m_path, encoded(), &m_error))
        return false;
    m_existed = true;
    m_dirty = false;
    return true;
}

bool saveSettingsFile(IniFile &ini)
{
    // Path → the failure last reported for it.
    static QHash<QString, QString> reported;
    const bool writes = ini.isDirty();
    if (ini.save()) {
        if (writes)
            reported.remove(ini.path());
        return true;
    }
    if (ini.skipped())
        return false;
    const auto it = reported.constFind(ini.path());
    if (it != reported.constEnd() && *it == ini.error())
        return false;
    reported.insert(ini.path(), ini.error());
    logLine(LogStamp() + QStringLiteral("Не удалось сохранить настройки: ") + ini.error(), kLogRed);
    return false;
}

namespace {

// Closes a descriptor when it goes out of scope.
struct FdCloser {
    int fd = -1;
    ~FdCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int release()
    {
        const int f = fd;
        fd = -1;
        return f;
    }
};

bool preadAll(int fd, char *data, qint64 size, int *err)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, data + done, static_cast<size_t>(size - done), done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *err = n < 0 ? errno : EIO;
            return false;
        }
        done += n;
    }
    return true;
}

bool pwriteAll(int fd, const char *data, qint64 size, int *err)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, data + done, static_cast<size_t>(size - done), done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *err = errno;
            return false;
        }
        done += n;
    }
    return true;
}

void syncFolderOf(const QByteArray &name)
{
    const QByteArray dir = QFile::encodeName(QFileInfo(QFile::decodeName(name)).absolutePath());
    const int dfd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

enum class Replace { Done, Failed, NotThisWay };

// Writes a temporary file beside the target and renames it over it. With
// `old` (the target exists), the temporary file first gets the target's
// owner, group and mode; NotThisWay when that or the temporary file itself
// is not possible here, with nothing changed.
Replace replaceFile(const QByteArray &name, const QString &shown, const QByteArray &data, const struct stat *old,
                    QString *error)
{
    auto fail = [&](const char *what, int err) {
        if (error)
            *error = failureText(what, shown, err);
        return Replace::Failed;
    };
    QByteArray tmpName = name + ".tmpXXXXXX";
    FdCloser tmp{::mkostemp(tmpName.data(), O_CLOEXEC)};
    if (tmp.fd < 0) {
        const int err = errno;
        if (old && (err == EACCES || err == EPERM || err == EROFS))
            return Replace::NotThisWay; // a folder we may not write in
        return fail(old ? "не удалось создать временный файл рядом с файлом «%1»" : "не удалось создать файл «%1»", err);
    }
    auto dropTmp = [&] { ::unlink(tmpName.constData()); };
    if (old) {
        struct stat mine;
        const bool sameOwner = ::fstat(tmp.fd, &mine) == 0 && mine.st_uid == old->st_uid && mine.st_gid == old->st_gid;
        if ((!sameOwner && ::fchown(tmp.fd, old->st_uid, old->st_gid) != 0) || ::fchmod(tmp.fd, old->st_mode & 07777) != 0) {
            dropTmp();
            return Replace::NotThisWay; // the file would change hands
        }
    } else if (::fchmod(tmp.fd, 0600) != 0) {
        // A new settings file holds passwords: its owner's alone, whatever
        // the umask (mkostemp makes it so already; this keeps it so).
        const int err = errno;
        dropTmp();
        return fail("не удалось создать файл «%1»", err);
    }
    int err = 0;
    if (!writeAllToFd(tmp.fd, data.constData(), data.size(), &err)) {
        dropTmp();
        return fail("не удалось записать файл «%1»", err);
    }
    if (::fsync(tmp.fd) != 0) {
        err = errno;
        dropTmp();
        return fail("не удалось сбросить на диск файл «%1»", err);
    }
    if (::close(tmp.release()) != 0) {
        err = errno;
        dropTmp();
        return fail("не удалось записать файл «%1»", err);
    }
    if (::rename(tmpName.constData(), name.constData()) != 0) {
        err = errno;
        dropTmp();
        return fail("не удалось заменить файл «%1»", err);
    }
    syncFolderOf(name);
    return Replace::Done;
}

// Writes the file's own blocks: reserves the space first, so that a full
// disk stops the write before the first byte changes, and puts the old
// contents back should the write still fail.
bool writeInPlace(const QByteArray &name, const QString &shown, const QByteArray &data, QString *error)
{
    auto fail = [&](const char *what, int err) {
        if (error)
            *error = failureText(what, shown, err);
        return false;
    };
    bool canRead = true;
    FdCloser fd{::open(name.constData(), O_RDWR | O_CLOEXEC | O_NOCTTY)};
    if (fd.fd < 0) {
        canRead = false;
        fd.fd = ::open(name.constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    }
    if (fd.fd < 0)
        return fail("файл «%1» только для чтения", errno);
    struct stat st;
    if (::fstat(fd.fd, &st) != 0)
        return fail("не удалось записать файл «%1»", errno);
    const qint64 oldSize = st.st_size;
    QByteArray old;
    int err = 0;
    if (canRead) {
        old.resize(oldSize);
        if (!preadAll(fd.fd, old.data(), oldSize, &err))
            return fail("не удалось прочитать файл «%1»", err);
    }
    if (data.size() > oldSize) {
        err = ::posix_fallocate(fd.fd, 0, data.size());
        if (err != 0) {
            (void)::ftruncate(fd.fd, oldSize);
            return fail("не удалось записать файл «%1»", err);
        }
    }
    if (!pwriteAll(fd.fd, data.constData(), data.size(), &err) || ::ftruncate(fd.fd, data.size()) != 0) {
        if (err == 0)
            err = errno;
        if (canRead) {
            int ignored = 0;
            pwriteAll(fd.fd, old.constData(), old.size(), &ignored);
            (void)::ftruncate(fd.fd, oldSize);
            ::fsync(fd.fd);
        }
        return fail("не удалось записать файл «%1»", err);
    }
    if (::fsync(fd.fd) != 0)
        return fail("не удалось сбросить на диск файл «%1»", errno);
    return true;
}

} // namespace

FileVersion FileVersion::of(const QString &path)
{
    FileVersion v;
    v.path = path;
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return v;
    v.device = st.st_dev;
    v.inode = st.st_ino;
    v.size = st.st_size;
    v.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    v.ctimeNs = static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
    return v;
}

bool writeFileSafely(const QString &path, const QByteArray &data, QString *error)
{
    auto fail = [&](const char *what, int err) {
        if (error)
            *error = failureText(what, path, err);
        return false;
    };
    // Write through a link to the file it names.
    QString target = path;
    const QFileInfo info(path);
    if (info.isSymLink())
        target = info.symLinkTarget();
    const QByteArray name = QFile::encodeName(target);

    struct stat st;
    if (::stat(name.constData(), &st) != 0) {
        if (errno != ENOENT)
            return fail("нет доступа к файлу «%1»", errno);
        return replaceFile(name, path, data, nullptr, error) == Replace::Done;
    }
    if (!S_ISREG(st.st_mode))
        return fail("«%1» — не обычный файл", S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    // No write permission for anyone: protected by its owner, whoever writes.
    if ((st.st_mode & 0222) == 0)
        return fail("файл «%1» только для чтения", EACCES);
    // May this process write it at all (its owner, its group, a read-only
    // file system, an immutable file)?
    const int probe = ::open(name.constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (probe < 0)
        return fail("файл «%1» только для чтения", errno);
    ::close(probe);

    if (st.st_nlink == 1) {
        switch (replaceFile(name, path, data, &st, error)) {
        case Replace::Done: return true;
        case Replace::Failed: return false;
        case Replace::NotThisWay: break;
        }
    }
    return writeInPlace(name, path, data, error);
}

} // namespace dozorix
