// The login dialog: its controls and their order, the OK rule with its messages and focus, the
// state it keeps between shows, and the ways of closing it that count as Cancel.

#include "dialogs/TSLogin.h"

#include <QApplication>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

struct SeenMessage {
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttons = 0;
    QWidget* focusAfter = nullptr;
};

} // namespace

class TestLogin : public QObject {
    Q_OBJECT

    QMainWindow m_window;
    TSLogin* m_login = nullptr;

    QLineEdit* box(const char* name) const { return m_login->findChild<QLineEdit*>(QLatin1String(name)); }
    QPushButton* button(const char* name) const {
        return m_login->findChild<QPushButton*>(QLatin1String(name));
    }

    // Shows the dialog modally and runs `act` inside it; message boxes it raises are answered
    // with OK and recorded, with the widget that has the focus once each is gone.
    QList<SeenMessage> execWith(const std::function<void()>& act) {
        QList<SeenMessage> seen;
        bool answering = false;
        QTimer poll;
        poll.setInterval(5);
        connect(&poll, &QTimer::timeout, [&] {
            if (answering)
                return;
            auto* message = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!message)
                return;
            answering = true;
            seen.append({message->text(), message->windowTitle(), message->icon(),
                         int(message->standardButtons()), nullptr});
            message->button(QMessageBox::Ok)->click();
            answering = false;
        });
        poll.start();
        QTimer::singleShot(0, m_login, [&] {
            QTRY_VERIFY(m_login->isVisible());
            act();
        });
        m_login->exec();
        return seen;
    }

