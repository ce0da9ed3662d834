#pragma once
// Entry names of the ZIP writer: how a name is stored in the archive, and how
// a name read from a Linux folder becomes an archive name that every ZIP
// reader gives back as one file of its own.
//
// Stored form. A name (with its comment) that the IBM 866 form holds exactly
// -- the text in the ANSI code page (Windows-1251) carried over into the OEM
// one (IBM 866), as archivers on Russian Windows write it -- is stored that
// way with bit 11 clear. Any other name is stored in UTF-8 with bit 11 (the
// language encoding flag) set, instead of losing characters to "?".
// A stored name with bytes above 0x7F also carries the Info-ZIP Unicode Path
// extra field (0x7075: version 1, the CRC-32 of the stored name, the name in
// UTF-8) in its central header and, as a rule, in its local header too.
// Readers that take an IBM 866 name in the locale's code page unless told
// otherwise (7-Zip, bsdtar) or cannot be told at all (Debian's unzip has no
// option for it) take the name from that field instead; so does Debian's
// unzip for a UTF-8 name, which it would otherwise run through its OEM table
// in the local header of an archive made on a DOS host. 7-Zip and unzip read
// the field from the central header, bsdtar from the local one. Readers that
// read IBM 866 names as such (archivers on Russian Windows, 7-Zip with
// -mcp=866, bsdtar with hdrcharset=CP866, Python's zipfile with
// metadata_encoding="cp866") take the stored name.
// The exception, made by the writer: an IBM 866 name of an entry with a data
// descriptor (what the backup writes with a password) has the field in its
// central header only, and the NTFS field in its local header. Debian's unzip
// 6.0 rejects the whole archive ("overlapped components") when it takes the
// field from the local header of such an entry; with another field there it
// takes the name from the central header and warns that the local name reads
// differently (exit code 1, every file restored under its own name).
//
// Names from disk. A Linux name is bytes and may hold any character. The
// archive name keeps it, except where the ZIP readers would not give it back:
//  - a name that is not UTF-8 is read as Windows-1251, the whole name, as a
//    settings line is; every byte has a character of its own there, so two
//    such names never become one;
//  - "\" is a folder separator to unzip and bsdtar (in a name without "/"),
//    so it is stored as U+FF3C FULLWIDTH REVERSE SOLIDUS "＼";
//  - the control characters U+0001..U+001F and U+007F, which unzip drops from
//    the names it writes, are stored as their pictures U+2401..U+241F, U+2421.
// Such an entry is not restored under the file's own name, so it carries a
// note saying why. Where a changed name meets the name of another entry of
// the same folder, the changed one is numbered ("name (2).txt"): a name kept
// as it is on disk always wins.

#include <QByteArray>
#include <QString>

namespace dozorix {

// What the headers of an entry hold for its name and comment.
struct StoredName {
    QByteArray name;
    QByteArray comment;
    bool utf8 = false;         // general-purpose bit 11
    QByteArray unicodePath;    // the whole 0x7075 extra field, or empty
};

// The stored form of an entry's name and comment. alwaysUtf8 stores them in
// UTF-8 whatever they hold (the writer's UseUTF8String).
StoredName storeEntryName(const QString &name, const QString &comment, bool alwaysUtf8);

// The archive name of one component of a path on disk. *note is left empty
// when the readers restore the component as it is, else it says what changed.
QString archiveNameFromDisk(const QByteArray &component, QString *note);

// Control characters of a name given by a caller, as archiveNameFromDisk
// stores them; *note as there.
QString readerSafeName(const QString &name, QString *note);

// The n-th name in place of one that is taken: "report (2).txt", ".profile (2)".
QString numberedName(const QString &name, int n);

// Adds a clause to a note ("; " between clauses).
void appendNote(QString *note, const QString &clause);

} // namespace dozorix
