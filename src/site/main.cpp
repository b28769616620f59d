#include "site/SiteCommand.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    const QCoreApplication app(argc, argv); // Qt SQL finds its drivers through it
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return RunSiteCommand(arguments);
}