private Q_SLOTS:
    void init() {
        delete m_login;
        m_login = new TSLogin(&m_window);
    }
    void cleanupTestCase() { delete m_login; }

    void firstShow() {
        QVERIFY(!m_login->m_bCancelled);
        QVERIFY(m_login->m_sUser.isEmpty() && m_login->m_sPassword.isEmpty());
        QCOMPARE(m_login->parentWidget(), &m_window);
        QCOMPARE(m_login->windowTitle(), QStringLiteral("Login"));
        QCOMPARE(m_login->size(), QSize(255, 172));
        QCOMPARE(box("txtPassword")->echoMode(), QLineEdit::Password);
        QVERIFY(button("btnOK")->isDefault());
        QCOMPARE(button("btnOK")->text(), QStringLiteral("OK"));
        QCOMPARE(button("btnCancel")->text(), QStringLiteral("Cancel"));
        QCOMPARE(box("txtUser")->pos(), QPoint(92, 60));
        QCOMPARE(box("txtPassword")->pos(), QPoint(92, 88));
        QCOMPARE(button("btnOK")->geometry().topLeft(), QPoint(56, 136));
        QCOMPARE(button("btnCancel")->geometry().topLeft(), QPoint(140, 136));

        QWidget* focus = nullptr;
        QList<QWidget*> chain;
        execWith([&] {
            focus = m_login->focusWidget();
            QWidget* w = box("txtUser");
            for (int i = 0; i < 4; ++i) {
                chain.append(w);
                w = w->nextInFocusChain();
                while (w->focusPolicy() == Qt::NoFocus)
                    w = w->nextInFocusChain();
            }
            m_login->reject();
        });
        QCOMPARE(focus, box("txtUser"));
        QCOMPARE(chain,
                 (QList<QWidget*>{box("txtUser"), box("txtPassword"), button("btnOK"), button("btnCancel")}));
    }

    void okRule_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("message"); // empty: accepted
        QTest::addColumn<QString>("focus");
        QTest::newRow("both empty: the user name first") << ""
                                                         << ""
                                                         << "Please enter your user name"
                                                         << "txtUser";
        QTest::newRow("user name of spaces") << "   "
                                             << "pw"
                                             << "Please enter your user name"
                                             << "txtUser";
        QTest::newRow("no password") << "ann"
                                     << ""
                                     << "Please enter your password"
                                     << "txtPassword";
        QTest::newRow("password of spaces") << "ann"
                                            << "  "
                                            << "Please enter your password"
                                            << "txtPassword";
        QTest::newRow("outer spaces kept") << " ann  "
                                           << " p w " << QString() << QString();
        QTest::newRow("markup and non-ASCII")
            << "a'n\"<n>&" << QString::fromUtf8("pässwörd'") << QString() << QString();
    }
    void okRule() {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        // An earlier accepted OK: a refused one must leave its values alone.
        execWith([&] {
            box("txtUser")->setText(QStringLiteral("earlier"));
            box("txtPassword")->setText(QStringLiteral("secret"));
            QTest::keyClick(box("txtPassword"), Qt::Key_Return);
        });
        QVERIFY(!m_login->m_bCancelled);

        QWidget* focused = nullptr;
        bool stillOpen = false;
        const QList<SeenMessage> seen = execWith([&] {
            box("txtUser")->setText(user);
            box("txtPassword")->setText(password);
            button("btnOK")->click();
            stillOpen = m_login->isVisible();
            focused = m_login->focusWidget();
            if (stillOpen)
                m_login->reject();
        });
        if (message.isEmpty()) {
            QVERIFY(seen.isEmpty());
            QVERIFY(!stillOpen);
            QVERIFY(!m_login->m_bCancelled);
            QCOMPARE(m_login->m_sUser, user);
            QCOMPARE(m_login->m_sPassword, password);
            return;
        }
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].text, message);
        QCOMPARE(seen[0].title, QStringLiteral("Tessaro"));
        QCOMPARE(seen[0].icon, QMessageBox::NoIcon);
        QCOMPARE(seen[0].buttons, int(QMessageBox::Ok));
        QVERIFY(stillOpen);
        QCOMPARE(focused, box(qPrintable(focus)));
    }

    // Later shows present the last entries; Cancel empties the fields, not the boxes.
    void keptBetweenShows() {
        execWith([&] {
            box("txtUser")->setText(QStringLiteral("ann"));
            box("txtPassword")->setText(QStringLiteral("pw"));
            button("btnOK")->click();
        });
        QString userShown, passwordShown;
        execWith([&] {
            userShown = box("txtUser")->text();
            passwordShown = box("txtPassword")->text();
            button("btnOK")->click();
        });
        QCOMPARE(userShown, QStringLiteral("ann"));
        QCOMPARE(passwordShown, QStringLiteral("pw"));
        QVERIFY(!m_login->m_bCancelled);
        QCOMPARE(m_login->m_sUser, QStringLiteral("ann"));

        execWith([&] { button("btnCancel")->click(); });
        QVERIFY(m_login->m_bCancelled);
        QVERIFY(m_login->m_sUser.isEmpty() && m_login->m_sPassword.isEmpty());
        QCOMPARE(box("txtUser")->text(), QStringLiteral("ann"));
        QCOMPARE(box("txtPassword")->text(), QStringLiteral("pw"));
    }

    void otherClosingsCancel_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("Esc") << "esc";
        QTest::newRow("close box") << "close";
        QTest::newRow("hidden") << "hide";
    }
    void otherClosingsCancel() {
        QFETCH(QString, how);
        execWith([&] {
            box("txtUser")->setText(QStringLiteral("ann"));
            box("txtPassword")->setText(QStringLiteral("pw"));
            button("btnOK")->click();
        });
        QVERIFY(!m_login->m_bCancelled);
        execWith([&] {
            if (how == QLatin1String("esc"))
                QTest::keyClick(box("txtUser"), Qt::Key_Escape);
            else if (how == QLatin1String("close"))
                m_login->close();
            else
                m_login->hide();
        });
        QVERIFY(!m_login->isVisible());
        QVERIFY(m_login->m_bCancelled);
        QVERIFY(m_login->m_sUser.isEmpty() && m_login->m_sPassword.isEmpty());
    }
};

QTEST_MAIN(TestLogin)

#include "test_login.moc"
