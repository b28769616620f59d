#include "dialogs/TSLogin.h"

#include "dialogs/DialogTesting.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace DialogTesting;

// The login dialog as the verify command uses it: created once with a parent, shown again
// and again, its fields read after it hides.
class TestLogin : public QObject {
    Q_OBJECT
private:
    QWidget* m_owner = nullptr;
    TSLogin* m_dialog = nullptr;

    template <class T> T* control(const char* name) {
        T* c = m_dialog->findChild<T*>(QString::fromLatin1(name));
        if (!c)
            qFatal("no control %s", name);
        return c;
    }
    QLineEdit* txtUser() { return control<QLineEdit>("txtUser"); }
    QLineEdit* txtPassword() { return control<QLineEdit>("txtPassword"); }
    QPushButton* btnOK() { return control<QPushButton>("btnOK"); }
    QPushButton* btnCancel() { return control<QPushButton>("btnCancel"); }

    bool showDialog() { return showActive(m_owner, m_dialog); }
    // Shows the dialog, types both entries and presses OK.
    bool acceptWith(const QString& user, const QString& password) {
        if (!showDialog())
            return false;
        typeInto(txtUser(), user);
        typeInto(txtPassword(), password);
        QTest::mouseClick(btnOK(), Qt::LeftButton);
        return !m_dialog->isVisible();
    }

private Q_SLOTS:
    void init() {
        m_owner = new QWidget;
        m_owner->setGeometry(60, 40, 800, 600);
        m_owner->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_owner));
        m_dialog = new TSLogin(m_owner);
    }
    void cleanup() {
        delete m_owner; // and the dialog with it
        m_owner = nullptr;
        m_dialog = nullptr;
    }

    void firstShow() {
        QVERIFY(showDialog());
        QCOMPARE(m_dialog->objectName(), QStringLiteral("TSLogin"));
        QCOMPARE(m_dialog->windowTitle(), QStringLiteral("Login"));
        QCOMPARE(m_dialog->size(), QSize(255, 172));
        // Centred over the window that shows it (to the pixel, its width being odd).
        QVERIFY((m_dialog->geometry().center() - m_owner->geometry().center()).manhattanLength() <= 1);
        QVERIFY(txtUser()->text().isEmpty());
        QVERIFY(txtPassword()->text().isEmpty());
        QVERIFY(txtUser()->isEnabled() && txtPassword()->isEnabled());
        QTRY_COMPARE(QApplication::focusWidget(), txtUser());
        QVERIFY(!m_dialog->m_bCancelled);
        QVERIFY(m_dialog->m_sUser.isEmpty());
        QVERIFY(m_dialog->m_sPassword.isEmpty());
        QVERIFY(btnOK()->isDefault());
        QVERIFY(!btnCancel()->isDefault());
        QCOMPARE(control<QLabel>("Label1")->font().pointSizeF(), 9.75);
        txtPassword()->setText(QStringLiteral("p\u00e4ss"));
        QCOMPARE(txtPassword()->displayText(), QStringLiteral("****"));
    }

    void controls_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("twips");
        QTest::newRow("txtUser") << "txtUser"
                                 << "" << QRect(1380, 900, 1935, 315);
        QTest::newRow("txtPassword") << "txtPassword"
                                     << "" << QRect(1380, 1320, 1935, 315);
        QTest::newRow("btnOK") << "btnOK"
                               << "OK" << QRect(840, 2040, 1035, 375);
        QTest::newRow("btnCancel") << "btnCancel"
                                   << "Cancel" << QRect(2100, 2040, 1035, 375);
        QTest::newRow("lblPassword") << "lblPassword"
                                     << "Password" << QRect(540, 1380, 735, 195);
        QTest::newRow("lblUser") << "lblUser"
                                 << "User" << QRect(540, 960, 735, 195);
        QTest::newRow("Label1") << "Label1"
                                << "Please enter your login information:" << QRect(120, 120, 3555, 375);
    }
    void controls() {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(QRect, twips);
        verifyPlacement(m_dialog, name, text, twips);
    }

    void tabOrder() {
        QVERIFY(showDialog());
        QTRY_COMPARE(QApplication::focusWidget(), txtUser());
        QStringList seen;
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            seen << focusName();
        }
        QCOMPARE(seen, QStringList({"txtPassword", "btnOK", "btnCancel", "txtUser"}));
    }

    void accepted_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::newRow("plain") << "ann"
                               << "pw";
        QTest::newRow("outer spaces kept") << "  ann  "
                                           << "  pw ";
        QTest::newRow("non-ASCII and markup") << "\u00e9l\u00e8ve<&>'\""
                                              << "\u5bc6\u7801";
    }
    void accepted() {
        QFETCH(QString, user);
        QFETCH(QString, password);
        ModalDriver driver;
        QVERIFY(acceptWith(user, password));
        QVERIFY(driver.boxes.isEmpty());
        QVERIFY(!m_dialog->m_bCancelled);
        QCOMPARE(m_dialog->m_sUser, user);
        QCOMPARE(m_dialog->m_sPassword, password);
    }

    void refused_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focus");
        const QString noUser = QStringLiteral("Please enter your user name");
        const QString noPassword = QStringLiteral("Please enter your password");
        QTest::newRow("both empty") << ""
                                    << "" << noUser << "txtUser";
        QTest::newRow("user spaces only") << "  "
                                          << "pw" << noUser << "txtUser";
        QTest::newRow("password empty") << "ann"
                                        << "" << noPassword << "txtPassword";
        QTest::newRow("password spaces only") << "ann"
                                              << " " << noPassword << "txtPassword";
    }
    void refused() {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        // After an accepted OK, so that "no field changes" is seen on real values.
        QVERIFY(acceptWith(QStringLiteral("old"), QStringLiteral("older")));
        ModalDriver driver;
        QVERIFY(!acceptWith(user, password));
        QVERIFY(m_dialog->isVisible());
        QCOMPARE(driver.boxes.size(), 1);
        QCOMPARE(driver.boxes[0].text, message);
        QCOMPARE(driver.boxes[0].title, QStringLiteral("Tessaro"));
        QCOMPARE(driver.boxes[0].icon, QMessageBox::NoIcon);
        QCOMPARE(driver.boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(m_dialog->focusWidget()->objectName(), focus);
        m_dialog->activateWindow();
        QTRY_COMPARE(focusName(), focus);
        QVERIFY(!m_dialog->m_bCancelled);
        QCOMPARE(m_dialog->m_sUser, QStringLiteral("old"));
        QCOMPARE(m_dialog->m_sPassword, QStringLiteral("older"));
    }

    void stateKeptBetweenShows() {
        QVERIFY(acceptWith(QStringLiteral(" ann "), QStringLiteral("pw")));
        // OK without edits returns the same entries again.
        QVERIFY(showDialog());
        QCOMPARE(txtUser()->text(), QStringLiteral(" ann "));
        QCOMPARE(txtPassword()->text(), QStringLiteral("pw"));
        QTest::keyClick(m_dialog->focusWidget(), Qt::Key_Return);
        QVERIFY(!m_dialog->isVisible());
        QVERIFY(!m_dialog->m_bCancelled);
        QCOMPARE(m_dialog->m_sUser, QStringLiteral(" ann "));
        QCOMPARE(m_dialog->m_sPassword, QStringLiteral("pw"));
        // Cancel after an accepted OK: cancelled, strings empty, the boxes keep their text.
        QVERIFY(showDialog());
        QTest::mouseClick(btnCancel(), Qt::LeftButton);
        QVERIFY(!m_dialog->isVisible());
        QVERIFY(m_dialog->m_bCancelled);
        QVERIFY(m_dialog->m_sUser.isEmpty());
        QVERIFY(m_dialog->m_sPassword.isEmpty());
        QVERIFY(showDialog());
        QCOMPARE(txtUser()->text(), QStringLiteral(" ann "));
        QCOMPARE(txtPassword()->text(), QStringLiteral("pw"));
    }

    void otherClosingCountsAsCancel_data() {
        QTest::addColumn<int>("how");
        QTest::newRow("Esc") << 0;
        QTest::newRow("close box") << 1;
        QTest::newRow("hidden by code") << 2;
    }
    void otherClosingCountsAsCancel() {
        QFETCH(int, how);
        QVERIFY(acceptWith(QStringLiteral("ann"), QStringLiteral("pw")));
        QVERIFY(!m_dialog->m_bCancelled);
        QVERIFY(showDialog());
        if (how == 0)
            QTest::keyClick(m_dialog->focusWidget(), Qt::Key_Escape);
        else if (how == 1)
            QVERIFY(m_dialog->close());
        else
            m_dialog->hide();
        QVERIFY(!m_dialog->isVisible());
        QVERIFY(m_dialog->m_bCancelled);
        QVERIFY(m_dialog->m_sUser.isEmpty());
        QVERIFY(m_dialog->m_sPassword.isEmpty());
    }

    // The caller's way: a modal show, the entries typed, Enter, the fields read afterwards.
    void modalShow() {
        ModalDriver driver;
        driver.then<TSLogin>([this](TSLogin* d) {
            QCOMPARE(d, m_dialog);
            typeInto(txtUser(), QStringLiteral("ann"));
            typeInto(txtPassword(), QStringLiteral("pw"));
            QTest::keyClick(txtPassword(), Qt::Key_Enter);
        });
        QCOMPARE(m_dialog->exec(), int(QDialog::Accepted));
        QVERIFY(!driver.pending());
        QVERIFY(!m_dialog->m_bCancelled);
        QCOMPARE(m_dialog->m_sUser, QStringLiteral("ann"));

        driver.then<TSLogin>([](TSLogin* d) { QVERIFY(d->close()); });
        QCOMPARE(m_dialog->exec(), int(QDialog::Rejected));
        QVERIFY(m_dialog->m_bCancelled);
        QVERIFY(m_dialog->m_sUser.isEmpty());
    }
};

QTEST_MAIN(TestLogin)
#include "test_login.moc"
