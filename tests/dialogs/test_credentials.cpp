#include "dialogs/TSLogin.h"
#include "dialogs/TSSignMethod.h"

#include "dialogs/DialogTesting.h"

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

// The sign-method and login dialogs as their commands use them: created once with a parent,
// shown again and again, their fields read after they hide. Where the two behave alike a test
// runs over both; the sign-method dialog is first switched to its user/password method.
class TestCredentials : public QObject {
    Q_OBJECT
private:
    enum Closing { OkAgain, CancelButton, Escape, CloseBox, Hidden };

    QWidget* m_owner = nullptr;
    TSCredentialsDialog* m_dialog = nullptr;
    TSSignMethod* m_signMethod = nullptr; // the same dialog, when it is the sign-method one

    // A row for each dialog: the dialog's name, then the values given.
    template <class... T> static void rows(const char* name, const T&... values) {
        for (const char* dialog : {"TSSignMethod", "TSLogin"})
            ((QTest::addRow("%s: %s", dialog, name) << QString::fromLatin1(dialog)) << ... << values);
    }
    void create(const QString& dialog) {
        if (dialog == u"TSSignMethod")
            m_dialog = m_signMethod = new TSSignMethod(m_owner);
        else
            m_dialog = new TSLogin(m_owner);
    }
    template <class T = QWidget> T* control(const char* name) {
        T* c = m_dialog->findChild<T*>(QString::fromLatin1(name));
        if (!c)
            qFatal("no control %s", name);
        return c;
    }
    QLineEdit* txtUser() { return control<QLineEdit>("txtUser"); }
    QLineEdit* txtPassword() { return control<QLineEdit>("txtPassword"); }
    static QString focusName() {
        return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
    }
    // The focus, then where each of the next presses of Tab takes it.
    static QStringList tabbing(qsizetype stops) {
        QStringList seen = {focusName()};
        while (seen.size() < stops) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            seen << focusName();
        }
        return seen;
    }

    // Shows the dialog without modality and waits until it has the keyboard. The owner is made
    // active first: offscreen, a window that still counts as focused is not activated again.
    bool showDialog() {
        m_owner->activateWindow();
        if (!QTest::qWaitFor([this] { return QApplication::activeWindow() == m_owner; }))
            return false;
        m_dialog->show();
        m_dialog->activateWindow();
        return QTest::qWaitFor([this] { return QApplication::activeWindow() == m_dialog; });
    }
    // Shows the dialog, picks the user/password method where there is a choice, types both
    // entries and presses OK; true when the dialog hid.
    bool acceptWith(const QString& user, const QString& password) {
        if (!showDialog())
            return false;
        if (m_signMethod)
            QTest::mouseClick(control("optUserPassword"), Qt::LeftButton);
        typeInto(txtUser(), user);
        typeInto(txtPassword(), password);
        QTest::mouseClick(control("btnOK"), Qt::LeftButton);
        return !m_dialog->isVisible();
    }

