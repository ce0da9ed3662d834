#include "FileMask.h"

namespace dozorix {
namespace {

// Classic wildcard match with backtracking to the last "*".
bool wildcard(QStringView name, QStringView mask)
{
    qsizetype n = 0, m = 0, starM = -1, starN = 0;
    while (n < name.size()) {
        if (m < mask.size() && mask[m] == QLatin1Char('*')) {
            starM = m++;
            starN = n;
        } else if (m < mask.size()
                   && (mask[m] == QLatin1Char('?') || mask[m].toCaseFolded() == name[n].toCaseFolded())) {
            ++m;
            ++n;
        } else if (starM >= 0) {
            m = starM + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == QLatin1Char('*'))
        ++m;
    return m == mask.size();
}

} // namespace

bool matchesFileMask(const QString &name, const QString &mask)
{
    if (mask.isEmpty() || mask == QLatin1String("*.*") || mask == QLatin1String("*"))
        return true;
    if (wildcard(name, mask))
        return true;
    // "name.*" also stands for a name without any extension.
    if (mask.endsWith(QLatin1String(".*")) && !name.contains(QLatin1Char('.')))
        return wildcard(name, QStringView(mask).chopped(2));
    return false;
}

} // namespace dozorix
