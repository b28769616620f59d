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
        const struct {
            const char* menu;
            const char* caption;
            QStringList items;
            QStringList captions;
        } menus[] = {
            {"mFile", "&File", {"mFile_Register", "mFile_Exit"}, {"&Register", "E&xit"}},
            {"m_View", "&View", {"m_View_Registered"}, {"R&egistered Files..."}},
            {"mHelp", "&Help", {"mHelp_Contents"}, {"Help &Contents"}},
        };
        const QList<QAction*> top = form.menuBar()->actions();
        QCOMPARE(top.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QMenu* menu = top[i]->menu();
            QVERIFY(menu);
            QCOMPARE(menu->objectName(), QString::fromLatin1(menus[i].menu));
            QCOMPARE(menu->title(), QString::fromLatin1(menus[i].caption));
            const QList<QAction*> items = menu->actions();
            QCOMPARE(items.size(), menus[i].items.size());
            for (int j = 0; j < items.size(); ++j) {
                QCOMPARE(items[j]->objectName(), menus[i].items[j]);
                QCOMPARE(items[j]->text(), menus[i].captions[j]);
                QVERIFY(items[j]->isEnabled());
                QVERIFY(items[j]->isVisible());
                QVERIFY(!items[j]->isCheckable());
            }
        }
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
        QCOMPARE(form.progressForm(), progress);
        QVERIFY(!progress->isModal());
        QCOMPARE(progress->size(), QSize(316, 57));
        QCOMPARE(progress->minimumSize(), progress->maximumSize());
        QVERIFY(!(progress->windowFlags() & Qt::WindowMinMaxButtonsHint));
        QCOMPARE(progress->parentWidget(), &form);
        auto* label = progress->findChild<QLabel*>(QStringLiteral("Label1"));
        QVERIFY(label);
        QCOMPARE(label->geometry(), QRect(8, 8, 297, 41));
        for (int round = 0; round < 2; ++round) {
            progress->setTexts(QStringLiteral("Registration in Progress"),
                               QStringLiteral("step %1").arg(round));
            progress->showCentred();
            QVERIFY(progress->isVisible());
            QCOMPARE(progress->windowTitle(), QStringLiteral("Registration in Progress"));
            QCOMPARE(label->text(), QStringLiteral("step %1").arg(round));
            QVERIFY(qAbs(progress->frameGeometry().center().x() - form.frameGeometry().center().x()) <= 2);
            progress->hide();
        }
        QCOMPARE(form.progressForm(), progress);
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
