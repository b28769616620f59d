#pragma once

#include <QStringList>

#include <functional>

class TSRegForm;
class QWidget;

// Starts the program: the application object, the main window, and the event loop until the
// program ends. beforeShow, when given, sees the main window before it is first shown.
int RunTessaro(int argc, char* argv[], const std::function<void(TSRegForm&)>& beforeShow = {});

// Reads the start-up settings of the environment and puts in force what can be used:
//   TESSARO_SITE_CERT  a PEM certificate accepted for the site origin's host (TSCertificatePin)
//   TESSARO_NSSDB      an NSS database (a folder, or "sql:" and a folder) for personal
//                      certificates in place of sql:$HOME/.pki/nssdb
// Returns one message for each value that cannot be used; that value is left out, so that
// nothing is trusted that was not asked for. Unset or empty values change nothing.
QStringList ApplyStartupEnvironment();

// Tells the user, once, on standard error and in a message box over parent, what
// ApplyStartupEnvironment could not use. Nothing when there is nothing to tell.
void ReportStartupProblems(QWidget* parent, const QStringList& problems);
