#include "app/TSProgressForm.h"
#include "app/TSRegForm.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTest>
#include <QWebEngineView>

class TestMainWindow : public QObject {
    Q_OBJECT
private:
    static bool waitLoaded(QWebEngineView* view, const QString& fileName) {
        return QTest::qWaitFor(
            [&] { return view->url().fileName() == fileName && !view->page()->isLoading(); }, 30000);
    }

private Q_SLOTS:
    void captionAndMenus() {
        TSRegForm form;
        QCOMPARE(form.windowTitle(), QStringLiteral("Tessaro Intellectual Property Registration"));
        // Each menu as "name caption: item caption, ...", its items plain, enabled and shown.
        QStringList menus;
        for (QAction* top : form.menuBar()->actions()) {
            QVERIFY(top->menu());
            QString line = top->menu()->objectName() + ' ' + top->menu()->title() + ':';
            for (QAction* item : top->menu()->actions()) {
                line += ' ' + item->objectName() + ' ' + item->text();
                QVERIFY(item->isEnabled() && item->isVisible() && !item->isCheckable());
            }
            menus << line;
        }
        QCOMPARE(menus, QStringList({"mFile &File: mFile_Register &Register mFile_Exit E&xit",
                                     "m_View &View: m_View_Registered R&egistered Files...",
                                     "mHelp &Help: mHelp_Contents Help &Contents"}));
    }

    void paneFillsClientArea() {
        TSRegForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QWebEngineView* pane = form.findChild<QWebEngineView*>(QStringLiteral("WebBrowser1"));
        QVERIFY(pane);
        QCOMPARE(form.centralWidget()->size(), QSize(675, 458));
        const QSize sizes[] = {{800, 600}, {1, 1}, {0, 0}, {300, 200}};
        for (const QSize& size : sizes) {
            form.resize(size.width(), size.height() + form.menuBar()->height());
            QCoreApplication::processEvents();
            QCOMPARE(pane->pos(), QPoint(0, 0));
            QCOMPARE(pane->size(), form.centralWidget()->size());
        }
    }

    void introThenHelp() {
        TSRegForm form;
        form.show();
        QVERIFY(waitLoaded(form.WebBrowser1(), QStringLiteral("ts_intro.htm")));
        QCOMPARE(form.WebBrowser1()->url(), TSRegForm::localPageUrl(QStringLiteral("ts_intro.htm")));
        form.findChild<QAction*>(QStringLiteral("mHelp_Contents"))->trigger();
        QVERIFY(waitLoaded(form.WebBrowser1(), QStringLiteral("ts_Help_Contents.htm")));
        QTRY_VERIFY_WITH_TIMEOUT(form.WebBrowser1()->title().contains(QStringLiteral("Help")), 10000);
    }

    void progressWindowLookAndReuse() {
        TSRegForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        TSProgressForm* progress = form.progressForm();
        QVERIFY(!progress->isModal() && progress->parentWidget() == &form);
        QCOMPARE(progress->minimumSize(), QSize(316, 57));
        QCOMPARE(progress->maximumSize(), QSize(316, 57));
        QVERIFY(!(progress->windowFlags() & Qt::WindowMinMaxButtonsHint));
        auto* label = progress->findChild<QLabel*>(QStringLiteral("Label1"));
        QVERIFY(label);
        QCOMPARE(label->geometry(), QRect(8, 8, 297, 41));
        for (int round = 0; round < 2; ++round) {
            progress->setTexts(QStringLiteral("Registration in Progress"),
                               QStringLiteral("step %1").arg(round));
            progress->showCentred();
            QVERIFY(progress->isVisible() &&
                    progress->windowTitle() == QLatin1String("Registration in Progress"));
            QCOMPARE(label->text(), QStringLiteral("step %1").arg(round));
            QVERIFY(qAbs(progress->frameGeometry().center().x() - form.frameGeometry().center().x()) <= 2);
            progress->hide();
        }
        QCOMPARE(form.progressForm(), progress);
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
