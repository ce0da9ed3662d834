#include "common/Stamps.h"

#include <cmath>

namespace dozorix {

QString LogStamp(const QDateTime &at)
{
    return at.toString(QStringLiteral("dd.MM.yyyy")) + QStringLiteral(" - ")
        + at.toString(QStringLiteral("H:mm:ss")) + QStringLiteral(" : ");
}

QString TimeStamp(const QDateTime &at)
{
    return at.toString(QStringLiteral("H:mm:ss")) + QStringLiteral(" : ");
}

QString DateTimeFileStamp(const QDateTime &at)
{
    return at.toString(QStringLiteral("ddMMyyyy_HHmmss"));
}

QString DateTimeFolderStamp(const QDateTime &at)
{
    return at.toString(QStringLiteral("dd_MM_yyyy__HH_mm_ss"));
}

QString formatHashDotHash(long double value)
{
    const bool negative = value < 0;
    // Round half away from zero to hundredths, in integer hundredths so that
    // no binary fraction leaks into the text.
    const long double hundredths = std::round(std::fabs(value) * 100.0L);
    const auto whole = static_cast<unsigned long long>(hundredths / 100.0L);
    const auto frac = static_cast<unsigned int>(hundredths - static_cast<long double>(whole) * 100.0L);
    QString text;
    if (whole != 0)
        text = QString::number(whole);
    if (frac != 0) {
        QString digits = QStringLiteral("%1").arg(frac, 2, 10, QLatin1Char('0'));
        while (digits.endsWith(QLatin1Char('0')))
            digits.chop(1);
        text += QLatin1Char('.') + digits;
    }
    if (negative && !text.isEmpty())
        text.prepend(QLatin1Char('-'));
    return text;
}

QString FormatSize(std::uint64_t bytes)
{
    constexpr std::uint64_t KB = 1024;
    constexpr std::uint64_t MB = 1000 * KB;
    constexpr std::uint64_t GB = 1000 * MB;
    constexpr std::uint64_t TB = 1000 * GB;
    const auto value = static_cast<long double>(bytes);
    if (bytes > TB)
        return formatHashDotHash(value / TB) + QStringLiteral(" TB");
    if (bytes > GB)
        return formatHashDotHash(value / GB) + QStringLiteral(" GB");
    if (bytes > MB)
        return formatHashDotHash(value / MB) + QStringLiteral(" MB");
    if (bytes > KB)
        return formatHashDotHash(value / KB) + QStringLiteral(" KB");
    return formatHashDotHash(value) + QStringLiteral(" bytes");
}

QString formatGeneral(double value)
{
    if (!std::isfinite(value))
        return QStringLiteral("0");
    if (value == 0)
        return QStringLiteral("0");
    QString text = QString::number(value, 'g', 15);
    return text;
}

bool parseGeneral(const QString &text, double *value)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return false;
    bool ok = false;
    const double v = t.toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

} // namespace dozorix
