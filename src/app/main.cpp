#include "app/TSRegForm.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaro"));
    QApplication::setQuitOnLastWindowClosed(false);
    TSRegForm form;
    form.show();
    return QApplication::exec();
}
