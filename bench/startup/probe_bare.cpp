// The least a Qt program needs to show the introduction page: a main window holding a web view.
// Ends as soon as the page has finished loading, writing "loaded" (or "failed") to standard output.
#include <QApplication>
#include <QMainWindow>
#include <QUrl>
#include <QWebEngineView>

#include <cstdio>

int main(int argc, char* argv[]) {
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QMainWindow window;
    auto* view = new QWebEngineView(&window);
    window.setCentralWidget(view);
    window.resize(675, 458);
    QObject::connect(view, &QWebEngineView::loadFinished, &app, [](bool ok) {
        std::fputs(ok ? "loaded\n" : "failed\n", stdout);
        std::fflush(stdout);
        QCoreApplication::exit(ok ? 0 : 1);
    });
    view->setUrl(
        QUrl::fromLocalFile(QCoreApplication::applicationDirPath() + QStringLiteral("/ts_intro.htm")));
    window.show();
    return QApplication::exec();
}
