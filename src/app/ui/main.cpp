#include "SignalBridge.h"
#include "Startup.h"

#include <QApplication>

int main(int argc, char **argv)
{
    dozorix::catchFileSizeLimit();
    QApplication app(argc, argv);
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    dozorix::Startup startup(arguments);
    return startup.run();
}
