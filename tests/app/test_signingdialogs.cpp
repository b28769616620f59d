// The program's answers to the certificate library's questions: the certificate chooser and the
// token password dialog, driven as a user would.

#include "app/TSSigningDialogs.h"
#include "common/Modals.h"
#include "common/TestPki.h"

#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QSslCertificate>
#include <QTest>
#include <QTreeWidget>

class TestSigningDialogs : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        m_main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m_main));
        const testpki::Identity ca = testpki::issue({QStringLiteral("Test Issuing CA"), true});
        for (const char* name : {"Alice Example", "Bob Example"})
            m_certificates << Certificate(
                QSslCertificate(testpki::issue({QString::fromLatin1(name)}, &ca).certPem()).toDer());
    }

    // The chooser lists the certificates in the order given, the first selected; "down-enter"
    // takes the next by keyboard, a button name clicks it. The row chosen, or -1 for none.
    void chooser_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("chosen");
        QTest::newRow("down, Enter") << "down-enter" << 1;
        QTest::newRow("OK keeps the first") << "btnOK" << 0;
        QTest::newRow("Cancel") << "btnCancel" << -1;
    }
    void chooser() {
        QFETCH(QString, answer);
        QFETCH(int, chosen);
        E2eModals modals;
        QStringList rows;
        QWidget* parent = nullptr;
        modals.dialog(QStringLiteral("TSCertChooser"), [&](QWidget* dialog) {
            parent = dialog->parentWidget();
            auto* list = dialog->findChild<QTreeWidget*>(QStringLiteral("lstCertificates"));
            for (int i = 0; list && i < list->topLevelItemCount(); ++i) {
                const QTreeWidgetItem* row = list->topLevelItem(i);
                const bool dated = !row->text(3).isEmpty() && !row->text(4).isEmpty();
                rows << row->text(0) + '|' + row->text(2) + (dated ? "|dated" : "|undated");
            }
            if (answer != QLatin1String("down-enter"))
                return QTest::mouseClick(dialog->findChild<QPushButton*>(answer), Qt::LeftButton);
            QTest::keyClick(list, Qt::Key_Down);
            QTest::keyClick(list, Qt::Key_Return);
        });
        const std::optional<qsizetype> row = SigningDialogs(&m_main).chooseCertificate(m_certificates);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QCOMPARE(row.value_or(-1), chosen);
        QCOMPARE(parent, &m_main);
        QCOMPARE(rows,
                 (QStringList{"Alice Example|Test Issuing CA|dated", "Bob Example|Test Issuing CA|dated"}));
    }

    // A wrong password shows the same dialog again, emptied, with its notice; Cancel answers none.
    void password() {
        const SigningPrompts prompts = SigningDialogs(&m_main);
        QStringList seen;
        E2eModals modals;
        const auto answer = [&](const QString& typed) {
            modals.dialog(QStringLiteral("TSTokenPassword"), [&seen, &modals, typed](QWidget* dialog) {
                auto* box = dialog->findChild<QLineEdit*>(QStringLiteral("txtPassword"));
                auto* notice = dialog->findChild<QLabel*>(QStringLiteral("lblError"));
                auto* message = dialog->findChild<QLabel*>(QStringLiteral("lblMessage"));
                modals.expectThat(box && notice && message, QStringLiteral("the password dialog's controls"));
                if (!box || !notice || !message)
                    return;
                const bool named = message->text().contains(QStringLiteral("the token \"T\""));
                const bool empty = box->echoMode() == QLineEdit::Password && box->text().isEmpty();
                seen << QStringLiteral("%1, %2, notice %3")
                            .arg(named ? "named" : "unnamed", empty ? "empty" : "filled",
                                 notice->isVisible() ? "shown" : "hidden");
                if (typed.isNull())
                    return QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("btnCancel")),
                                             Qt::LeftButton);
                typeInto(box, typed);
                QTest::keyClick(box, Qt::Key_Return);
            });
        };
        answer(QStringLiteral("wrong"));
        answer(QStringLiteral("right"));
        answer(QString());
        QCOMPARE(prompts.askPassword(QStringLiteral("the token \"T\""), false), QStringLiteral("wrong"));
        QCOMPARE(prompts.askPassword(QStringLiteral("the token \"T\""), true), QStringLiteral("right"));
        QCOMPARE(prompts.askPassword(QStringLiteral("the token \"T\""), false), std::nullopt);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QCOMPARE(seen, (QStringList{"named, empty, notice hidden", "named, empty, notice shown",
                                    "named, empty, notice hidden"}));
    }

private:
    QMainWindow m_main;
    QList<Certificate> m_certificates;
};

QTEST_MAIN(TestSigningDialogs)
#include "test_signingdialogs.moc"
