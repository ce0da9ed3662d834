#include "monitor/ImageNames.h"

#include <array>

namespace dozorix {
namespace {

struct Known {
    const char16_t *image;
    const char16_t *description;
    LoadKind kind;
};

// The processes of a Linux 1C server are those of Windows plus the
// administration server (ras, which rac and the cluster consoles talk to),
// the standalone server (ibsrv) and the users' launcher (1cv8s).
constexpr std::array<Known, 11> kKnown = {{
    {u"1cv8c.exe", u"Тонкий клиент 1С Предприятия.", LoadKind::Client},
    {u"1cv8.exe", u"Толстый клиент 1С Предприятия или Конфигуратор.", LoadKind::Client},
    {u"1cv7.exe", u"1С: Предприятие v:7", LoadKind::Client},
    {u"1cv8s.exe", u"Стартер 1С Предприятия.", LoadKind::Client},
    {u"ragent.exe", u"Агент сервера 1С.", LoadKind::Server},
    {u"rmngr.exe", u"Менеджер сервера 1С.", LoadKind::Server},
    {u"rphost.exe", u"Рабочий процесс сервера 1С.", LoadKind::Server},
    {u"ras.exe", u"Сервер администрирования 1С.", LoadKind::Server},
    {u"ibsrv.exe", u"Автономный сервер 1С.", LoadKind::Server},
    {u"Dozorix.exe", u"Dozorix.", LoadKind::Neither},
    {u"Бездействие системы", u"Свободно ресурсов от 1С", LoadKind::Neither},
}};

// The kept names as strings, made once (every one ends with ".exe").
const std::array<QString, kKnown.size() - 1> &keptNames()
{
    static const std::array<QString, kKnown.size() - 1> names = [] {
        std::array<QString, kKnown.size() - 1> out;
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = QString::fromUtf16(kKnown[i].image);
        return out;
    }();
    return names;
}

} // namespace

const QString *keptWindowsName(QStringView nativeName)
{
    // windowsImageName adds ".exe" unless the name ends with it in any case.
    const QLatin1StringView exe(".exe");
    const bool hasExe = nativeName.endsWith(exe, Qt::CaseInsensitive);
    for (const QString &kept : keptNames()) { // each ends with ".exe"
        const bool match = hasExe ? nativeName == kept
                                  : kept.size() == nativeName.size() + exe.size() && kept.startsWith(nativeName);
        if (match)
            return &kept;
    }
    return nullptr;
}

bool isKeptImage(const QString &windowsName)
{
    for (size_t i = 0; i + 1 < kKnown.size(); ++i) { // the idle row is kept by its PID, not its name
        if (windowsName == QStringView(kKnown[i].image))
            return true;
    }
    return false;
}

QString imageDescription(const QString &windowsName)
{
    for (const Known &k : kKnown) {
        if (windowsName == QStringView(k.image))
            return QString::fromUtf16(k.description);
    }
    return {};
}

LoadKind loadKindOfDescription(const QString &description)
{
    for (const Known &k : kKnown) {
        if (description == QStringView(k.description))
            return k.kind;
    }
    return LoadKind::Neither;
}

} // namespace dozorix
