#include "shell/CmdMessages.h"

#include "common/SystemErrors.h"

#include <cerrno>

namespace dozorix::cmdmessages {

QString syntaxError() { return QStringLiteral("Синтаксическая ошибка в команде."); }

QString pipeNotSupported() { return QStringLiteral("Конвейер (|) не поддерживается."); }

QString unexpected(const QString &what) { return QStringLiteral("Непредвиденное появление: %1.").arg(what); }

QString osErrorText(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return QStringLiteral("Системе не удается найти указанный путь.");
    case EACCES:
    case EPERM:
    case EISDIR:
        return QStringLiteral("Отказано в доступе.");
    default:
        return systemErrorText(error);
    }
}

QString notFound(const QString &written)
{
    return QStringLiteral("\"%1\" не является внутренней или внешней").arg(written) + kCrLf
        + QStringLiteral("командой, исполняемой программой или пакетным файлом.") + kCrLf;
}

QString fileNotFound(const QString &name) { return QStringLiteral("Не удается найти файл %1.").arg(name); }

} // namespace dozorix::cmdmessages
