#pragma once
// The ZIP archive writer of the backup: packs a folder tree (or single files)
// into one archive in the PKWARE format: raw deflate (libdeflate, on every
// core), the traditional PKWARE encryption, ZIP64 records only where a size,
// offset or count needs them, names in IBM 866 or, where IBM 866 cannot hold
// them, in UTF-8 with bit 11 (ZipNames.h), and an NTFS extra field with the
// files' times. Entries whose data cannot be read are left out instead of failing
// the archive. No two entries share a name, so every file comes back.
// A FIFO, socket or device in a packed folder is never opened for its data:
// it is an entry left out with its reason, and so is a file whose size or
// modification time changed while it was being read.
//
// Typical use, as the backup's ZIP step does it:
//
//   TFWZipWriter zip;
//   zip.AddFolder(QString(), backupFolder, QString(), true);
//   for (int i = 0; i < zip.Count(); ++i) {
//       zip.GetItem(i)->SetPassword(password);
//       zip.GetItem(i)->SetNeedDescriptor(true);
//   }
//   zip.SetOnProgress(handler);
//   TBuildZipResult r = zip.BuildZip(archivePath);
//
// BuildZip runs on the calling thread and reports progress there, in order.
// Large entries are compressed on every core: their data is cut into chunks
// compressed side by side and joined into one deflate stream, so the archive
// is the same format and nearly the same size as with one core.

#include "zip/FileAttributeData.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <vector>

class QIODevice;

namespace dozorix {

class ZipOutput;

enum TCompressionLevel {
    clNone,
    clFastest,
    clDefault,
    clMax,
    clLevel1,
    clLevel2,
    clLevel3,
    clLevel4,
    clLevel5,
    clLevel6,
    clLevel7,
    clLevel8,
    clLevel9,
};

enum TProgressState {
    psStart,
    psInitialization,
    psInProgress,
    psFinalization,
    psEnd,
    psException,
};

enum TBuildZipResult {
    brDone,
    brFailed,
    brAborted,
    brPartialBuild,
};

// "brDone", "brFailed", "brAborted", "brPartialBuild".
const char *buildZipResultName(TBuildZipResult result);

class TFWZipWriter;

// Sender, the archive name of the entry, the entry's percentage, the whole
// archive's percentage, Cancel (false on entry; true aborts the build), state.
using TZipProgressEvent = std::function<void(TFWZipWriter *Sender, const QString &FileName,
                                             quint8 Percent, quint8 TotalPercent, bool &Cancel,
                                             TProgressState ProgressState)>;

// The 46-byte central-directory header of one entry.
struct TCentralDirectoryFileHeader {
    quint32 CentralFileHeaderSignature = 0;
    quint16 VersionMadeBy = 0;
    quint16 VersionNeededToExtract = 0;
    quint16 GeneralPurposeBitFlag = 0;
    quint16 CompressionMethod = 0;
    quint16 LastModFileTimeTime = 0;
    quint16 LastModFileTimeDate = 0;
    quint32 Crc32 = 0;
    quint32 CompressedSize = 0;
    quint32 UncompressedSize = 0;
    quint16 FilenameLength = 0;
    quint16 ExtraFieldLength = 0;
    quint16 FileCommentLength = 0;
    quint16 DiskNumberStart = 0;
    quint16 InternalFileAttributes = 0;
    quint32 ExternalFileAttributes = 0;
    quint32 RelativeOffsetOfLocalHeader = 0;
};

// What the writer keeps of an entry during a build.
struct TCentralDirectoryFileHeaderEx {
    TCentralDirectoryFileHeader Header;
    quint64 UncompressedSize = 0;
    quint64 CompressedSize = 0;
    quint64 RelativeOffsetOfLocalHeader = 0;
    quint64 DataOffset = 0;
    quint32 DiskNumberStart = 0;
    QByteArray FileName;
    QByteArray FileComment;
    QByteArray UnicodePathField; // the 0x7075 extra field of the central header, or empty
    QByteArray LocalExtraField;  // what the local header holds after its ZIP64 field
    FileAttributeData Attributes;
    bool ExceptOnWrite = false;
};

// One entry of the archive. Created by the writer, owned by it.
class TFWZipWriterItem
{
public:
    const QString &FilePath() const { return m_filePath; }
    // The path the data is read from, as bytes (a Linux name need not be
    // UTF-8, so FilePath may not spell it exactly).
    const QByteArray &NativePath() const { return m_nativePath; }
    const QString &FileName() const { return m_fileName; }
    // Why FileName is not the name the entry was added under (the file's
    // own name on disk, or the caller's): what changed and why (ZipNames.h).
    // Empty when the readers restore the file under that name.
    const QString &NameNote() const { return m_nameNote; }
    const QString &Comment() const { return m_comment; }
    const QString &Password() const { return m_password; }
    TCompressionLevel CompressionLevel() const { return m_level; }
    bool NeedDescriptor() const { return m_needDescriptor; }
    quint64 Size() const { return m_size; }
    const FileAttributeData &Attributes() const { return m_attributes; }
    bool UseUTF8String() const { return m_useUtf8; }
    // A folder entry has no data: the directory bit or a name ending in "/".
    bool IsFolder() const;

