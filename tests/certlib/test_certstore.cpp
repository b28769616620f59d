// The personal store over real NSS databases, choosing the certificate that signs, the chooser
// and password dialogs, and sign-then-verify round trips.

#include "DialogDriver.h"
#include "ZoneGuard.h"
#include "common/NssFixture.h"
#include "platform/CertLibrary.h"
#include "platform/TSCertChooser.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

namespace {

const QString kFingerprint = QStringLiteral("3F786850E387550FDAB836ED7E6DC881DE23001B");

struct Signed {
    QString record; // the Base64 text as Sign returns it
    QString error;  // "number:description" when Sign failed
    qint32 number = 0;
};

Signed signWith(const QDateTime& when, const QString& name, const QString& content = kFingerprint) {
    Signed out;
    try {
        Attribute a;
        a.setName(Attribute::SigningTime);
        a.setValue(when);
        Attribute b;
        b.setName(Attribute::DocumentName);
        b.setValue(name);
        Signer signer;
        signer.AuthenticatedAttributes().Add(a);
        signer.AuthenticatedAttributes().Add(b);
        SignedData data;
        data.setContent(content);
        out.record = data.Sign(signer, false, 0);
    } catch (const TSError& e) {
        out.number = e.number();
        out.error = QString::number(e.number()) + QLatin1Char(':') + e.description();
    }
    return out;
}

QString clean(QString record) {
    record.remove(QLatin1Char('\n'));
    record.remove(QLatin1Char('\r'));
    record.remove(QLatin1Char(' '));
    return record;
}

QString signerName(const QString& record) {
    SignedData data;
    data.Verify(clean(record), false, 0);
    return data.Signers().Item(1).Certificate().CommonName();
}

void setPrompt(bool on) {
    Settings().setEnablePromptForCertificateUI(on);
}

} // namespace

