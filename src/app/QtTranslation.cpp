#include "app/QtTranslation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace dozorix {

bool installQtTranslation(QString *missing)
{
    static QTranslator *installed = nullptr;
    if (installed)
        return true;
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto *translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"), QStringLiteral("_"),
                          folder)) {
        delete translator;
        if (missing)
            *missing = folder + QStringLiteral("/qtbase_ru.qm");
        return false;
    }
    QCoreApplication::installTranslator(translator);
    installed = translator;
    return true;
}

} // namespace dozorix
