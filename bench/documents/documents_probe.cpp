// The program as a user starts it, driven through one command: "register <document>" registers
// the document by certificate, "verify <record>" verifies a certificate record. Once the
// introduction page has loaded it runs the command from its menu, answering the dialogs as a user
// does, and then ends, writing "<milliseconds the command took> ok" (or "... failed: <report>").
#include "app/TSApplication.h"
#include "app/TSRegForm.h"
#include "common/E2eHarness.h"

#include <QAbstractButton>
#include <QAction>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QWebEngineView>

#include <cstdio>
#include <memory>

int main(int argc, char* argv[]) {
    if (argc != 3)
        return 2;
    const QByteArray command = argv[1];
    const QString path = QString::fromLocal8Bit(argv[2]);
    std::unique_ptr<E2eModals> modals;
    return RunTessaro(argc, argv, [&](TSRegForm& form) {
        modals = std::make_unique<E2eModals>();
        modals->chooseFile(path);
        if (command == "register") {
            modals->dialog(QStringLiteral("TSSignMethod"), [](QWidget* w) {
                w->findChild<QAbstractButton*>(QStringLiteral("optCertificate"))->click();
                w->findChild<QAbstractButton*>(QStringLiteral("btnOK"))->click();
            });
        } else {
            modals->dialog(QString(), [&](QWidget* w) {
                const auto* box = qobject_cast<QMessageBox*>(w);
                modals->expectThat(box &&
                                       box->windowTitle() == QLatin1String("Local Registration Data Verified "
                                                                           "Successfully"),
                                   E2eModals::describe(w));
                w->close();
            });
        }
        auto* pane = form.findChild<QWebEngineView*>(QStringLiteral("WebBrowser1"));
        auto started = std::make_shared<bool>(false);
        QObject::connect(pane, &QWebEngineView::loadFinished, &form, [&form, &modals, command, started] {
            if (std::exchange(*started, true))
                return;
            QTimer::singleShot(0, &form, [&form, &modals, command] {
                QElapsedTimer timer;
                timer.start();
                const char* item = command == "register" ? "mFile_Register" : "m_View_Registered";
                form.findChild<QAction*>(QLatin1String(item))->trigger();
                const qint64 ms = timer.elapsed();
                const bool ok = modals->ok();
                std::printf("%lld %s%s\n", static_cast<long long>(ms),
                            ok ? "ok" : "failed: ", ok ? "" : qPrintable(modals->report()));
                std::fflush(stdout);
                QCoreApplication::exit(ok ? 0 : 1);
            });
        });
    });
}
