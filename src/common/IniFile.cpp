#include "IniFile.h"

#include "FdIo.h"
#include "TextCodec.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
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

} // namespace

IniFile::IniFile(QString path, WriteMode mode)
    : m_path(std::move(path))
    , m_mode(mode)
{
    load();
}

void IniFile::load()
{
    QFile f(m_path);
    m_existed = f.exists();
    if (!m_existed || !f.open(QIODevice::ReadOnly))
        return;
    QByteArray data = f.readAll();
    if (data.startsWith("\xEF\xBB\xBF"))
        data.remove(0, 3);
    const QString text = isValidUtf8(data) ? QString::fromUtf8(data) : fromCp1251(data);
    m_crlf = text.contains(QLatin1String("\r\n")) || !text.contains(QLatin1Char('\n'));
    m_lines = text.split(QLatin1Char('\n'));
    for (QString &l : m_lines) {
        if (l.endsWith(QLatin1Char('\r')))
            l.chop(1);
    }
    // A final line break leaves one empty element behind; it is not a line.
    if (!m_lines.isEmpty() && m_lines.back().isEmpty())
        m_lines.removeLast();
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
        m_lines.insert(f.insertAt, line);
    } else {
        if (!m_lines.isEmpty() && !m_lines.back().trimmed().isEmpty())
            m_lines << QString();
        m_lines << QLatin1Char('[') + section.trimmed() + QLatin1Char(']') << line;
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
    if (!m_dirty)
        return true;
    if (m_mode == WriteMode::ExistingOnly && !QFileInfo::exists(m_path)) {
        m_error = QStringLiteral("the settings file does not exist");
        return false;
    }
    const QString eol = m_crlf ? QStringLiteral("\r\n") : QStringLiteral("\n");
    QString text = m_lines.join(eol);
    if (!m_lines.isEmpty())
        text += eol;
    if (!writeFileAtomically(m_path, text.toUtf8(), &m_error))
        return false;
    m_existed = true;
    m_dirty = false;
    return true;
}

bool writeFileAtomically(const QString &path, const QByteArray &data, QString *error)
{
    auto fail = [&](const char *what, int err) {
        if (error)
            *error = QStringLiteral("%1 %2: %3").arg(QString::fromLatin1(what), path, QString::fromLocal8Bit(std::strerror(err)));
        return false;
    };
    // Write through a link to the file it names.
    QString target = path;
    const QFileInfo info(path);
    if (info.isSymLink())
        target = info.symLinkTarget();
    const QByteArray finalName = QFile::encodeName(target);
    QByteArray tmpName = finalName + ".tmpXXXXXX";

    const int fd = ::mkstemp(tmpName.data());
    if (fd < 0)
        return fail("cannot create a temporary file for", errno);
    struct stat st;
    if (::stat(finalName.constData(), &st) == 0)
        ::fchmod(fd, st.st_mode & 07777);
    else
        ::fchmod(fd, 0644);

    int writeError = 0;
    if (!writeAllToFd(fd, data.constData(), data.size(), &writeError)) {
        ::close(fd);
        ::unlink(tmpName.constData());
        return fail("cannot write", writeError);
    }
    if (::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(tmpName.constData());
        return fail("cannot flush", err);
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmpName.constData());
        return fail("cannot close", err);
    }
    if (::rename(tmpName.constData(), finalName.constData()) != 0) {
        const int err = errno;
        ::unlink(tmpName.constData());
        return fail("cannot replace", err);
    }
    // Make the rename itself durable.
    const QByteArray dir = QFile::encodeName(QFileInfo(target).absolutePath());
    const int dfd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

} // namespace dozorix
