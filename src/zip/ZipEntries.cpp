#include "zip/FWZipWriter.h"

#include "filecopy/FileMask.h"
#include "zip/ZipNames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The entry list of the writer: entries added one by one or from a folder
// tree, and the archive names they get (ZipNames.h for a name from disk; no
// two entries share a name).

namespace dozorix {
namespace {

// A name inside the archive: "/" separators, no leading "/", no "." or ".."
// components, so that no entry can point outside the folder it is unpacked to.
QString archiveName(QString name)
{
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const bool folder = name.endsWith(QLatin1Char('/'));
    QStringList parts;
    for (const QString &part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String(".") || part == QLatin1String(".."))
            continue;
        parts << part;
    }
    QString out = parts.join(QLatin1Char('/'));
    if (folder && !out.isEmpty())
        out += QLatin1Char('/');
    return out;
}

QString canonicalPath(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

bool TFWZipWriterItem::IsFolder() const
{
    return (m_attributes.FileAttributes & kFileAttributeDirectory) != 0
           || m_fileName.endsWith(QLatin1Char('/'));
}

bool TFWZipWriterItem::locked() const
{
    return m_owner && m_owner->m_building;
}

void TFWZipWriterItem::SetPassword(const QString &value)
{
    if (!locked())
        m_password = value;
}

void TFWZipWriterItem::SetCompressionLevel(TCompressionLevel value)
{
    if (!locked())
        m_level = value;
}

void TFWZipWriterItem::SetNeedDescriptor(bool value)
{
    if (!locked())
        m_needDescriptor = value;
}

void TFWZipWriterItem::SetComment(const QString &value)
{
    if (!locked())
        m_comment = value;
}

TFWZipWriter::TFWZipWriter()
{
    m_items.reserve(100000);
}

TFWZipWriter::~TFWZipWriter() = default;

TFWZipWriterItem *TFWZipWriter::newItem()
{
    auto item = std::unique_ptr<TFWZipWriterItem>(new TFWZipWriterItem(this));
    item->m_level = m_defaultLevel;
    item->m_password = m_defaultPassword;
    item->m_needDescriptor = m_defaultDescriptor;
    item->m_useUtf8 = m_useUtf8;
    m_items.push_back(std::move(item));
    return m_items.back().get();
}

TFWZipWriterItem *TFWZipWriter::GetItem(int Index) const
{
    if (Index < 0 || Index >= Count())
        return nullptr;
    return m_items[static_cast<size_t>(Index)].get();
}

int TFWZipWriter::AddFile(const QString &FilePath, const QString &FileName)
{
    FileAttributeData attributes;
    if (readFileAttributeData(QFile::encodeName(canonicalPath(FilePath)), &attributes) != 0)
        return -1;
    return AddFile(FilePath, attributes, FileName);
}

int TFWZipWriter::AddFile(const QString &FilePath, const FileAttributeData &Attributes, const QString &FileName)
{
    if (m_building || FilePath.isEmpty())
        return -1;
    const QString path = canonicalPath(FilePath);
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    // A caller's name separates folders with "/" or "\"; the file's own name
    // is one name, whatever it holds.
    QString note;
    const QString name = FileName.isEmpty()
                             ? archiveNameFromDisk(QFile::encodeName(QFileInfo(path).fileName()), &note)
                             : readerSafeName(archiveName(FileName), &note);
    return addItem(native, Attributes, name, note);
}

int TFWZipWriter::addItem(const QByteArray &nativePath, const FileAttributeData &attributes, const QString &name,
                          const QString &note)
{
    if (name.isEmpty() || name.endsWith(QLatin1Char('/')))
        return -1;
    TFWZipWriterItem *item = newItem();
    item->m_nativePath = nativePath;
    item->m_filePath = QFile::decodeName(nativePath);
    item->m_nameNote = note;
    item->m_fileName = claimName(name, false, &item->m_nameNote);
    item->m_attributes = attributes;
    item->m_attributes.FileAttributes &= ~kFileAttributeDirectory;
    item->m_size = attributes.FileSize;
    return Count() - 1;
}

QString TFWZipWriter::claimName(const QString &name, bool folder, QString *note)
{
    const QStringList parts = name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString out;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const bool isFolder = folder || i + 1 < parts.size();
        QString path = out + parts[i];
        if (isFolder) {
            const auto moved = m_movedFolders.constFind(path);
            if (moved != m_movedFolders.cend()) {
                path = *moved;
            } else {
                const auto taken = m_takenNames.constFind(path);
                if (taken == m_takenNames.cend()) {
                    m_takenNames.insert(path, false);
                } else if (*taken) {
                    // A file has this name: the folder's entries go to a
                    // numbered one.
                    QString other;
                    for (int n = 2;; ++n) {
                        other = out + numberedName(parts[i], n);
                        if (!m_takenNames.contains(other))
                            break;
                    }
                    appendNote(note, QStringLiteral("the folder \"%1\" is stored as \"%2\": a file of another "
                                                    "entry has its name")
                                         .arg(path, other));
                    m_takenNames.insert(other, false);
                    m_movedFolders.insert(path, other);
                    path = other;
                }
            }
            out = path + QLatin1Char('/');
        } else {
            if (m_takenNames.contains(path)) {
                QString other;
                for (int n = 2;; ++n) {
                    other = out + numberedName(parts[i], n);
                    if (!m_takenNames.contains(other))
                        break;
                }
                appendNote(note, QStringLiteral("\"%1\" is stored as \"%2\": another entry has its name")
                                     .arg(path, other));
                path = other;
            }
            m_takenNames.insert(path, true);
            out = path;
        }
    }
    return out;
}

int TFWZipWriter::AddFolder(const QString &RelativePath, const QString &Path, const QString &Mask,
                            bool SubFolders)
{
    if (m_building || Path.isEmpty())
        return 0;
    QString note;
    QString prefix = readerSafeName(archiveName(RelativePath), &note);
    if (!prefix.isEmpty() && !prefix.endsWith(QLatin1Char('/')))
        prefix += QLatin1Char('/');
    std::vector<std::pair<quint64, quint64>> visiting;
    const QString mask = Mask.isEmpty() ? QStringLiteral("*.*") : Mask;
    return addFolderTree(prefix, QFile::encodeName(canonicalPath(Path)), note, mask, SubFolders, visiting);
}

int TFWZipWriter::addFolderTree(const QString &prefix, const QByteArray &folder, const QString &inheritedNote,
                                const QString &mask, bool subFolders,
                                std::vector<std::pair<quint64, quint64>> &visiting)
{
    DIR *dir = ::opendir(folder.constData());
    if (!dir) {
        const int err = errno;
        if (!prefix.isEmpty()) {
            // A sub-folder whose files cannot be seen: keep it as an entry that
            // fails, so the loss shows in the build result.
            TFWZipWriterItem *item = newItem();
            item->m_nativePath = folder;
            item->m_filePath = QFile::decodeName(folder);
            item->m_nameNote = inheritedNote;
            item->m_fileName = claimName(prefix, true, &item->m_nameNote);
            item->m_attributes.FileAttributes = kFileAttributeDirectory;
            item->m_listError = err;
        }
        return 0;
    }
    struct stat dst;
    if (::fstat(dirfd(dir), &dst) == 0) {
        const std::pair<quint64, quint64> id{static_cast<quint64>(dst.st_dev), static_cast<quint64>(dst.st_ino)};
        if (std::find(visiting.begin(), visiting.end(), id) != visiting.end()) {
            ::closedir(dir);
            return 0; // a link back into the tree being walked
        }
        visiting.push_back(id);
    }
    const QByteArray base = folder.endsWith('/') ? folder : folder + '/';

    // The whole listing first: the archive names of a folder's entries are
    // made unique among themselves, a name kept as it is on disk before one
    // that had to change.
    struct Listed {
        QByteArray raw;
        QString name;
        QString note;
    };
    std::vector<Listed> listing;
    while (struct dirent *ent = ::readdir(dir))
        listing.push_back({QByteArray(ent->d_name), QString(), QString()});
    QSet<QString> names;
    bool changed = false;
    for (Listed &l : listing) {
        if (l.raw == "." || l.raw == "..")
            continue;
        l.name = archiveNameFromDisk(l.raw, &l.note);
        if (l.note.isEmpty())
            names.insert(l.name);
        else
            changed = true;
    }
    if (changed) {
        for (Listed &l : listing) {
            if (l.note.isEmpty())
                continue;
            if (names.contains(l.name)) {
                QString other;
                for (int n = 2;; ++n) {
                    other = numberedName(l.name, n);
                    if (!names.contains(other))
                        break;
                }
                appendNote(&l.note, QStringLiteral("\"%1\" is stored as \"%2\": another entry of the folder has "
                                                   "its name")
                                        .arg(l.name, other));
                l.name = other;
            }
            names.insert(l.name);
        }
    }

    int count = 0;
    for (const Listed &l : listing) {
        const char *raw = l.raw.constData();
        if (l.raw == ".") {
            if (m_alwaysAddEmptyFolder && !prefix.isEmpty()) {
                FileAttributeData attributes;
                if (readFileAttributeDataAt(dirfd(dir), ".", &attributes) == 0) {
                    TFWZipWriterItem *item = newItem();
                    item->m_nativePath = folder;
                    item->m_filePath = QFile::decodeName(folder);
                    item->m_nameNote = inheritedNote;
                    item->m_fileName = claimName(prefix, true, &item->m_nameNote);
                    item->m_attributes = attributes;
                    item->m_attributes.FileAttributes |= kFileAttributeDirectory;
                    item->m_size = 0;
                }
            }
            continue;
        }
        if (l.raw == "..")
            continue;
        if (!matchesFileMask(l.name, mask))
            continue;
        FileAttributeData attributes;
        if (readFileAttributeDataAt(dirfd(dir), raw, &attributes) != 0)
            continue; // vanished, or a link to nothing
        QString note = inheritedNote;
        if (attributes.FileAttributes & kFileAttributeDirectory) {
            if (!subFolders)
                continue;
            // The entries below a folder whose name changed say so too.
            if (!l.note.isEmpty())
                appendNote(&note, QStringLiteral("folder \"%1%2\": %3").arg(prefix, l.name, l.note));
            count += addFolderTree(prefix + l.name + QLatin1Char('/'), base + l.raw, note, mask, subFolders,
                                   visiting);
            continue;
        }
        appendNote(&note, l.note);
        struct stat st;
        if (::fstatat(dirfd(dir), raw, &st, 0) != 0)
            continue;
        if (!S_ISREG(st.st_mode)) {
            // Pipes, sockets and devices hold no file data: an entry that
            // fails at build time names them and makes the partial result.
            const int index = addItem(base + l.raw, attributes, prefix + l.name, note);
            if (index >= 0)
                m_items[static_cast<size_t>(index)]->m_specialType = static_cast<quint32>(st.st_mode & S_IFMT);
            continue;
        }
        if (addItem(base + l.raw, attributes, prefix + l.name, note) >= 0)
            ++count;
    }
    ::closedir(dir);
    if (!visiting.empty())
        visiting.pop_back();
    return count;
}

} // namespace dozorix
