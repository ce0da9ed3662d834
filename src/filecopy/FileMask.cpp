#include "filecopy/FileMask.h"

#include "common/Wildcard.h"

namespace dozorix {

bool matchesFileMask(const QString &name, const QString &mask)
{
    if (mask.isEmpty() || mask == QLatin1String("*.*") || mask == QLatin1String("*"))
        return true;
    if (wildcardMatch(name, mask))
        return true;
    // "name.*" also stands for a name without any extension.
    if (mask.endsWith(QLatin1String(".*")) && !name.contains(QLatin1Char('.')))
        return wildcardMatch(name, QStringView(mask).chopped(2));
    return false;
}

} // namespace dozorix
