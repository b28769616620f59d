// The personal store over real NSS databases, choosing the certificate that signs, and the
// chooser and password dialogs.

#include "CertLibTest.h"
#include "common/E2eHarness.h"
#include "common/NssFixture.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QTreeWidget>

#include <memory>

namespace {

// Signs as the register command does: the signer's common name, or failure(number).
QString signedBy() {
    try {
        SignedData data;
        data.Verify(signRecord(QDateTime::currentDateTime(), QStringLiteral("report.doc")), false, 0);
        return data.Signers().Item(1).Certificate().CommonName();
    } catch (const TSError& e) {
        return failure(e.number());
    }
}

// Answers the certificate chooser with "down-enter" or by clicking a button; adds its rows to
// *seen (subject, e-mail, issuer, whether both validity dates show).
void answerChooser(QWidget* dialog, const QString& answer, QStringList* seen) {
    auto* list = dialog->findChild<QTreeWidget*>(QStringLiteral("lstCertificates"));
    for (int i = 0; list && i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = list->topLevelItem(i);
        const bool dated = !row->text(3).isEmpty() && !row->text(4).isEmpty();
        *seen << row->text(0) + '|' + row->text(1) + '|' + row->text(2) + (dated ? "|dated" : "|undated");
    }
    if (answer != QLatin1String("down-enter"))
        return QTest::mouseClick(dialog->findChild<QPushButton*>(answer), Qt::LeftButton);
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Return);
}

// Answers the password dialog by typing the password, or "<cancel>" clicks Cancel; adds to *seen
// how the box and the wrong-password notice looked.
void answerPassword(QWidget* dialog, const QString& answer, QStringList* seen) {
    auto* box = dialog->findChild<QLineEdit*>(QStringLiteral("txtPassword"));
    auto* notice = dialog->findChild<QLabel*>(QStringLiteral("lblError"));
    const bool empty = box && box->echoMode() == QLineEdit::Password && box->text().isEmpty();
    *seen << QStringLiteral("%1, notice %2")
                 .arg(empty ? "empty box" : "not an empty password box",
                      notice && notice->isVisible() ? "shown" : "hidden");
    if (answer == QLatin1String("<cancel>"))
        return QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("btnCancel")),
                                 Qt::LeftButton);
    QTest::keyClicks(box, answer);
    QTest::keyClick(box, Qt::Key_Return);
}

} // namespace

