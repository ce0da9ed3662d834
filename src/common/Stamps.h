#pragma once
// Time stamps for log lines and backup names, and the size formatter.
// Formats follow Russian regional settings: short date dd.MM.yyyy, long
// time H:mm:ss (hour without a leading zero).

#include <QDateTime>
#include <QString>

#include <cstdint>

namespace dozorix {

// "09.12.2026 - 1:16:36 : "
QString LogStamp(const QDateTime &at = QDateTime::currentDateTime());
// "1:16:36 : "
QString TimeStamp(const QDateTime &at = QDateTime::currentDateTime());
// "09122026_011636"
QString DateTimeFileStamp(const QDateTime &at = QDateTime::currentDateTime());
// "09_12_2026__01_16_36"
QString DateTimeFolderStamp(const QDateTime &at = QDateTime::currentDateTime());

// Byte count with a unit; KB = 1024, MB = 1000 KB, GB = 1000 MB, TB = 1000 GB.
// "1024 bytes", "1.5 KB", "4.88 TB", " bytes" for zero.
QString FormatSize(std::uint64_t bytes);

// The "#.##" picture: at most two decimals, no trailing zeros, no integer
// zero before the point ("0.5" prints ".5", 0 prints "").
QString formatHashDotHash(long double value);

// The general number format of the load boxes: up to 15 significant digits,
// a point as the separator, no trailing zeros ("3.75", "0", "100").
QString formatGeneral(double value);

// Reads a number written in that format (or "0.00"); false for empty or other text.
bool parseGeneral(const QString &text, double *value);

} // namespace dozorix
