#include "app/TSApplication.h"

#include "app/TSRegForm.h"

#include <QApplication>

int RunTessaro(int argc, char* argv[], const std::function<void(TSRegForm&)>& beforeShow) {
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaro"));
    // The program ends by Exit or the main window's close button, not when a window closes.
    QApplication::setQuitOnLastWindowClosed(false);
    TSRegForm form;
    if (beforeShow)
        beforeShow(form);
    form.show();
    return QApplication::exec();
}