private Q_SLOTS:
    void init() {
        m_owner = new QWidget;
        m_owner->setGeometry(60, 40, 800, 600);
        m_owner->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_owner));
    }
    void cleanup() {
        delete m_owner; // and the dialog with it
        m_owner = nullptr;
        m_dialog = m_signMethod = nullptr;
    }

    void firstShow_data() {
        QTest::addColumn<QString>("dialog");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("cancelled");
        QTest::addColumn<QStringList>("tabs");
        // The sign-method dialog starts on the certificate method, its user/password part greyed
        // and skipped by Tab; the option group is one stop.
        QTest::newRow("TSSignMethod")
            << "TSSignMethod"
            << "Sign method" << QSize(250, 222) << true
            << QStringList{"optCertificate", "btnOK", "btnCancel", "optCertificate"};
        QTest::newRow("TSLogin") << "TSLogin"
                                 << "Login" << QSize(255, 172) << false
                                 << QStringList{"txtUser", "txtPassword", "btnOK", "btnCancel", "txtUser"};
    }
    void firstShow() {
        QFETCH(QString, dialog);
        QFETCH(QStringList, tabs);
        create(dialog);
        QVERIFY(showDialog());
        QCOMPARE(m_dialog->objectName(), dialog);
        QTEST(m_dialog->windowTitle(), "title");
        QTEST(m_dialog->size(), "size");
        // Centred over the window that shows it (to the pixel, as a width may be odd).
        QVERIFY((m_dialog->geometry().center() - m_owner->geometry().center()).manhattanLength() <= 1);
        // Every control lies inside the dialog and shows its text whole (a caption that does not
        // wrap is as wide as its text); those that take the focus are clear of each other.
        const auto controls = m_dialog->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
        QCOMPARE(controls.size(), m_signMethod ? 9 : 7);
        for (QWidget* a : controls) {
            const QByteArray name = a->objectName().toLatin1();
            QVERIFY2(m_dialog->rect().contains(a->geometry()) && a->height() >= a->sizeHint().height() &&
                         a->height() >= a->heightForWidth(a->width()),
                     name.constData());
            auto* label = qobject_cast<QLabel*>(a);
            if ((label && !label->wordWrap()) || qobject_cast<QRadioButton*>(a))
                QVERIFY2(a->width() >= a->sizeHint().width(), name.constData());
            for (QWidget* b : controls)
                QVERIFY2(a == b || !a->focusPolicy() || !b->focusPolicy() ||
                             !a->geometry().intersects(b->geometry()),
                         name.constData());
        }
        QVERIFY(txtUser()->text().isEmpty() && txtPassword()->text().isEmpty());
        for (const char* name : {"lblUser", "lblPassword", "txtUser", "txtPassword"})
            QCOMPARE(control(name)->isEnabled(), !m_signMethod);
        if (m_signMethod)
            QVERIFY(control<QRadioButton>("optCertificate")->isChecked() &&
                    m_signMethod->m_bCertificateChosen);
        QTEST(m_dialog->m_bCancelled, "cancelled");
        QVERIFY(m_dialog->m_sUser.isEmpty() && m_dialog->m_sPassword.isEmpty());
        QVERIFY(control<QPushButton>("btnOK")->isDefault() &&
                !control<QPushButton>("btnCancel")->isDefault());
        QCOMPARE(control("Label1")->font().pointSizeF(), 9.75);
        txtPassword()->setText(QStringLiteral("p\u00e4ss"));
        QCOMPARE(txtPassword()->displayText(), QStringLiteral("****"));
        QTRY_COMPARE(focusName(), tabs.first());
        QCOMPARE(tabbing(tabs.size()), tabs);
    }

    // Only the first failing entry is reported; the dialog stays open and no field changes.
    void refused_data() {
        QTest::addColumn<QString>("dialog");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("userRefused");
        rows("both empty", "", "", true);
        rows("user spaces only", "   ", "pw", true);
        rows("password spaces only", "ann", "  ", false);
    }
    void refused() {
        QFETCH(QString, dialog);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(bool, userRefused);
        const QString message = userRefused ? QStringLiteral("Please enter your user name")
                                            : QStringLiteral("Please enter your password");
        create(dialog);
        // After an accepted OK, so that "no field changes" is seen on real values.
        QVERIFY(acceptWith(QStringLiteral("old"), QStringLiteral("older")));
        ModalDriver driver;
        QVERIFY(!acceptWith(user, password));
        QCOMPARE(driver.boxes.size(), 1);
        QCOMPARE(driver.boxes[0].text, message);
        QCOMPARE(driver.boxes[0].title, QStringLiteral("Tessaro"));
        QCOMPARE(driver.boxes[0].icon, QMessageBox::NoIcon);
        QCOMPARE(driver.boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(m_dialog->focusWidget(), userRefused ? txtUser() : txtPassword());
        QVERIFY(!m_dialog->m_bCancelled);
        QCOMPARE(m_dialog->m_sUser, QStringLiteral("old"));
        QCOMPARE(m_dialog->m_sPassword, QStringLiteral("older"));
        // Enter in the box presses OK, with the same checks.
        QTest::keyClick(m_dialog->focusWidget(), Qt::Key_Return);
        QTRY_COMPARE(driver.boxes.size(), 2);
        QCOMPARE(driver.boxes[1].text, message);
        QVERIFY(m_dialog->isVisible());
    }

    // Entries come back exactly as typed. The caller's next modal show presents them again:
    // OK returns them again; every other way of closing counts as Cancel (cancelled, both
    // strings empty), and the boxes keep their text for the show after.
    void closing_data() {
        QTest::addColumn<QString>("dialog");
        QTest::addColumn<int>("how");
        rows("OK again", int(OkAgain));
        rows("Cancel", int(CancelButton));
        rows("Esc", int(Escape));
        rows("close box", int(CloseBox));
        rows("hidden by code", int(Hidden));
    }
    void closing() {
        QFETCH(QString, dialog);
        QFETCH(int, how);
        create(dialog);
        const QString user = QStringLiteral("  \u00e9l\u00e8ve <&>'\" "),
                      password = QStringLiteral(" \u5bc6\u7801");
        ModalDriver driver;
        QVERIFY(acceptWith(user, password));
        QVERIFY(driver.boxes.isEmpty());
        QVERIFY(!m_dialog->m_bCancelled);
        QCOMPARE(m_dialog->m_sUser, user);
        QCOMPARE(m_dialog->m_sPassword, password);
        driver.then<QDialog>([&](QDialog* d) {
            QCOMPARE(d, m_dialog);
            QCOMPARE(txtUser()->text(), user);
            QCOMPARE(txtPassword()->text(), password);
            if (m_signMethod)
                QVERIFY(control<QRadioButton>("optUserPassword")->isChecked() && txtUser()->isEnabled());
            if (how == OkAgain || how == Escape)
                QTest::keyClick(d->focusWidget(), how == OkAgain ? Qt::Key_Return : Qt::Key_Escape);
            else if (how == CancelButton)
                QTest::mouseClick(control("btnCancel"), Qt::LeftButton);
            else if (how == CloseBox)
                QVERIFY(d->close());
            else
                d->hide();
        });
        const bool ok = how == OkAgain;
        QCOMPARE(m_dialog->exec(), int(ok ? QDialog::Accepted : QDialog::Rejected));
        QVERIFY(!driver.pending());
        QCOMPARE(m_dialog->m_bCancelled, !ok);
        QCOMPARE(m_dialog->m_sUser, ok ? user : QString());
        QCOMPARE(m_dialog->m_sPassword, ok ? password : QString());
        if (m_signMethod)
            QVERIFY(!m_signMethod->m_bCertificateChosen);
        QCOMPARE(txtUser()->text(), user);
        QCOMPARE(txtPassword()->text(), password);
    }

    // Selecting an option from the keyboard runs its handler as a click does. Back on the
    // certificate method the greyed boxes keep their text and are not checked.
    void switchingMethods() {
        create(QStringLiteral("TSSignMethod"));
        ModalDriver driver;
        QVERIFY(showDialog());
        QTRY_COMPARE(focusName(), QStringLiteral("optCertificate"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        QVERIFY(!m_signMethod->m_bCertificateChosen && txtUser()->isEnabled() && txtPassword()->isEnabled());
        QCOMPARE(tabbing(6), QStringList({"optUserPassword", "txtUser", "txtPassword", "btnOK", "btnCancel",
                                          "optUserPassword"}));
        typeInto(txtUser(), QStringLiteral(" bob "));
        typeInto(txtPassword(), QStringLiteral("   "));
        QTest::mouseClick(control("optCertificate"), Qt::LeftButton);
        QVERIFY(m_signMethod->m_bCertificateChosen && !txtUser()->isEnabled() && !txtPassword()->isEnabled());
        QTest::mouseClick(control("btnOK"), Qt::LeftButton);
        QVERIFY(driver.boxes.isEmpty());
        QVERIFY(!m_dialog->isVisible() && !m_dialog->m_bCancelled);
        QCOMPARE(m_dialog->m_sUser, QStringLiteral(" bob "));
        QCOMPARE(m_dialog->m_sPassword, QStringLiteral("   "));
        // InitControls resets it all.
        m_signMethod->InitControls();
        QVERIFY(control<QRadioButton>("optCertificate")->isChecked() && !txtUser()->isEnabled());
        QVERIFY(txtUser()->text().isEmpty() && txtPassword()->text().isEmpty());
        QVERIFY(m_dialog->m_bCancelled && m_dialog->m_sUser.isEmpty() && m_signMethod->m_bCertificateChosen);
    }
};

QTEST_MAIN(TestCredentials)
#include "test_credentials.moc"
