#include "site/SiteCommand.h"

#include <QCoreApplication>

#include <malloc.h>

int main(int argc, char** argv) {
    // Password hashes take 19 MiB each, and glibc keeps freed blocks of that size in the arena
    // of the thread that hashed; with one arena per worker thread memory grows to hundreds of
    // MiB. Four arenas keep it bounded while the workers seldom wait for one another.
    mallopt(M_ARENA_MAX, 4);
    const QCoreApplication app(argc, argv); // Qt SQL finds its drivers through it
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return RunSiteCommand(arguments);
}
