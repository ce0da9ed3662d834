#include "common/SystemErrors.h"

#include <cerrno>
#include <cstring>

namespace dozorix {

namespace {

const char *russianReason(int err)
{
    switch (err) {
    case ENOENT: return "нет такого файла или каталога";
    case EACCES: return "нет прав доступа";
    case EPERM: return "операция не разрешена";
    case ENOSPC: return "на диске нет свободного места";
    case EDQUOT: return "исчерпана дисковая квота";
    case EFBIG: return "файл больше наибольшего размера, который программе разрешено записывать (ulimit -f)";
    case EROFS: return "файловая система доступна только для чтения";
    case EIO: return "ошибка ввода-вывода: диск или сетевой ресурс не отвечает как следует";
    case EEXIST: return "файл уже существует";
    case ENOTDIR: return "часть пути не является каталогом";
    case EISDIR: return "это каталог, а не файл";
    case ENAMETOOLONG: return "слишком длинное имя файла";
    case ELOOP: return "слишком много символических ссылок подряд (или ссылка по кругу)";
    case EMFILE: return "программа открыла слишком много файлов";
    case EBUSY: return "устройство или ресурс занят";
    case ETXTBSY: return "файл занят: он исполняется как программа";
    case EINTR: return "операция прервана сигналом";
    case ECONNREFUSED: return "в подключении отказано";
    case ETIMEDOUT: return "время ожидания истекло";
    case EHOSTUNREACH: return "компьютер недоступен";
    case ENETUNREACH: return "сеть недоступна";
    default: return nullptr;
    }
}

} // namespace

QString systemErrorWords(int err)
{
    // The untranslated description: the log and the letters are Russian
    // whatever the locale, and the system's words stand in parentheses.
    if (const char *words = ::strerrordesc_np(err))
        return QString::fromUtf8(words);
    return QStringLiteral("ошибка %1").arg(err);
}

QString systemErrorText(int err)
{
    const QString words = systemErrorWords(err);
    if (const char *reason = russianReason(err))
        return QString::fromUtf8(reason) + QStringLiteral(" (") + words + QLatin1Char(')');
    return words;
}

} // namespace dozorix