class TestCertStore : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The user's database of that kind, or in its place a chosen one (Settings::UseDatabase): "one" of
    // that kind; "no database", a folder without one; "garbage", files that are not a database. A
    // chosen database that cannot be used changes nothing.
    void countsPersonalCertificates_data() {
        QTest::addColumn<QString>("kind"); // "garbage": files that are not a database
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QStringList>("names");
        const QStringList alice{"Alice Example"};
        QTest::newRow("no database") << "none" << QString() << QStringList();
        QTest::newRow("unusable database") << "garbage" << QString() << QStringList();
        QTest::newRow("one") << "one" << QString() << alice;
        QTest::newRow("two") << "two" << QString() << QStringList{"Alice Example", "Bob Example"};
        QTest::newRow("expired only") << "expired" << QString() << QStringList{"Eve Expired"};
        QTest::newRow("CA certificates only") << "ca-only" << QString() << QStringList();
        QTest::newRow("password, before any login") << "password" << QString() << alice;
        QTest::newRow("chosen in place of the user's") << "two"
                                                       << "one" << alice;
        QTest::newRow("chosen folder without a database") << "one"
                                                          << "no database" << alice;
        QTest::newRow("chosen database unusable") << "one"
                                                  << "garbage" << alice;
    }
    void countsPersonalCertificates() {
        QFETCH(QString, kind);
        QFETCH(QString, chosen);
        QFETCH(QStringList, names);
        const auto garbage = [](const QString& folder) {
            if (!QDir().mkpath(folder))
                return false;
            for (const char* file : {"/cert9.db", "/key4.db"}) {
                QFile f(folder + QLatin1String(file));
                if (!f.open(QIODevice::WriteOnly) || f.write("this is not a database") <= 0)
                    return false;
            }
            return true;
        };
        std::unique_ptr<NssFixture> other; // made first: a fixture sets HOME while it lives
        if (chosen == QLatin1String("one")) {
            other = std::make_unique<NssFixture>(chosen);
            QVERIFY2(other->isValid(), qPrintable(other->error()));
        }
        NssFixture db(kind == QLatin1String("garbage") ? QStringLiteral("none") : kind);
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        if (kind == QLatin1String("garbage"))
            QVERIFY(garbage(db.databaseFolder()));
        const auto ownAgain = qScopeGuard([] { Settings::UseDatabase(QString()); });
        if (!chosen.isEmpty()) {
            const QString folder = other ? other->databaseFolder() : db.home() + QStringLiteral("/chosen");
            QVERIFY(chosen == QLatin1String("garbage") ? garbage(folder) : QDir().mkpath(folder));
            if (other) {
                Settings::UseDatabase(QStringLiteral("sql:") + folder);
            } else {
                QVERIFY_THROWS_EXCEPTION(TSError, Settings::UseDatabase(folder));
            }
        }
        Store store;
        store.Open(2, QStringLiteral("MY"), 0);
        const Certificates certs = store.Certificates();
        QStringList found;
        for (qint32 i = 1; i <= certs.Count(); ++i)
            found << certs.Item(i).CommonName();
        found.sort();
        QCOMPARE(found, names);
    }

    void certificateAndArguments() {
        NssFixture db(QStringLiteral("one"));
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        Store store;
        QVERIFY_THROWS_EXCEPTION(TSError, store.Open(1, QStringLiteral("MY"), 0));   // the machine's store
        QVERIFY_THROWS_EXCEPTION(TSError, store.Open(2, QStringLiteral("Root"), 0)); // another store
        store.Open();
        QVERIFY_THROWS_EXCEPTION(TSError, store.Certificates().Item(2));
        const Certificate c = store.Certificates().Item(1);
        QCOMPARE(c.ValidFromDate().timeSpec(), Qt::LocalTime);
        QVERIFY(c.ValidFromDate() < QDateTime::currentDateTime() &&
                QDateTime::currentDateTime() < c.ValidToDate());
    }

    // Which certificate signs, given the database, the prompt setting and the answers to the
    // dialogs: the chooser's "down-enter", "btnOK" or "btnCancel", or the passwords typed.
    void whoSigns_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("prompt");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("signer");
        const QString alice = QStringLiteral("Alice Example");
        const QString noCertificate = failure(CertLibError::NoCertificate);
        const QString cancelled = failure(CertLibError::Cancelled);
        QTest::newRow("one") << "one" << false << QStringList() << alice;
        QTest::newRow("one fit of two") << "mixed" << true << QStringList() << alice;
        QTest::newRow("no database") << "none" << true << QStringList() << noCertificate;
        QTest::newRow("expired") << "expired" << true << QStringList() << noCertificate;
        QTest::newRow("not yet valid, no signing usage") << "unfit" << true << QStringList() << noCertificate;
        QTest::newRow("two, prompt off")
            << "two" << false << QStringList() << failure(CertLibError::ChoiceNotAllowed);
        QTest::newRow("chooser: the second, by keyboard")
            << "two" << true << QStringList{"down-enter"} << "Bob Example";
        QTest::newRow("chooser: OK keeps the first") << "two" << true << QStringList{"btnOK"} << alice;
        QTest::newRow("chooser: Cancel") << "two" << true << QStringList{"btnCancel"} << cancelled;
        QTest::newRow("password: wrong, then right")
            << "password" << false << QStringList{"wrong", NssFixture::password()} << alice;
        QTest::newRow("password: wrong, then Cancel")
            << "password" << false << QStringList{"wrong", "<cancel>"} << cancelled;
    }
    void whoSigns() {
        QFETCH(QString, kind);
        QFETCH(bool, prompt);
        QFETCH(QStringList, answers);
        QFETCH(QString, signer);
        NssFixture db(kind);
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        Settings().setEnablePromptForCertificateUI(prompt);
        QMainWindow main; // the dialogs' parent
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        const bool password = kind == QLatin1String("password");
        QStringList seen;
        E2eModals modals;
        for (const QString& answer : answers)
            modals.dialog(password ? QStringLiteral("TSTokenPassword") : QStringLiteral("TSCertChooser"),
                          [&, answer](QWidget* dialog) {
                              modals.expectThat(dialog->parentWidget() == &main, QStringLiteral("parented"));
                              (password ? answerPassword : answerChooser)(dialog, answer, &seen);
                          });
        QCOMPARE(signedBy(), signer);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        if (password) {
            QCOMPARE(seen, (QStringList{"empty box, notice hidden", "empty box, notice shown"}));
        } else if (!answers.isEmpty()) {
            QCOMPARE(seen, (QStringList{"Alice Example|alice@example.test|Tessaro Test Issuing CA|dated",
                                        "Bob Example|bob@example.test|Tessaro Test Issuing CA|dated"}));
        }
        if (password && signer == QLatin1String("Alice Example")) {
            // Unlocked for the rest of the run: no second question.
            E2eModals again;
            QCOMPARE(signedBy(), signer);
            QVERIFY2(again.ok(), qPrintable(again.report()));
        }
    }
};

QTEST_MAIN(TestCertStore)
#include "test_certstore.moc"
