// Starts the program as tessaro does and ends as soon as the main window's browser pane has
// finished loading the introduction page, writing "loaded" (or "failed") to standard output.
#include "app/TSApplication.h"
#include "app/TSRegForm.h"

#include <QCoreApplication>
#include <QUrl>
#include <QWebEngineView>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    return RunTessaro(argc, argv, [](TSRegForm& form) {
        auto* pane = form.findChild<QWebEngineView*>(QStringLiteral("WebBrowser1"));
        if (!pane) {
            std::fputs("failed\n", stdout);
            std::exit(1);
        }
        QObject::connect(pane, &QWebEngineView::loadFinished, pane, [pane](bool ok) {
            const bool intro = pane->url().fileName() == QLatin1String("ts_intro.htm");
            std::fputs(ok && intro ? "loaded\n" : "failed\n", stdout);
            std::fflush(stdout);
            QCoreApplication::exit(ok && intro ? 0 : 1);
        });
    });
}