    // The setters do nothing while the writer builds.
    void SetPassword(const QString &value);
    void SetCompressionLevel(TCompressionLevel value);
    void SetNeedDescriptor(bool value);
    void SetComment(const QString &value);

    // Why the last build left this entry out; empty when it was written.
    const QString &BuildError() const { return m_buildError; }

private:
    friend class TFWZipWriter;
    explicit TFWZipWriterItem(const TFWZipWriter *owner) : m_owner(owner) {}
    bool locked() const;

    const TFWZipWriter *m_owner;
    QString m_filePath;
    QByteArray m_nativePath;
    QString m_fileName;
    QString m_nameNote;
    QString m_comment;
    QString m_password;
    TCompressionLevel m_level = clDefault;
    bool m_needDescriptor = false;
    quint64 m_size = 0;
    FileAttributeData m_attributes;
    bool m_useUtf8 = false;
    int m_listError = 0; // a sub-folder that could not be listed
    quint32 m_specialType = 0; // the file type (S_IFIFO, ...) of a listed file that holds no data
    QString m_buildError;
};

class TFWZipWriter
{
public:
    TFWZipWriter();
    ~TFWZipWriter();
    TFWZipWriter(const TFWZipWriter &) = delete;
    TFWZipWriter &operator=(const TFWZipWriter &) = delete;

    // Given to every entry added afterwards.
    bool DefaultDescriptor() const { return m_defaultDescriptor; }
    void SetDefaultDescriptor(bool value) { m_defaultDescriptor = value; }
    TCompressionLevel DefaultCompressionLevel() const { return m_defaultLevel; }
    void SetDefaultCompressionLevel(TCompressionLevel value) { m_defaultLevel = value; }
    const QString &DefaultPassword() const { return m_defaultPassword; }
    void SetDefaultPassword(const QString &value) { m_defaultPassword = value; }

    const QString &Comment() const { return m_comment; }
    void SetComment(const QString &value) { m_comment = value; }
    bool UseUTF8String() const { return m_useUtf8; }
    void SetUseUTF8String(bool value) { m_useUtf8 = value; }
    bool AlwaysAddEmptyFolder() const { return m_alwaysAddEmptyFolder; }
    void SetAlwaysAddEmptyFolder(bool value) { m_alwaysAddEmptyFolder = value; }

    void SetOnProgress(TZipProgressEvent handler) { m_onProgress = std::move(handler); }
    const TZipProgressEvent &OnProgress() const { return m_onProgress; }

    // Compression threads: 0 (the default) uses every core, 1 compresses on
    // the calling thread only.
    int Threads() const { return m_threads; }
    void SetThreads(int threads) { m_threads = threads < 0 ? 0 : threads; }

