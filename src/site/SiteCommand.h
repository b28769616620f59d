#pragma once

#include <QStringList>
#include <cstdio>

// The command line of tessaro-site: init, serve, user add/remove/passwd, trust add, list, and
// --help on each. Arguments without the program name; standard input for passwords. Returns the
// exit status: 0 done, 1 failed (the reason on standard error), 2 the command line is wrong.
int RunSiteCommand(const QStringList& arguments, std::FILE* in = stdin);
