#include "app/SignalBridge.h"
#include "app/ui/Startup.h"
#include "backup/BackupExitCodes.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

namespace {

void printHelp()
{
    const QString text =
        QStringLiteral("Использование: Dozorix [bak<N>]\n"
                       "\n"
                       "  без параметров   консоль администратора сервера 1С:Предприятия\n"
                       "  bak1 … bak14     «бэкап» профиля N по настройкам резервного копирования, без окна:\n"
                       "                   программа завершается сама, когда «бэкап» закончен\n"
                       "  --help, -h       эта справка\n"
                       "\n"
                       "Каталог программы (Example.ini, Dozorix.log, temp.txt): DOZORIX_HOME, иначе каталог\n"
                       "программы, если в него можно писать, иначе ~/.local/share/dozorix. Ночью без рабочего\n"
                       "стола: QT_QPA_PLATFORM=offscreen.\n"
                       "\n"
                       "Код завершения «бэкапа» (bak<N>):\n")
        + dozorix::backupExitTable()
        + QStringLiteral("Если «бэкап» не выполнен, одна строка о причине выводится в стандартный поток ошибок.\n");
    std::fputs(text.toUtf8().constData(), stdout);
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printHelp();
            return 0;
        }
    }
    dozorix::catchFileSizeLimit();
    QApplication app(argc, argv);
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    dozorix::Startup startup(arguments);
    return startup.run();
}
