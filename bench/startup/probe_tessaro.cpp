// Starts the program as main.cpp does and ends as soon as the main window's browser pane has
// finished loading the introduction page, writing "loaded" (or "failed") to standard output.
#include "app/TSRegForm.h"

#include <QApplication>
#include <QUrl>
#include <QWebEngineView>

#include <cstdio>

int main(int argc, char* argv[]) {
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaro"));
    QApplication::setQuitOnLastWindowClosed(false);
    TSRegForm form;
    auto* pane = form.findChild<QWebEngineView*>(QStringLiteral("WebBrowser1"));
    if (!pane) {
        std::fputs("failed\n", stdout);
        return 1;
    }
    QObject::connect(pane, &QWebEngineView::loadFinished, &app, [pane](bool ok) {
        const bool intro = pane->url().fileName() == QLatin1String("ts_intro.htm");
        std::fputs(ok && intro ? "loaded\n" : "failed\n", stdout);
        std::fflush(stdout);
        QCoreApplication::exit(ok && intro ? 0 : 1);
    });
    form.show();
    return QApplication::exec();
}
