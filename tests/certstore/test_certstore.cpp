// The personal store over real NSS databases, and choosing the certificate that signs and
// unlocking it through the caller's prompts.

#include "CertLibTest.h"
#include "common/NssFixture.h"

#include <QDir>
#include <QScopeGuard>
#include <QTest>

#include <memory>

namespace {

// Signs as the register command does: the signer's common name, or failure(number).
QString signedBy(const SigningPrompts& prompts) {
    try {
        SignedData data;
        data.Verify(SignWithTimeAndName(kFingerprint, QDateTime::currentDateTime(),
                                        QStringLiteral("report.doc"), prompts),
                    false, 0);
        return data.Signers().Item(1).Certificate().CommonName();
    } catch (const TSError& e) {
        return failure(e.number());
    }
}

} // namespace

class TestCertStore : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The user's database of that kind, or in its place a chosen one (Settings::UseDatabase): "one" of
    // that kind; "no database", a folder without one; "garbage", files that are not a database. A
    // chosen database that cannot be used changes nothing.
    void countsPersonalCertificates_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("names");
        const char* const rows[][4] = {
            {"no database", "none", "", ""},
            {"unusable database", "garbage", "", ""},
            {"one", "one", "", "Alice Example"},
            {"two", "two", "", "Alice Example, Bob Example"},
            {"expired only", "expired", "", "Eve Expired"},
            {"CA certificates only", "ca-only", "", ""},
            {"password, before any login", "password", "", "Alice Example"},
            {"chosen in place of the user's", "two", "one", "Alice Example"},
            {"chosen folder without a database", "one", "no database", "Alice Example"},
            {"chosen database unusable", "one", "garbage", "Alice Example"},
        };
        for (const auto& [tag, kind, chosen, names] : rows)
            QTest::newRow(tag) << QString(kind) << QString(chosen) << QString(names);
    }
    void countsPersonalCertificates() {
        QFETCH(QString, kind);
        QFETCH(QString, chosen);
        QFETCH(QString, names);
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
        QCOMPARE(found.join(QStringLiteral(", ")), names);
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

    // Which certificate signs, given the database, the prompt setting and the caller's answers:
    // a chooser answer is the row taken ("cancel": none), a password answer the password typed
    // ("cancel": none). "no prompts": the caller answers nothing. Every question asked is logged:
    // the certificates offered (name|e-mail|issuer, and whether both validity dates are known),
    // or the token named and whether the last password was wrong.
    void whoSigns_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("prompt");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("signer");
        QTest::addColumn<QStringList>("asked");
        const QString alice = QStringLiteral("Alice Example");
        const QString noCertificate = failure(CertLibError::NoCertificate);
        const QString cancelled = failure(CertLibError::Cancelled);
        const QString offered =
            QStringLiteral("Alice Example|alice@example.test|Tessaro Test Issuing CA|dated, "
                           "Bob Example|bob@example.test|Tessaro Test Issuing CA|dated");
        const QString token = QStringLiteral("your certificate database (%1)");
        QTest::newRow("one") << "one" << false << QStringList() << alice << QStringList();
        QTest::newRow("one fit of two") << "mixed" << true << QStringList() << alice << QStringList();
        QTest::newRow("no database") << "none" << true << QStringList() << noCertificate << QStringList();
        QTest::newRow("expired") << "expired" << true << QStringList() << noCertificate << QStringList();
        QTest::newRow("not yet valid, no signing usage")
            << "unfit" << true << QStringList() << noCertificate << QStringList();
        QTest::newRow("two, prompt off")
            << "two" << false << QStringList() << failure(CertLibError::ChoiceNotAllowed) << QStringList();
        QTest::newRow("two, no prompts") << "two" << true << QStringList{"no prompts"}
                                         << failure(CertLibError::NoUserInterface) << QStringList();
        QTest::newRow("chooser: the second")
            << "two" << true << QStringList{"1"} << "Bob Example" << QStringList{offered};
        QTest::newRow("chooser: the first")
            << "two" << true << QStringList{"0"} << alice << QStringList{offered};
        QTest::newRow("chooser: cancel")
            << "two" << true << QStringList{"cancel"} << cancelled << QStringList{offered};
        QTest::newRow("chooser: a row not offered")
            << "two" << true << QStringList{"2"} << cancelled << QStringList{offered};
        QTest::newRow("password: none asked for") << "password" << false << QStringList{"no prompts"}
                                                  << failure(CertLibError::NoUserInterface) << QStringList();
        QTest::newRow("password: wrong, then right")
            << "password" << false << QStringList{"wrong", NssFixture::password()} << alice
            << QStringList{token + ", first", token + ", retry"};
        QTest::newRow("password: wrong, then cancel")
            << "password" << false << QStringList{"wrong", "cancel"} << cancelled
            << QStringList{token + ", first", token + ", retry"};
    }
    void whoSigns() {
        QFETCH(QString, kind);
        QFETCH(bool, prompt);
        QFETCH(QStringList, answers);
        QFETCH(QString, signer);
        QFETCH(QStringList, asked);
        NssFixture db(kind);
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        Settings().setEnablePromptForCertificateUI(prompt);
        for (QString& question : asked)
            question.replace(QStringLiteral("%1"), db.databaseFolder());
        QStringList log;
        SigningPrompts prompts;
        prompts.chooseCertificate = [&](const QList<Certificate>& certificates) -> std::optional<qsizetype> {
            QStringList rows;
            for (const Certificate& c : certificates)
                rows << QStringList{c.CommonName(), c.EmailAddress(), c.IssuerCommonName(),
                                    c.ValidFromDate().isValid() && c.ValidToDate().isValid() ? "dated"
                                                                                             : "undated"}
                            .join('|');
            log << rows.join(QStringLiteral(", "));
            const QString answer = answers.value(log.size() - 1);
            return answer == QLatin1String("cancel") ? std::nullopt
                                                     : std::optional<qsizetype>(answer.toInt());
        };
        prompts.askPassword = [&](const QString& tokenLabel, bool bRetry) -> std::optional<QString> {
            log << tokenLabel + (bRetry ? ", retry" : ", first");
            const QString answer = answers.value(log.size() - 1);
            return answer == QLatin1String("cancel") ? std::nullopt : std::optional<QString>(answer);
        };
        QCOMPARE(signedBy(answers.value(0) == QLatin1String("no prompts") ? SigningPrompts() : prompts),
                 signer);
        QCOMPARE(log, asked);
        if (kind == QLatin1String("password") && signer == QLatin1String("Alice Example")) {
            // Unlocked for the rest of the run: no second question.
            QCOMPARE(signedBy(SigningPrompts()), signer);
        }
    }
};

QTEST_GUILESS_MAIN(TestCertStore)
#include "test_certstore.moc"
