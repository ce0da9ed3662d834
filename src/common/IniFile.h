#pragma once
// The settings file engine: a classic Windows INI file.
//
// - file, section and key names are matched without regard to case;
// - a value read back loses leading and trailing blanks and one pair of
//   enclosing quotes, and is cut to 2047 characters;
// - booleans are "1"/"0" and read as integers (non-zero is true);
// - integers are decimal; text that is not one gives the reader's default;
// - text: a file with a byte-order mark is read in its encoding (UTF-8,
//   UTF-16 LE or BE, as Notepad writes them); any other file is read line by
//   line, each line as UTF-8 when it is valid UTF-8 and as Windows-1251
//   otherwise, so that a file pasted together from this server's lines and
//   an old Windows server's loses nothing;
// - a save writes UTF-8. A file with a mark keeps its encoding and its mark:
//   a UTF-16 file is most likely kept in Notepad on a Windows share, and
//   turning it into UTF-8 behind its editor's back would be a surprise the
//   next time it is opened there; UTF-8 reads the same with or without the
//   mark, so the mark stays as the file had it. Every line keeps its own end
//   (CR LF or LF); a new line takes the end of the line before it, in a new
//   file CR LF;
// - a save goes through writeFileSafely(): a read-only file stays as it is.
//
// An IniFile loads the file once when constructed; writes change the loaded
// copy and save() puts it on disk. Writers follow the program's existence
// rule: with WriteMode::ExistingOnly, save() writes nothing when the file did
// not exist. A file that exists but cannot be read is never written: the
// write would replace what could not be read.

#include <QString>
#include <QStringList>

namespace dozorix {

class IniFile
{
public:
    enum class WriteMode { ExistingOnly, CreateIfMissing };

    static constexpr int kMaxValueLength = 2047;

    explicit IniFile(QString path, WriteMode mode = WriteMode::ExistingOnly);

    const QString &path() const { return m_path; }
    bool fileExisted() const { return m_existed; }

    QString readString(const QString &section, const QString &key, const QString &def) const;
    int readInteger(const QString &section, const QString &key, int def) const;
    bool readBool(const QString &section, const QString &key, bool def) const;
    bool hasKey(const QString &section, const QString &key) const;
    QStringList sections() const;

    void writeString(const QString &section, const QString &key, const QString &value);
    void writeInteger(const QString &section, const QString &key, int value);
    void writeBool(const QString &section, const QString &key, bool value);

    // Puts pending writes on disk. Returns false, and leaves the file as it
    // was, when the write is skipped by the existence rule or fails; error()
    // then says why, in Russian, with the system's reason at the end, and
    // skipped() tells the two apart.
    bool save();
    bool isDirty() const { return m_dirty; }
    QString error() const { return m_error; }
    bool skipped() const { return m_skipped; }

    // Parses integer text the way every reader does; false when not an integer.
    static bool parseInteger(const QString &text, int *out);

private:
    struct Found {
        qsizetype sectionLine = -1; // header line, -1 when the section is missing
        qsizetype keyLine = -1;     // key line, -1 when the key is missing
        qsizetype insertAt = -1;    // where a new key of this section goes
    };
    enum class Encoding { Utf8, Utf8WithMark, Utf16LE, Utf16BE };

    Found find(const QString &section, const QString &key) const;
    void load();
    void insertLine(qsizetype at, const QString &line);
    QByteArray encoded() const;

    QString m_path;
    WriteMode m_mode;
    bool m_existed = false;
    bool m_unreadable = false;
    bool m_dirty = false;
    bool m_skipped = false;
    Encoding m_encoding = Encoding::Utf8;
    QStringList m_lines;
    QList<bool> m_crlf; // per line: ends in CR LF, else LF
    QString m_error;
    QString m_readError;
};

// Saves the settings file and reports a failed save to the event log: one red
// line, the stamp, "Не удалось сохранить настройки: " and the reason. The same
// failure (path and reason) is reported once, not on every later attempt,
// until a save of that file has succeeded again. A save skipped by the
// existence rule is no failure. Call on the user-interface thread.
bool saveSettingsFile(IniFile &ini);

// Puts the data into a file without ever leaving it truncated or half new:
// - a file without any write permission is read-only, for root too (as the
//   read-only attribute on Windows), and so is one this process may not open
//   for writing: the write fails and the file stays as it is;
// - otherwise the file is replaced: a temporary file beside it, given the
//   file's owner, group and mode, flushed to disk and renamed over it;
// - a file that cannot be replaced that way is written in place (space
//   reserved first, then write, truncate, fsync): when its folder is not
//   writable, when the temporary file cannot get the file's owner and group
//   (an ordinary user writing another user's file through its group), or
//   when it has other hard links;
// - a missing file is created the replacing way, readable and writable by
//   its owner only (0600): the settings file holds passwords. An existing
//   file keeps its mode (settingsExposureWarning() speaks of one others may
//   read).
// A link is followed to the file it names. On failure the file keeps its
// contents and *error says why: in Russian, then the system's reason.
bool writeFileSafely(const QString &path, const QByteArray &data, QString *error = nullptr);

// What tells a file changed since it was last read from one that was not,
// without reading it: its path, device and inode (a file replaced by rename
// is another inode), size, and modification and change times to the
// nanosecond. A missing file has an empty version.
struct FileVersion {
    QString path;
    unsigned long long device = 0, inode = 0;
    long long size = -1, mtimeNs = 0, ctimeNs = 0;

    static FileVersion of(const QString &path);
    bool operator==(const FileVersion &) const = default;
};

} // namespace dozorix
