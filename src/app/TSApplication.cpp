#include "app/TSApplication.h"

#include "app/TSRegForm.h"
#include "browserhost/TSCertificatePin.h"
#include "certstore/CertLibrary.h"
#include "protocol/TSSiteExchange.h"
#include "store/TSRegistrationStore.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QUrl>

#include <cstdio>

QStringList ApplyStartupEnvironment() {
    QStringList problems;
    if (const QString path = qEnvironmentVariable("TESSARO_SITE_CERT"); !path.isEmpty()) {
        const QString host = QUrl(TSSiteExchange::SiteOrigin()).host();
        QString error;
        std::optional<TSCertificatePin> pin = TSCertificatePin::FromPemFile(path, host, &error);
        if (pin)
            TSCertificatePin::SetCurrent(std::move(pin));
        else
            problems << QStringLiteral("TESSARO_SITE_CERT cannot be used. %1\nTessaro starts without it: the "
                                       "certificate of the registration site %2 must be trusted through "
                                       "your certificate database.")
                            .arg(error, host);
    }
    if (const QString location = qEnvironmentVariable("TESSARO_NSSDB"); !location.isEmpty()) {
        try {
            Settings::UseDatabase(location);
        } catch (const TSError& e) {
            problems << QStringLiteral(
                            "TESSARO_NSSDB cannot be used. %1\nTessaro starts without it and takes "
                            "personal certificates from your own certificate database, "
                            "sql:$HOME/.pki/nssdb.")
                            .arg(e.description());
        }
    }
    return problems;
}

void ReportStartupProblems(QWidget* parent, const QStringList& problems) {
    if (problems.isEmpty())
        return;
    for (const QString& problem : problems)
        std::fprintf(stderr, "tessaro: %s\n", qPrintable(QString(problem).replace(QLatin1Char('\n'), ' ')));
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Tessaro"), problems.join(QStringLiteral("\n\n")),
                    QMessageBox::Ok, parent);
    box.exec();
}

int RunTessaro(int argc, char* argv[], const std::function<void(TSRegForm&)>& beforeShow) {
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaro"));
    // The program ends by Exit or the main window's close button, not when a window closes.
    QApplication::setQuitOnLastWindowClosed(false);
    // Read once, before the first page loads.
    const QStringList problems = ApplyStartupEnvironment();
    // What register commands that never finished left in the store is put right before the
    // first page is shown.
    TSRegistrationStore(TSRegForm::programFolder()).RecoverLeftovers();
    TSRegForm form;
    if (beforeShow)
        beforeShow(form);
    form.show();
    // Over the shown window, once the event loop runs.
    QTimer::singleShot(0, &form, [&form, problems] { ReportStartupProblems(&form, problems); });
    return QApplication::exec();
}
