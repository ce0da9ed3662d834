#pragma once
// Reads a finished archive back before the backup it holds is deleted:
// every entry is decrypted when it has a password, inflated, and its CRC-32
// and size compared with what the central directory says. Only then is the
// archive the backup.

#include <QString>

#include <atomic>

namespace dozorix {

struct ZipVerifyResult {
    bool ok = false;
    int entries = 0;     // entries checked (folders included)
    QString error;       // why not, in Russian, with the entry's name
};

// The password as the writer took it (Windows-1251 bytes). stop, when set,
// ends the check early (not ok).
ZipVerifyResult verifyZipArchive(const QString &path, const QString &password,
                                 const std::atomic<bool> *stop = nullptr);

} // namespace dozorix