class TestCertStore : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { setPrompt(false); }

    void countsPersonalCertificates_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("no database") << "none" << QStringList();
        QTest::newRow("empty database") << "empty" << QStringList();
        QTest::newRow("one") << "one" << QStringList{"Alice Example"};
        QTest::newRow("two") << "two" << QStringList{"Alice Example", "Bob Example"};
        QTest::newRow("expired only") << "expired" << QStringList{"Eve Expired"};
        QTest::newRow("CA certificates only") << "ca-only" << QStringList();
        QTest::newRow("password, before any login") << "password" << QStringList{"Alice Example"};
    }
    void countsPersonalCertificates() {
        QFETCH(QString, kind);
        QFETCH(QStringList, names);
        NssFixture db(kind);
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        Store store;
        store.Open(2, QStringLiteral("MY"), 0);
        const Certificates certs = store.Certificates();
        QCOMPARE(certs.Count(), names.size());
        QStringList found;
        for (qint32 i = 1; i <= certs.Count(); ++i)
            found << certs.Item(i).CommonName();
        found.sort();
        QCOMPARE(found, names);
    }

    // Other tests add their own CAs to a fixture database, e.g. to trust a test site.
    void fixtureTakesMoreCertificates_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("plain") << "one";
        QTest::newRow("password") << "password";
    }
    void fixtureTakesMoreCertificates() {
        QFETCH(QString, kind);
        NssFixture db(kind);
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        QTemporaryDir dir;
        const QString ca = dir.filePath(QStringLiteral("ca.pem"));
        QByteArray output;
        QCOMPARE(NssFixture::run(QStringLiteral("openssl"),
                                 {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                                  dir.filePath(QStringLiteral("ca.key")), "-out", ca, "-subj",
                                  "/CN=Extra Test CA", "-days", "30"},
                                 &output),
                 0);
        const QString error = db.addCertificate(ca, QStringLiteral("Extra Test CA"), QStringLiteral("CT,,"));
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(NssFixture::run(QStringLiteral("certutil"), {"-L", "-d", db.database()}, &output), 0);
        QVERIFY2(QRegularExpression(QStringLiteral("Extra Test CA\\s+CT,,"))
                     .match(QString::fromLatin1(output))
                     .hasMatch(),
                 output.constData());
        Store store;
        store.Open();
        QCOMPARE(store.Certificates().Count(), 1);
    }

    void unusableDatabaseIsEmptyStore() {
        NssFixture db(QStringLiteral("none"));
        QVERIFY(QDir().mkpath(db.databaseFolder()));
        for (const char* file : {"cert9.db", "key4.db"}) {
            QFile f(db.databaseFolder() + QLatin1Char('/') + QLatin1String(file));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("this is not a database");
        }
        Store store;
        store.Open(2, QStringLiteral("MY"), 0);
        QCOMPARE(store.Certificates().Count(), 0);
    }

    void storeArguments_data() {
        QTest::addColumn<int>("location");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("ok");
        QTest::newRow("current user MY read-only") << 2 << "MY" << 0 << true;
        QTest::newRow("machine location") << 1 << "MY" << 0 << false;
        QTest::newRow("other store") << 2 << "Root" << 0 << false;
    }
    void storeArguments() {
        QFETCH(int, location);
        QFETCH(QString, name);
        QFETCH(int, mode);
        QFETCH(bool, ok);
        NssFixture db(QStringLiteral("one"));
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        Store store;
        try {
            store.Open(location, name, mode);
            QVERIFY(ok);
            QCOMPARE(store.Certificates().Count(), 1);
        } catch (const TSError& e) {
            QVERIFY2(!ok, e.what());
            QCOMPARE(e.number(), CertLibError::InvalidArgument);
            QVERIFY(!e.description().isEmpty());
        }
    }

    void certificateFields() {
        NssFixture db(QStringLiteral("one"));
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        Store store;
        store.Open();
        const Certificate c = store.Certificates().Item(1);
        QCOMPARE(c.CommonName(), QStringLiteral("Alice Example"));
        QCOMPARE(c.EmailAddress(), QStringLiteral("alice@example.test"));
        QCOMPARE(c.IssuerCommonName(), QStringLiteral("Tessaro Test Issuing CA"));
        QVERIFY(c.SubjectName().contains(QStringLiteral("CN=Alice Example")));
        QVERIFY(c.ValidFromDate() < QDateTime::currentDateTime());
        QVERIFY(c.ValidToDate() > QDateTime::currentDateTime());
        QCOMPARE(c.ValidFromDate().timeSpec(), Qt::LocalTime);
        QCOMPARE(c.Thumbprint().size(), 40);
        QCOMPARE(Certificate(c.Export()), c);
        QVERIFY_THROWS_EXCEPTION(TSError, store.Certificates().Item(0));
        QVERIFY_THROWS_EXCEPTION(TSError, store.Certificates().Item(2));
        QVERIFY_THROWS_EXCEPTION(TSError, Certificate(QByteArray("not a certificate")));
    }

    // Which certificate signs, without any dialog.
    void picksWithoutAsking_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("prompt");
        QTest::addColumn<QString>("signer"); // empty: fails with the number below
        QTest::addColumn<qint32>("error");
        QTest::newRow("one") << "one" << false << "Alice Example" << 0;
        QTest::newRow("one fit of two") << "mixed" << true << "Alice Example" << 0;
        QTest::newRow("no database") << "none" << true << "" << CertLibError::NoCertificate;
        QTest::newRow("CA certificates only") << "ca-only" << true << "" << CertLibError::NoCertificate;
        QTest::newRow("expired") << "expired" << true << "" << CertLibError::NoCertificate;
        QTest::newRow("not yet valid, no signing usage")
            << "unfit" << true << "" << CertLibError::NoCertificate;
        QTest::newRow("two, prompt off") << "two" << false << "" << CertLibError::ChoiceNotAllowed;
    }
    void picksWithoutAsking() {
        QFETCH(QString, kind);
        QFETCH(bool, prompt);
        QFETCH(QString, signer);
        QFETCH(qint32, error);
        NssFixture db(kind);
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        setPrompt(prompt);
        DialogDriver driver;
        const Signed s = signWith(QDateTime::currentDateTime(), QStringLiteral("report.doc"));
        QCOMPARE(driver.unexpected(), 0);
        if (signer.isEmpty()) {
            QVERIFY2(s.record.isEmpty(), qPrintable(s.record));
            QCOMPARE(s.number, error);
        } else {
            QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
            QCOMPARE(signerName(s.record), signer);
        }
    }

    void chooserListsAndChoosesByKeyboard() {
        NssFixture db(QStringLiteral("two"));
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        setPrompt(true);
        QStringList rows;
        DialogDriver driver;
        driver.then(QStringLiteral("TSCertChooser"), [&](QWidget* dialog) {
            auto* list = dialog->findChild<QTreeWidget*>(QStringLiteral("lstCertificates"));
            QVERIFY(list);
            QVERIFY(dialog->findChild<QPushButton*>(QStringLiteral("btnOK")));
            QVERIFY(dialog->findChild<QPushButton*>(QStringLiteral("btnCancel")));
            for (int i = 0; i < list->topLevelItemCount(); ++i) {
                QStringList cells;
                for (int c = 0; c < list->columnCount(); ++c)
                    cells << list->topLevelItem(i)->text(c);
                rows << cells.join(QLatin1Char('|'));
            }
            list->setFocus();
            QTest::keyClick(list, Qt::Key_Down);
            QTest::keyClick(list, Qt::Key_Return);
        });
        const Signed s = signWith(QDateTime::currentDateTime(), QStringLiteral("report.doc"));
        QCOMPARE(driver.done(), 1);
        QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
        QCOMPARE(rows.size(), 2);
        QVERIFY2(
            rows[0].startsWith(QStringLiteral("Alice Example|alice@example.test|Tessaro Test Issuing CA|")),
            qPrintable(rows[0]));
        QVERIFY2(rows[1].startsWith(QStringLiteral("Bob Example|bob@example.test|Tessaro Test Issuing CA|")),
                 qPrintable(rows[1]));
        const QStringList cells = rows[1].split(QLatin1Char('|'));
        QVERIFY(!cells[3].isEmpty() && !cells[4].isEmpty());
        QCOMPARE(signerName(s.record), QStringLiteral("Bob Example"));
    }

    void chooserOkAndCancel_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("signer");
        QTest::newRow("OK keeps the first") << "btnOK"
                                            << "Alice Example";
        QTest::newRow("Cancel") << "btnCancel"
                                << "";
        QTest::newRow("Escape") << ""
                                << "";
    }
    void chooserOkAndCancel() {
        QFETCH(QString, button);
        QFETCH(QString, signer);
        NssFixture db(QStringLiteral("two"));
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        setPrompt(true);
        DialogDriver driver;
        driver.then(QStringLiteral("TSCertChooser"), [&](QWidget* dialog) {
            if (button.isEmpty())
                QTest::keyClick(dialog, Qt::Key_Escape);
            else
                QTest::mouseClick(dialog->findChild<QPushButton*>(button), Qt::LeftButton);
        });
        const Signed s = signWith(QDateTime::currentDateTime(), QStringLiteral("report.doc"));
        QCOMPARE(driver.done(), 1);
        if (signer.isEmpty()) {
            QVERIFY(s.record.isEmpty());
            QCOMPARE(s.number, CertLibError::Cancelled);
        } else {
            QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
            QCOMPARE(signerName(s.record), signer);
        }
    }

    void chooserIsParentedToMainWindow() {
        NssFixture db(QStringLiteral("two"));
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        setPrompt(true);
        QMainWindow main;
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        QWidget* parent = nullptr;
        DialogDriver driver;
        driver.then(QStringLiteral("TSCertChooser"), [&](QWidget* dialog) {
            parent = dialog->parentWidget();
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        signWith(QDateTime::currentDateTime(), QStringLiteral("report.doc"));
        QCOMPARE(parent, &main);
    }

    void passwordDialog_data() {
        QTest::addColumn<QStringList>("tries"); // passwords typed; "<cancel>" presses Cancel
        QTest::addColumn<bool>("ok");
        QTest::newRow("right first time") << QStringList{NssFixture::password()} << true;
        QTest::newRow("wrong, then right") << QStringList{"wrong", NssFixture::password()} << true;
        QTest::newRow("wrong, then cancel") << QStringList{"wrong", "<cancel>"} << false;
    }
    void passwordDialog() {
        QFETCH(QStringList, tries);
        QFETCH(bool, ok);
        NssFixture db(QStringLiteral("password"));
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        QList<bool> errorShown;
        DialogDriver driver;
        for (const QString& typed : tries) {
            driver.then(QStringLiteral("TSTokenPassword"), [&errorShown, typed](QWidget* dialog) {
                auto* box = dialog->findChild<QLineEdit*>(QStringLiteral("txtPassword"));
                auto* notice = dialog->findChild<QLabel*>(QStringLiteral("lblError"));
                QVERIFY(box && notice);
                QCOMPARE(box->echoMode(), QLineEdit::Password);
                QVERIFY(box->text().isEmpty());
                errorShown << notice->isVisible();
                if (typed == QLatin1String("<cancel>")) {
                    QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("btnCancel")),
                                      Qt::LeftButton);
                    return;
                }
                QTest::keyClicks(box, typed);
                QTest::keyClick(box, Qt::Key_Return);
            });
        }
        const Signed s = signWith(QDateTime::currentDateTime(), QStringLiteral("report.doc"));
        QCOMPARE(driver.done(), tries.size());
        QVERIFY2(driver.unexpected() == 0, qPrintable(driver.seen().join(QLatin1Char(','))));
        // The notice shows from the second try on.
        for (int i = 0; i < errorShown.size(); ++i)
            QCOMPARE(errorShown[i], i > 0);
        if (ok) {
            QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
            QCOMPARE(signerName(s.record), QStringLiteral("Alice Example"));
            // Unlocked for the rest of the run: no second question.
            DialogDriver again;
            const Signed s2 = signWith(QDateTime::currentDateTime(), QStringLiteral("other.doc"));
            QVERIFY2(s2.error.isEmpty(), qPrintable(s2.error));
            QCOMPARE(again.unexpected(), 0);
        } else {
            QCOMPARE(s.number, CertLibError::Cancelled);
        }
    }

    void roundTrip_data() {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("name");
        const QDateTime lateEvening(QDate(2026, 3, 14), QTime(23, 30, 15, 500));
        QTest::newRow("plain name") << QByteArray("UTC0") << lateEvening << "report.doc";
        QTest::newRow("non-ASCII name")
            << QByteArray("UTC0") << lateEvening << QStringLiteral("Résumé – 履歴書.doc");
        QTest::newRow("name beyond the BMP")
            << QByteArray("UTC0") << lateEvening << QStringLiteral("📄 notes.txt");
        QTest::newRow("name with quote and spaces")
            << QByteArray("UTC0") << lateEvening << "it's my file .txt";
        // West of UTC the evening is already the next day in UTC; east the morning is the day before.
        QTest::newRow("late evening, UTC-10") << QByteArray("XST10") << lateEvening << "report.doc";
        QTest::newRow("early morning, UTC+13")
            << QByteArray("XET-13") << QDateTime(QDate(2027, 1, 1), QTime(0, 15, 1)) << "report.doc";
        QTest::newRow("after 2049 (GeneralizedTime)")
            << QByteArray("XST10") << QDateTime(QDate(2050, 1, 1), QTime(0, 0, 7)) << "report.doc";
    }
    void roundTrip() {
        QFETCH(QByteArray, zone);
        QFETCH(QDateTime, when);
        QFETCH(QString, name);
        ZoneGuard tz(zone.constData());
        const QDateTime local(when.date(), when.time(), Qt::LocalTime);
        if (zone == "XST10")
            QCOMPARE(local.offsetFromUtc(), -10 * 3600);
        NssFixture db(QStringLiteral("one"));
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        const Signed s = signWith(local, name);
        QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
        // Base64 in lines of 76 characters, as the caller cleans it.
        for (const QString& line : s.record.split(QStringLiteral("\r\n")))
            QVERIFY(line.size() <= 76);

        SignedData data;
        data.Verify(clean(s.record), false, 0);
        QCOMPARE(data.Content(), kFingerprint);
        QCOMPARE(data.Signers().Count(), 1);
        const Attributes attrs = data.Signers().Item(1).AuthenticatedAttributes();
        QCOMPARE(attrs.Count(), 2);
        QCOMPARE(attrs.Item(1).Name(), qint32(Attribute::SigningTime));
        const QDateTime back = attrs.Item(1).Value().toDateTime();
        QCOMPARE(back.timeSpec(), Qt::LocalTime);
        QCOMPARE(back.date(), local.date());
        QCOMPARE(back.time(), QTime(local.time().hour(), local.time().minute(), local.time().second()));
        QCOMPARE(attrs.Item(2).Name(), qint32(Attribute::DocumentName));
        QCOMPARE(attrs.Item(2).Value().toString(), name);
    }

    void signArguments() {
        NssFixture db(QStringLiteral("one"));
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        Signer signer;
        SignedData data;
        QVERIFY_THROWS_EXCEPTION(TSError, data.Sign(signer, false, 0)); // no content
        data.setContent(kFingerprint);
        QVERIFY_THROWS_EXCEPTION(TSError, data.Sign(signer, true, 0));  // detached
        QVERIFY_THROWS_EXCEPTION(TSError, data.Sign(signer, false, 1)); // binary
        // Without attributes the message still signs and verifies.
        const QString record = data.Sign(signer, false, 0);
        SignedData back;
        back.Verify(record, false, 0);
        QCOMPARE(back.Content(), kFingerprint);
        QCOMPARE(back.Signers().Item(1).AuthenticatedAttributes().Count(), 0);
    }
};

QTEST_MAIN(TestCertStore)
#include "test_certstore.moc"
