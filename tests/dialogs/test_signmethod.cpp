#include "dialogs/TSSignMethod.h"

#include "dialogs/DialogTesting.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

using namespace DialogTesting;

// The sign-method dialog as the register command uses it: created once with a parent, shown
// again and again, its fields read after it hides.
class TestSignMethod : public QObject {
    Q_OBJECT
private:
    QWidget* m_owner = nullptr;
    TSSignMethod* m_dialog = nullptr;

    template <class T> T* control(const char* name) {
        T* c = m_dialog->findChild<T*>(QString::fromLatin1(name));
        if (!c)
            qFatal("no control %s", name);
        return c;
    }
    QRadioButton* optCertificate() { return control<QRadioButton>("optCertificate"); }
    QRadioButton* optUserPassword() { return control<QRadioButton>("optUserPassword"); }
    QLineEdit* txtUser() { return control<QLineEdit>("txtUser"); }
    QLineEdit* txtPassword() { return control<QLineEdit>("txtPassword"); }
    QPushButton* btnOK() { return control<QPushButton>("btnOK"); }
    QPushButton* btnCancel() { return control<QPushButton>("btnCancel"); }

    bool showDialog() { return showActive(m_owner, m_dialog); }
    // Shows the dialog, picks user / password, types both entries and presses OK.
    bool acceptWith(const QString& user, const QString& password) {
        if (!showDialog())
            return false;
        QTest::mouseClick(optUserPassword(), Qt::LeftButton);
        typeInto(txtUser(), user);
        typeInto(txtPassword(), password);
        QTest::mouseClick(btnOK(), Qt::LeftButton);
        return !m_dialog->isVisible();
    }

private Q_SLOTS:
    void init() {
        m_owner = new QWidget;
        m_owner->setGeometry(100, 100, 640, 480);
        m_owner->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_owner));
        m_dialog = new TSSignMethod(m_owner);
    }
    void cleanup() {
        delete m_owner; // and the dialog with it
        m_owner = nullptr;
        m_dialog = nullptr;
    }

    void firstShow() {
        QVERIFY(showDialog());
        QCOMPARE(m_dialog->objectName(), QStringLiteral("TSSignMethod"));
        QCOMPARE(m_dialog->windowTitle(), QStringLiteral("Sign method"));
        QCOMPARE(m_dialog->size(), QSize(250, 222));
        // Centred over the window that shows it.
        QCOMPARE(m_dialog->geometry().center(), m_owner->geometry().center());
        QVERIFY(optCertificate()->isChecked());
        QVERIFY(!optUserPassword()->isChecked());
        for (const char* name : {"lblUser", "lblPassword", "txtUser", "txtPassword"})
            QVERIFY2(!control<QWidget>(name)->isEnabled(), name);
        QVERIFY(txtUser()->text().isEmpty());
        QVERIFY(txtPassword()->text().isEmpty());
        QVERIFY(m_dialog->m_bCertificateChosen);
        QVERIFY(m_dialog->m_bCancelled);
        QVERIFY(m_dialog->m_sUser.isEmpty());
        QVERIFY(m_dialog->m_sPassword.isEmpty());
        QTRY_COMPARE(QApplication::focusWidget(), optCertificate());
        QVERIFY(btnOK()->isDefault());
        QVERIFY(!btnCancel()->isDefault());
    }

    void controls_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("twips");
        QTest::newRow("Label1") << "Label1"
                                << "Please choose the sign method:" << QRect(120, 120, 3555, 375);
        QTest::newRow("optCertificate") << "optCertificate"
                                        << "Personal digital certificate" << QRect(660, 840, 2415, 195);
        QTest::newRow("optUserPassword") << "optUserPassword"
                                         << "User / password" << QRect(660, 1140, 2415, 195);
        QTest::newRow("txtUser") << "txtUser"
                                 << "" << QRect(1260, 1620, 1935, 315);
        QTest::newRow("txtPassword") << "txtPassword"
                                     << "" << QRect(1260, 2040, 1935, 315);
        QTest::newRow("btnOK") << "btnOK"
                               << "OK" << QRect(720, 2760, 1035, 375);
        QTest::newRow("btnCancel") << "btnCancel"
                                   << "Cancel" << QRect(1980, 2760, 1035, 375);
        QTest::newRow("lblUser") << "lblUser"
                                 << "User" << QRect(420, 1680, 735, 195);
        QTest::newRow("lblPassword") << "lblPassword"
                                     << "Password" << QRect(420, 2100, 735, 195);
    }
    void controls() {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(QRect, twips);
        verifyPlacement(m_dialog, name, text, twips);
    }

    void labelFontAndPasswordStars() {
        QCOMPARE(control<QLabel>("Label1")->font().pointSizeF(), 9.75);
        QCOMPARE(control<QLabel>("lblUser")->font().pointSizeF(), QApplication::font().pointSizeF());
        txtPassword()->setText(QStringLiteral("s3cr\u00e9t"));
        QCOMPARE(txtPassword()->displayText(), QStringLiteral("******"));
        QVERIFY(txtUser()->echoMode() == QLineEdit::Normal);
    }

    void tabOrder() {
        QVERIFY(showDialog());
        QTest::mouseClick(optUserPassword(), Qt::LeftButton);
        QTRY_COMPARE(QApplication::focusWidget(), txtUser());
        // The option group is one stop, reached on its selected option.
        const QStringList expected = {"txtPassword", "btnOK", "btnCancel", "optUserPassword", "txtUser"};
        QStringList seen;
        for (int i = 0; i < expected.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            seen << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(seen, expected);
        // With the certificate option the greyed boxes are skipped.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), optUserPassword());
        QTest::keyClick(optUserPassword(), Qt::Key_Up);
        QVERIFY(optCertificate()->isChecked());
        QVERIFY(m_dialog->m_bCertificateChosen);
        seen.clear();
        for (int i = 0; i < 3; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            seen << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(seen, QStringList({"btnOK", "btnCancel", "optCertificate"}));
    }

    void acceptedUserPassword_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::newRow("plain") << "ann"
                               << "pw";
        QTest::newRow("outer spaces kept") << "  ann lee  "
                                           << " p w ";
        QTest::newRow("non-ASCII and markup") << "\u00e9l\u00e8ve<&>'\""
                                              << "\u5bc6\u7801";
    }
    void acceptedUserPassword() {
        QFETCH(QString, user);
        QFETCH(QString, password);
        ModalDriver driver;
        QVERIFY(acceptWith(user, password));
        QVERIFY(driver.boxes.isEmpty());
        QVERIFY(!m_dialog->m_bCancelled);
        QVERIFY(!m_dialog->m_bCertificateChosen);
        QCOMPARE(m_dialog->m_sUser, user);
        QCOMPARE(m_dialog->m_sPassword, password);
    }

    void refusedEntries_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focus");
        const QString noUser = QStringLiteral("Please enter your user name");
        const QString noPassword = QStringLiteral("Please enter your password");
        QTest::newRow("both empty") << ""
                                    << "" << noUser << "txtUser";
        QTest::newRow("user spaces only") << "   "
                                          << "pw" << noUser << "txtUser";
        QTest::newRow("password empty") << "ann"
                                        << "" << noPassword << "txtPassword";
        QTest::newRow("password spaces only") << "ann"
                                              << "  " << noPassword << "txtPassword";
    }
    void refusedEntries() {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, message);
        QFETCH(QString, focus);
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
        // No field changed.
        QVERIFY(m_dialog->m_bCancelled);
        QVERIFY(m_dialog->m_sUser.isEmpty());
        QVERIFY(m_dialog->m_sPassword.isEmpty());
        // Enter in the box presses OK, with the same checks.
        QTest::keyClick(m_dialog->focusWidget(), Qt::Key_Return);
        QTRY_COMPARE(driver.boxes.size(), 2);
        QCOMPARE(driver.boxes[1].text, message);
        QVERIFY(m_dialog->isVisible());
    }

    void certificateAfterTypedText() {
        ModalDriver driver;
        QVERIFY(showDialog());
        QTest::mouseClick(optUserPassword(), Qt::LeftButton);
        typeInto(txtUser(), QStringLiteral(" bob "));
        typeInto(txtPassword(), QStringLiteral("   "));
        QTest::mouseClick(optCertificate(), Qt::LeftButton);
        QVERIFY(!txtUser()->isEnabled());
        QVERIFY(!txtPassword()->isEnabled());
        QCOMPARE(txtUser()->text(), QStringLiteral(" bob "));
        QTest::mouseClick(btnOK(), Qt::LeftButton);
        // No checks under the certificate method; the texts come back as they stand.
        QVERIFY(driver.boxes.isEmpty());
        QVERIFY(!m_dialog->isVisible());
        QVERIFY(!m_dialog->m_bCancelled);
        QVERIFY(m_dialog->m_bCertificateChosen);
        QCOMPARE(m_dialog->m_sUser, QStringLiteral(" bob "));
        QCOMPARE(m_dialog->m_sPassword, QStringLiteral("   "));
    }

    void stateKeptBetweenShows() {
        QVERIFY(acceptWith(QStringLiteral("ann"), QStringLiteral("pw")));
        QVERIFY(showDialog());
        QVERIFY(optUserPassword()->isChecked());
        QCOMPARE(txtUser()->text(), QStringLiteral("ann"));
        QCOMPARE(txtPassword()->text(), QStringLiteral("pw"));
        QVERIFY(txtUser()->isEnabled());
        // Cancel after an accepted OK.
        QTest::mouseClick(btnCancel(), Qt::LeftButton);
        QVERIFY(!m_dialog->isVisible());
        QVERIFY(m_dialog->m_bCancelled);
        QVERIFY(m_dialog->m_sUser.isEmpty());
        QVERIFY(m_dialog->m_sPassword.isEmpty());
        QVERIFY(!m_dialog->m_bCertificateChosen);
        QVERIFY(showDialog());
        QCOMPARE(txtUser()->text(), QStringLiteral("ann"));
        QCOMPARE(txtPassword()->text(), QStringLiteral("pw"));
        // InitControls resets it all.
        m_dialog->InitControls();
        QVERIFY(optCertificate()->isChecked());
        QVERIFY(txtUser()->text().isEmpty() && txtPassword()->text().isEmpty());
        QVERIFY(!txtUser()->isEnabled());
        QVERIFY(m_dialog->m_bCancelled && m_dialog->m_bCertificateChosen);
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
        if (how == 0) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        } else if (how == 1)
            QVERIFY(m_dialog->close());
        else
            m_dialog->hide();
        QVERIFY(!m_dialog->isVisible());
        QVERIFY(m_dialog->m_bCancelled);
        QVERIFY(m_dialog->m_sUser.isEmpty());
        QVERIFY(m_dialog->m_sPassword.isEmpty());
        // Still there for the next show.
        QVERIFY(showDialog());
        QCOMPARE(txtUser()->text(), QStringLiteral("ann"));
    }

    // The caller's way: a modal show, Enter on the default button, the fields read afterwards.
    void modalShow() {
        ModalDriver driver;
        driver.then<TSSignMethod>([this](TSSignMethod* d) {
            QCOMPARE(d, m_dialog);
            QTest::keyClick(d->focusWidget(), Qt::Key_Return);
        });
        QCOMPARE(m_dialog->exec(), int(QDialog::Accepted));
        QVERIFY(!driver.pending());
        QVERIFY(!m_dialog->m_bCancelled);
        QVERIFY(m_dialog->m_bCertificateChosen);

        driver.then<TSSignMethod>([](TSSignMethod* d) { QTest::keyClick(d->focusWidget(), Qt::Key_Escape); });
        QCOMPARE(m_dialog->exec(), int(QDialog::Rejected));
        QVERIFY(m_dialog->m_bCancelled);
    }
};

QTEST_MAIN(TestSignMethod)
#include "test_signmethod.moc"