    // Adds the files of the folder Path (and of its sub-folders when
    // SubFolders), named RelativePath + "/" + their path below Path; an empty
    // Mask means every name. A name on disk is a name, whatever its bytes:
    // "\" in it is a character, not a separator, and a name the readers would
    // not give back is changed as ZipNames.h says, with a NameNote. Returns
    // the number of files added. A sub-folder that cannot be listed becomes
    // an entry that fails at build time, so the build reports brPartialBuild
    // instead of silently missing its files.
    int AddFolder(const QString &RelativePath, const QString &Path, const QString &Mask = QString(),
                  bool SubFolders = true);

    // Adds one file under FileName, an archive name given by the caller ("\"
    // becomes "/"), or, with an empty FileName, under the file's own name (a
    // name on disk, as AddFolder takes it). A name that another entry has
    // already taken, as a file or as a folder, is numbered ("a (2).txt") and
    // the entry gets a NameNote. Returns the entry's index, or -1 when no
    // file is there.
    int AddFile(const QString &FilePath, const QString &FileName = QString());
    int AddFile(const QString &FilePath, const FileAttributeData &Attributes,
                const QString &FileName = QString());

    int Count() const { return static_cast<int>(m_items.size()); }
    TFWZipWriterItem *GetItem(int Index) const;
    TFWZipWriterItem *Item(int Index) const { return GetItem(Index); }

    bool IsBuilding() const { return m_building; }

    // Builds the archive into a temporary file beside ZipFilePath, made
    // durable and then renamed to ZipFilePath (replacing one that exists,
    // whose permission bits it takes). With brFailed or brAborted (a full
    // disk, the file-size limit, a cancel) the temporary file is removed and
    // an existing archive stays exactly as it was.
    TBuildZipResult BuildZip(const QString &ZipFilePath);
    // Builds into an open, writable, random-access device from its current
    // position. With brFailed or brAborted the device is cut back there.
    TBuildZipResult BuildZip(QIODevice &Stream);

    // Why the last build failed as a whole (the archive could not be created
    // or its directory not written); empty otherwise. Left-out entries carry
    // their own reason (TFWZipWriterItem::BuildError).
    const QString &LastError() const { return m_lastError; }
    // Entries the last build left out.
    int ExceptionCount() const { return m_exceptionCount; }
    // The central-directory records of the last build, one per entry.
    const std::vector<TCentralDirectoryFileHeaderEx> &CentralDirectory() const { return m_central; }

private:
    class Build;
    friend class Build;
    friend class TFWZipWriterItem;

    TFWZipWriterItem *newItem();
    int addItem(const QByteArray &nativePath, const FileAttributeData &attributes, const QString &name,
                const QString &note);
    // The name an entry gets: name itself unless another entry has it (a
    // file's name against files and folders, a folder's against files); a
    // folder's name ends in "/".
    QString claimName(const QString &name, bool folder, QString *note);
    int addFolderTree(const QString &prefix, const QByteArray &folder, const QString &inheritedNote,
                      const QString &mask, bool subFolders, std::vector<std::pair<quint64, quint64>> &visiting);
    // The files that are the archive itself (the one being written, the one
    // it replaces), by device and inode: never packed into it.
    using FileIds = std::vector<std::pair<quint64, quint64>>;
    TBuildZipResult runBuild(ZipOutput &out, const FileIds &archive);

    bool m_defaultDescriptor = false;
    TCompressionLevel m_defaultLevel = clDefault;
    QString m_defaultPassword;
    QString m_comment;
    bool m_useUtf8 = false;
    bool m_alwaysAddEmptyFolder = false;
    TZipProgressEvent m_onProgress;
    int m_threads = 0;

    std::vector<std::unique_ptr<TFWZipWriterItem>> m_items;
    QHash<QString, bool> m_takenNames;        // archive name -> is a file (else a folder)
    QHash<QString, QString> m_movedFolders;   // folder that met a file's name -> the one used
    std::vector<TCentralDirectoryFileHeaderEx> m_central;
    bool m_building = false;
    int m_exceptionCount = 0;
    QString m_lastError;
};

} // namespace dozorix
