#include "dialogs/TSLogin.h"
#include "dialogs/TSSignMethod.h"

#include "common/Modals.h"

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

// The sign-method and login dialogs as their commands use them: created once with a parent,
// shown again and again, their fields read after they hide. Where the two behave alike a test
// has a row for each (its tag names the dialog first); the sign-method dialog is then switched
// to its user/password method. A test without rows uses the sign-method dialog.
class TestCredentials : public QObject {
    Q_OBJECT
private:
    enum Closing { OkAgain, CancelButton, Escape, CloseBox, Hidden };

    QWidget m_owner;
    TSCredentialsDialog* m_dialog = nullptr;
    TSSignMethod* m_signMethod = nullptr; // the same dialog, when it is the sign-method one

    template <class... T> static void rows(const char* name, const T&... values) {
        for (const char* dialog : {"TSSignMethod", "TSLogin"})
            (QTest::addRow("%s: %s", dialog, name) << ... << values);
    }
    template <class T = QWidget> T* control(const char* name) {
        T* c = m_dialog->findChild<T*>(QString::fromLatin1(name));
        return c ? c : (qFatal("no control %s", name), nullptr);
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
        m_owner.activateWindow();
        if (!QTest::qWaitFor([this] { return QApplication::activeWindow() == &m_owner; }))
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
    void initTestCase() {
        m_owner.setGeometry(60, 40, 800, 600);
        m_owner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m_owner));
    }
    void init() {
        if (QByteArray(QTest::currentDataTag()).startsWith("TSLogin"))
            m_dialog = new TSLogin(&m_owner);
        else
            m_dialog = m_signMethod = new TSSignMethod(&m_owner);
    }
    void cleanup() {
        delete m_dialog;
        m_dialog = m_signMethod = nullptr;
    }

    // The sign-method dialog starts on the certificate method, its user/password part greyed
    // and skipped by Tab; the option group is one tab stop.
    void firstShow_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("cancelled");
        QTest::addColumn<QStringList>("tabs");
        QTest::newRow("TSSignMethod")
            << "Sign method" << QSize(250, 222) << true
            << QStringList{"optCertificate", "btnOK", "btnCancel", "optCertificate"};
        QTest::newRow("TSLogin") << "Login" << QSize(255, 172) << false
                                 << QStringList{"txtUser", "txtPassword", "btnOK", "btnCancel", "txtUser"};
    }
    void firstShow() {
        QFETCH(QStringList, tabs);
        QVERIFY(showDialog());
        QCOMPARE(m_dialog->objectName(), QString::fromLatin1(QTest::currentDataTag()));
        QTEST(m_dialog->windowTitle(), "title");
        QTEST(m_dialog->size(), "size");
        // Centred over the window that shows it (to the pixel, as a width may be odd).
        QVERIFY((m_dialog->geometry().center() - m_owner.geometry().center()).manhattanLength() <= 1);
        // Every control lies inside the dialog and shows its text whole (a caption that does not
        // wrap is as wide as its text); those that take the focus are clear of each other.
        const auto controls = m_dialog->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
        QCOMPARE(controls.size(), m_signMethod ? 9 : 7);
        for (QWidget* a : controls) {
            QVERIFY2(m_dialog->rect().contains(a->geometry()) && a->height() >= a->sizeHint().height() &&
                         a->height() >= a->heightForWidth(a->width()),
                     qPrintable(a->objectName()));
            auto* label = qobject_cast<QLabel*>(a);
            if ((label && !label->wordWrap()) || qobject_cast<QRadioButton*>(a))
                QVERIFY2(a->width() >= a->sizeHint().width(), qPrintable(a->objectName()));
            for (QWidget* b : controls)
                QVERIFY2(a == b || !a->focusPolicy() || !b->focusPolicy() ||
                             !a->geometry().intersects(b->geometry()),
                         qPrintable(a->objectName()));
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
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("userRefused");
        rows("both empty", "", "", true);
        rows("user spaces only", "   ", "pw", true);
        rows("password spaces only", "ann", "  ", false);
    }
    void refused() {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(bool, userRefused);
        const QString message = userRefused ? QStringLiteral("Please enter your user name")
                                            : QStringLiteral("Please enter your password");
        // After an accepted OK, so that "no field changes" is seen on real values.
        QVERIFY(acceptWith(QStringLiteral("old"), QStringLiteral("older")));
        // No icon, only OK, the program's title; accepting from code goes through the same checks.
        E2eModals modals;
        modals.message({message}).message({message});
        QVERIFY(!acceptWith(user, password));
        QCOMPARE(m_dialog->focusWidget(), userRefused ? txtUser() : txtPassword());
        QVERIFY(!m_dialog->m_bCancelled);
        QCOMPARE(m_dialog->m_sUser, QStringLiteral("old"));
        QCOMPARE(m_dialog->m_sPassword, QStringLiteral("older"));
        m_dialog->accept();
        QTRY_VERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(m_dialog->isVisible());
    }

    // Entries come back exactly as typed. The caller's next modal show presents them again:
    // OK returns them again; every other way of closing counts as Cancel (cancelled, both
    // strings empty), and the boxes keep their text for the show after.
    void closing_data() {
        QTest::addColumn<int>("how");
        rows("OK again", int(OkAgain));
        rows("Cancel", int(CancelButton));
        rows("Esc", int(Escape));
        rows("close box", int(CloseBox));
        rows("hidden by code", int(Hidden));
    }
    void closing() {
        QFETCH(int, how);
        const QString user = QStringLiteral("  \u00e9l\u00e8ve <&>'\" "),
                      password = QStringLiteral(" \u5bc6\u7801");
        QVERIFY(acceptWith(user, password));
        E2eModals modals;
        modals.dialog(m_dialog->objectName(), [&](QWidget* d) {
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
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QCOMPARE(m_dialog->m_bCancelled, !ok);
        QCOMPARE(m_dialog->m_sUser, ok ? user : QString());
        QCOMPARE(m_dialog->m_sPassword, ok ? password : QString());
        if (m_signMethod)
            QVERIFY(!m_signMethod->m_bCertificateChosen);
        QCOMPARE(txtUser()->text(), user);
        QCOMPARE(txtPassword()->text(), password);
    }

    // Selecting an option from the keyboard runs its handler as a click does, the focus going to the
    // user box. Back on the certificate method the greyed boxes keep their text and are not checked.
    void switchingMethods() {
        E2eModals modals;
        QVERIFY(showDialog());
        QTRY_COMPARE(focusName(), QStringLiteral("optCertificate"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        QVERIFY(!m_signMethod->m_bCertificateChosen && txtUser()->isEnabled() && txtPassword()->isEnabled());
        QTRY_COMPARE(focusName(), QStringLiteral("txtUser"));
        QCOMPARE(tabbing(6),
                 QStringList({"txtUser", "txtPassword", "btnOK", "btnCancel", "optUserPassword", "txtUser"}));
        typeInto(txtUser(), QStringLiteral(" bob "));
        typeInto(txtPassword(), QStringLiteral("   "));
        QTest::mouseClick(control("optCertificate"), Qt::LeftButton);
        QVERIFY(m_signMethod->m_bCertificateChosen && !txtUser()->isEnabled() && !txtPassword()->isEnabled());
        QTest::mouseClick(control("btnOK"), Qt::LeftButton);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(!m_dialog->isVisible() && !m_dialog->m_bCancelled);
        QCOMPARE(m_dialog->m_sUser, QStringLiteral(" bob "));
        QCOMPARE(m_dialog->m_sPassword, QStringLiteral("   "));
    }
};

QTEST_MAIN(TestCredentials)
#include "test_credentials.moc"
