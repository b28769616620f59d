// The site database's tables, run once on SQLite and once on a throwaway PostgreSQL cluster.

#include "common/PgCluster.h"
#include "sitedb/Accounts.h"
#include "sitedb/SiteDatabase.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <vector>

namespace {

const QDateTime Epoch = QDateTime::fromMSecsSinceEpoch(1'800'000'000'000, Qt::UTC);

Registration Sample(const QString& fingerprint, const QString& method = QStringLiteral("password")) {
    return {
        0,      fingerprint,         QStringLiteral("Error: draft <b>'\"</b>.txt"), QStringLiteral("alice"),
        method, Epoch.addMSecs(123), QByteArray("\x30\x03\x02\x01\x00", 5)};
}

QString Fingerprint(int n) {
    return QStringLiteral("%1").arg(n, 40, 16, QLatin1Char('0')).toUpper();
}

// Runs SQL on the site's database through a connection of the test's own, as an administrator (or a
// fault) would.
QString RawSql(const QString& dir, const QStringList& statements) {
    QString error, output;
    {
        const DatabaseLocation location = DatabaseLocation::Of(dir);
        QSqlDatabase db = QSqlDatabase::addDatabase(location.DriverName(), QStringLiteral("raw"));
        location.Apply(db);
        if (!db.open()) {
            error = db.lastError().text();
        }
        QSqlQuery q(db);
        for (const QString& s : statements) {
            if (error.isEmpty() && !q.exec(s)) {
                error = q.lastError().text();
            }
            while (q.next()) {
                output += q.value(0).toString() + QLatin1Char(';');
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("raw"));
    return error.isEmpty() ? output : QStringLiteral("error: ") + error;
}

} // namespace

// Run on SQLite; TestSiteDbPostgreSQL runs the same on PostgreSQL.
class TestSiteDb : public QObject {
    Q_OBJECT

public:
    explicit TestSiteDb(PgCluster* cluster = nullptr) : m_cluster(cluster) {}

protected:
    PgCluster* m_cluster; // null: SQLite
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_dir;
    QString m_url; // PostgreSQL: this test's new database

    // The site's database, made as init makes it.
    void Create() { SiteDatabase::Create(m_dir, m_url); }
    // A database with no tables yet, that the site folder names.
    void CreateEmpty() {
        QFile file(m_cluster ? DatabaseLocation::UrlFile(m_dir) : SiteDatabase::FilePath(m_dir));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(m_url.toUtf8());
    }
    // Makes the folder name a database that does not exist; PostgreSQL: returns its name.
    QString MakeMissing() {
        if (!m_cluster) {
            QFile::remove(SiteDatabase::FilePath(m_dir));
            return {};
        }
        const QString name = QStringLiteral("missing%1").arg(++m_missing);
        QFile file(DatabaseLocation::UrlFile(m_dir));
        if (!file.open(QIODevice::WriteOnly) || file.write(m_cluster->url(name).toUtf8()) < 0) {
            qFatal("cannot rewrite database.url");
        }
        return name;
    }
    int m_missing = 0;

private Q_SLOTS:
    void initTestCase() {
        if (m_cluster) {
            QVERIFY2(m_cluster->isRunning(), qPrintable(m_cluster->errorString()));
        }
    }

    void init() {
        m_tmp = std::make_unique<QTemporaryDir>();
        m_dir = m_tmp->path();
        if (m_cluster) {
            m_url = m_cluster->createDatabase();
            QVERIFY2(!m_url.isEmpty(), qPrintable(m_cluster->errorString()));
        }
    }

    void storeAndReopen() {
        Create();
        struct stat st {};
        const QString made = m_cluster ? DatabaseLocation::UrlFile(m_dir) : SiteDatabase::FilePath(m_dir);
        QCOMPARE(::stat(QFile::encodeName(made).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        QVERIFY_THROWS_EXCEPTION(SiteDatabaseError,
                                 Create()); // never over an existing one
        if (m_cluster) { // nor over a database that already holds a site, from another folder
            QTemporaryDir other;
            QVERIFY_THROWS_EXCEPTION(SiteDatabaseError, SiteDatabase::Create(other.path(), m_url));
            QVERIFY(!SiteDatabase::Exists(other.path()));
        }
        Registration first = Sample(Fingerprint(1)),
                     second = Sample(Fingerprint(2), QStringLiteral("certificate"));
        QString receipt;
        {
            SiteDatabase db(m_dir);
            QCOMPARE(db.InsertRegistration(first), SiteDatabase::Insert::Inserted);
            QCOMPARE(db.InsertRegistration(second, &receipt), SiteDatabase::Insert::Inserted);
            // The same fingerprint by the other method is a duplicate and changes nothing.
            Registration again = Sample(Fingerprint(1), QStringLiteral("certificate"));
            QCOMPARE(db.InsertRegistration(again), SiteDatabase::Insert::Duplicate);
            QCOMPARE(again.number, 0);
        }
        // Reopened: the rows are kept, no migration runs twice, the log mode stays in the file.
        SiteDatabase db(m_dir);
        QCOMPARE(RawSql(m_dir, {"SELECT COUNT(*) FROM schema_migrations"}), QStringLiteral("1;"));
        if (!m_cluster) {
            QCOMPARE(RawSql(m_dir, {"PRAGMA journal_mode"}), QStringLiteral("wal;"));
        }
        QCOMPARE(db.TakeReceipt(receipt)->number, second.number);
        const std::optional<Registration> found = db.FindByFingerprint(Fingerprint(1));
        QVERIFY(found && !db.FindByFingerprint(Fingerprint(3)));
        QCOMPARE(std::tie(found->name, found->owner, found->method, found->time, found->token),
                 std::tie(first.name, first.owner, first.method, first.time, first.token));
        const QList<Registration> all = db.All();
        QCOMPARE(all.size(), 2);
        QVERIFY(all[1].number > found->number);

        // A schema from a newer program is refused, not used.
        RawSql(m_dir, {"INSERT INTO schema_migrations VALUES (99, 0)"});
        SiteDatabase newer(m_dir);
        QVERIFY(newer.OpenError().contains(QStringLiteral("newer")));
        QCOMPARE(newer.InsertRegistration(first), SiteDatabase::Insert::CannotOpen);
    }

    // Threads that open a new, empty database file together and register the same fingerprint:
    // the schema is made once, and exactly one registration wins.
    void concurrentDuplicates() {
        CreateEmpty();
        constexpr int Threads = 8;
        std::atomic<int> results[5] = {}; // by SiteDatabase::Insert
        std::vector<std::thread> threads;
        for (int t = 0; t < Threads; ++t) {
            threads.emplace_back([&, t] {
                SiteDatabase db(m_dir);
                for (int i = 0; i < 5; ++i) {
                    for (int n : {1000 + i, t * 100 + i}) { // one fingerprint all threads post, one its own
                        Registration r = Sample(Fingerprint(n));
                        ++results[int(db.InsertRegistration(r))];
                    }
                }
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        QCOMPARE(results[int(SiteDatabase::Insert::Inserted)].load(), 5 + Threads * 5);
        QCOMPARE(results[int(SiteDatabase::Insert::Duplicate)].load(), (Threads - 1) * 5);
        QCOMPARE(
            RawSql(m_dir, {"SELECT COUNT(*) FROM schema_migrations", "SELECT COUNT(*) FROM registrations"}),
            QStringLiteral("1;45;"));
    }

    // Taken once within its lifetime (the first take of "single use" shows a fresh one is found).
    void receipts_data() {
        QTest::addColumn<QString>("id");        // "" for the receipt made
        QTest::addColumn<qint64>("takenAfter"); // ms after it was made
        QTest::addColumn<bool>("takeTwice");
        QTest::addColumn<bool>("found");
        QTest::newRow("single use") << "" << qint64(0) << true << false;
        QTest::newRow("just before expiry") << "" << SiteDatabase::ReceiptLifetimeMs - 1 << false << true;
        QTest::newRow("expired") << "" << SiteDatabase::ReceiptLifetimeMs << false << false;
        QTest::newRow("unknown") << "0123456789abcdef0123456789abcdef" << qint64(0) << false << false;
        QTest::newRow("malformed") << "' OR 1=1 --" << qint64(0) << false << false;
    }
    void receipts() {
        QFETCH(QString, id);
        QFETCH(qint64, takenAfter);
        QFETCH(bool, takeTwice);
        QFETCH(bool, found);
        Create();
        SiteDatabase db(m_dir);
        QDateTime now = Epoch;
        db.SetClock([&] { return now; });
        Registration r = Sample(Fingerprint(1));
        QCOMPARE(db.InsertRegistration(r), SiteDatabase::Insert::Inserted);
        const QString made = db.CreateReceipt(r.number);
        QVERIFY(made.size() == 32 && made != db.CreateReceipt(r.number));
        now = now.addMSecs(takenAfter);
        const QString taken = id.isEmpty() ? made : id;
        if (takeTwice) {
            QVERIFY(db.TakeReceipt(taken));
        }
        const std::optional<Registration> result = db.TakeReceipt(taken);
        QCOMPARE(bool(result), found);
        if (found) {
            QCOMPARE(result->fingerprint, r.fingerprint);
        }
    }

    // A database that cannot be opened and one whose registrations table is broken give their own results;
    // the same object recovers once the database is usable again.
    void failures_data() {
        QTest::addColumn<QByteArray>("fileContent"); // "-" for no database at all
        QTest::addColumn<QStringList>("damage");     // on SQLite, and on PostgreSQL unless the next is given
        QTest::addColumn<QStringList>("pgDamage");   // "-": the row is SQLite's alone
        QTest::addColumn<bool>("afterOpen");         // damage done once the object has opened the database
        QTest::addColumn<SiteDatabase::Insert>("result");
        QTest::addColumn<bool>("readable");
        const QStringList same;
        QTest::newRow("no database") << QByteArray("-") << QStringList() << same << false
                                     << SiteDatabase::Insert::CannotOpen << false;
        QTest::newRow("not a database") << QByteArray(8192, 'x') << QStringList() << QStringList{"-"} << false
                                        << SiteDatabase::Insert::CannotOpen << false;
        QTest::newRow("table gone") << QByteArray() << QStringList{"ALTER TABLE registrations RENAME TO old"}
                                    << same << false << SiteDatabase::Insert::TableUnusable << false;
        QTest::newRow("uniqueness lost")
            << QByteArray()
            << QStringList{"ALTER TABLE registrations RENAME TO old",
                           "CREATE TABLE registrations (id INTEGER PRIMARY KEY, "
                           "fingerprint TEXT, name TEXT, owner TEXT, method TEXT, "
                           "registered_at BIGINT, token TEXT)"}
            << same << false << SiteDatabase::Insert::TableUnusable << true;
        // A check deferred to the commit makes the commit fail: its outcome counts as unknown.
        QTest::newRow("commit fails")
            << QByteArray()
            << QStringList{"CREATE TABLE parent (x TEXT PRIMARY KEY)",
                           "CREATE TABLE audit (fp TEXT REFERENCES parent (x) DEFERRABLE INITIALLY DEFERRED)",
                           "CREATE TRIGGER audited AFTER INSERT ON registrations BEGIN "
                           "INSERT INTO audit VALUES (new.fingerprint); END"}
            << QStringList{"CREATE TABLE parent (x TEXT PRIMARY KEY)",
                           "ALTER TABLE registrations ADD FOREIGN KEY (fingerprint) REFERENCES parent (x) "
                           "DEFERRABLE INITIALLY DEFERRED"}
            << false << SiteDatabase::Insert::Unknown << true;
        // A server restart breaks every open connection; the next operation opens a new one.
        QTest::newRow("connection lost")
            << QByteArray() << QStringList{"-"}
            << QStringList{"SELECT COUNT(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE datname = "
                           "current_database() AND pid <> pg_backend_pid()"}
            << true << SiteDatabase::Insert::Inserted << true;
    }
    void failures() {
        QFETCH(QByteArray, fileContent);
        QFETCH(QStringList, damage);
        QFETCH(QStringList, pgDamage);
        QFETCH(bool, afterOpen);
        QFETCH(SiteDatabase::Insert, result);
        QFETCH(bool, readable);
        if (m_cluster && !pgDamage.isEmpty()) {
            damage = pgDamage;
        }
        if (damage == QStringList{"-"}) {
            QSKIP("not a fault of this engine");
        }
        QString missing;
        if (fileContent.isEmpty()) {
            Create();
            if (!afterOpen) {
                QCOMPARE(RawSql(m_dir, damage), QString());
            }
        } else if (fileContent == "-") {
            Create();
            missing = MakeMissing();
        } else {
            QFile file(SiteDatabase::FilePath(m_dir));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(fileContent) == fileContent.size());
        }
        SiteDatabase db(m_dir);
        if (afterOpen) {
            QVERIFY(db.OpenError().isEmpty());
            QVERIFY(!RawSql(m_dir, damage).startsWith(QLatin1String("error")));
        }
        Registration r = Sample(Fingerprint(1));
        QCOMPARE(db.InsertRegistration(r), result);
        const auto kind = result == SiteDatabase::Insert::CannotOpen ? SiteDatabaseError::Kind::CannotOpen
                                                                     : SiteDatabaseError::Kind::TableUnusable;
        try {
            QCOMPARE(bool(db.FindByFingerprint(r.fingerprint)), result == SiteDatabase::Insert::Inserted);
            QVERIFY(readable);
        } catch (const SiteDatabaseError& e) {
            QVERIFY(!readable);
            QCOMPARE(e.kind(), kind);
        }
        QCOMPARE(db.OpenError().isEmpty(), result != SiteDatabase::Insert::CannotOpen);
        QCOMPARE(db.Ping(), result != SiteDatabase::Insert::CannotOpen);

        if (result == SiteDatabase::Insert::CannotOpen) {
            if (m_cluster) { // the database the folder names comes into being, empty
                QVERIFY(
                    m_cluster->sql(QStringLiteral("postgres"), QStringLiteral("CREATE DATABASE ") + missing));
            } else {
                QFile::remove(SiteDatabase::FilePath(m_dir));
                Create();
            }
            QCOMPARE(db.InsertRegistration(r), SiteDatabase::Insert::Inserted);
        }
    }

    // Over TCP the cluster asks for a password: the service never has one of its own, libpq takes it from
    // PGPASSWORD or a password file.
    void password_data() {
        if (!m_cluster)
            QSKIP("PostgreSQL only");
        QTest::addColumn<QString>("source"); // "", "PGPASSWORD" or "PGPASSFILE"
        QTest::addColumn<bool>("opens");
        QTest::newRow("no password") << "" << false;
        QTest::newRow("PGPASSWORD") << "PGPASSWORD" << true;
        QTest::newRow("password file") << "PGPASSFILE" << true;
    }
    void password() {
        QFETCH(QString, source);
        QFETCH(bool, opens);
        const QString name = m_url.section(QLatin1Char('/'), 3).section(QLatin1Char('?'), 0, 0);
        const QString url =
            QStringLiteral("postgresql://tessaro@127.0.0.1:%1/%2").arg(m_cluster->port()).arg(name);
        const QString passfile = m_tmp->filePath(QStringLiteral("pgpass"));
        QFile file(passfile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("127.0.0.1:*:*:tessaro:" + m_cluster->password().toUtf8() + '\n');
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        file.close();
        qputenv("PGPASSFILE",
                (source == QLatin1String("PGPASSFILE") ? passfile : m_tmp->filePath("none")).toUtf8());
        if (source == QLatin1String("PGPASSWORD")) {
            qputenv("PGPASSWORD", m_cluster->password().toUtf8());
        }
        QString error;
        try {
            SiteDatabase::Create(m_dir, url);
        } catch (const SiteDatabaseError& e) {
            error = QString::fromUtf8(e.what());
        }
        qunsetenv("PGPASSWORD");
        qunsetenv("PGPASSFILE");
        QVERIFY2(error.isEmpty() == opens, qPrintable(error));
        QCOMPARE(SiteDatabase::Exists(m_dir), opens);
        if (opens) {
            QFile kept(DatabaseLocation::UrlFile(m_dir));
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QVERIFY(!kept.readAll().contains(m_cluster->password().toUtf8()));
        }
    }

    // Where the database is: the URL a site folder keeps, taken apart for libpq; the refused ones say why.
    void location_data() {
        if (m_cluster)
            QSKIP("the same on every engine");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("parts"); // host|port|user|name|options, or the words of the refusal
        const char* rows[][3] = {
            {"TCP", "postgresql://tessaro@db.example.org:5433/site",
             "db.example.org|5433|tessaro|site|connect_timeout=10"},
            {"IPv6, scheme postgres", "postgres://u@[::1]/site?sslmode=verify-full",
             "::1|-1|u|site|sslmode=verify-full,connect_timeout=10"},
            {"Unix socket", "postgresql://u@/site?host=/run/postgresql&port=5432&connect_timeout=3",
             "/run/postgresql|5432|u|site|connect_timeout=3"},
            {"all defaults", "postgresql:///site", "|-1||site|connect_timeout=10"},
            {"password", "postgresql://u:secret@h/site", "holds a password"},
            {"empty password", "postgresql://u:@h/site", "holds a password"},
            {"password parameter", "postgresql://u@h/site?password=x", "PGPASSWORD"},
            {"other parameter", "postgresql://u@h/site?options=-c%20x", "not one this site takes"},
            {"quote in a value", "postgresql://u@/site?host=/a'b", "quotes"},
            {"host twice", "postgresql://u@h/site?host=/run", "host twice"},
            {"no database", "postgresql://u@h/", "names no database"},
            {"other scheme", "mysql://u@h/site", "must look like"},
            {"not a URL", "site.db", "must look like"},
        };
        for (const auto& row : rows)
            QTest::newRow(row[0]) << QString::fromUtf8(row[1]) << QString::fromUtf8(row[2]);
    }
    void location() {
        QFETCH(QString, url);
        QFETCH(QString, parts);
        try {
            const DatabaseLocation l = DatabaseLocation::FromUrl(url);
            QCOMPARE(
                QStringList({l.host, QString::number(l.port), l.user, l.name, l.options.join(',')}).join('|'),
                parts);
        } catch (const SiteDatabaseError& e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(parts), e.what());
        }
    }

    void accounts() {
        Create();
        SiteDatabase db(m_dir);
        Accounts accounts(db);
        using S = Accounts::SignIn;
        enum Op { Add, Remove, Passwd, Check };
        enum Result { Done, Refused, Ok, Wrong };
        auto run = [&](Op op, const QString& user, const QString& password) {
            try {
                if (op == Check)
                    return accounts.Check(user, password, "192.0.2.1") == S::Ok ? Ok : Wrong;
                op == Add      ? accounts.Add(user, password)
                : op == Remove ? accounts.Disable(user)
                               : accounts.SetPassword(user, password);
                return Done;
            } catch (const AccountsError&) {
                return Refused;
            }
        };
        const struct {
            Op op;
            const char* user;
            const char* password;
            Result expected;
        } steps[] = {
            {Add, "alice", "correct horse", Done},
            {Add, "bob", "battery staple", Done},
            {Add, "alice", "x", Refused},
            {Add, "", "x", Refused},
            {Add, "a\nb", "x", Refused},
            {Add, "carol", "", Refused},
            {Remove, "nobody", "", Refused},
            {Passwd, "nobody", "x", Refused},
            {Check, "alice", "correct horse", Ok},
            {Check, "alice", "Correct horse", Wrong},
            {Check, "nobody", "x", Wrong},
            {Check, "bob", "correct horse", Wrong},
            {Check, "bob", "battery staple", Ok},
            {Passwd, "alice", "new secret", Done},
            {Check, "alice", "correct horse", Wrong},
            {Check, "alice", "new secret", Ok},
            // Removing disables for good: no sign-in, no new password, and the name is never given again.
            {Remove, "alice", "", Done},
            {Check, "alice", "new secret", Wrong},
            {Passwd, "alice", "x", Refused},
            {Add, "alice", "x", Refused},
        };
        int i = 0;
        for (const auto& s : steps) {
            const Result got = run(s.op, QString::fromUtf8(s.user), QString::fromUtf8(s.password));
            QVERIFY2(got == s.expected, qPrintable(QStringLiteral("step %1 gave %2").arg(i++).arg(got)));
        }
        const QString stored = RawSql(m_dir, {"SELECT password_hash FROM users WHERE name = 'bob'"});
        QVERIFY2(stored.startsWith(QStringLiteral("$argon2id$v=19$m=19456,t=2,p=1$")), qPrintable(stored));
        QVERIFY(!stored.contains(QStringLiteral("battery")));

        // A hash below the current cost is raised at the next sign-in.
        Accounts cheap(db, {1024, 1});
        cheap.Add(QStringLiteral("carol"), QStringLiteral("pw"));
        QCOMPARE(accounts.Check(QStringLiteral("carol"), QStringLiteral("pw"), "192.0.2.4"), S::Ok);
        QVERIFY(RawSql(m_dir, {"SELECT password_hash FROM users WHERE name = 'carol'"})
                    .startsWith(QStringLiteral("$argon2id$v=19$m=19456,t=2,p=1$")));
        QCOMPARE(accounts.Check(QStringLiteral("carol"), QStringLiteral("pw"), "192.0.2.4"), S::Ok);

        // A hash that cannot be checked for want of memory is not a wrong password, and not counted as one.
        RawSql(m_dir,
               {"UPDATE users SET password_hash = '$argon2id$v=19$m=2147483648,t=2,p=1$"
                "AAAAAAAAAAAAAAAAAAAAAA$AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA' WHERE name = 'carol'"});
        QCOMPARE(accounts.Check(QStringLiteral("carol"), QStringLiteral("pw"), "192.0.2.4"), S::Unavailable);
        QCOMPARE(RawSql(m_dir, {"SELECT COUNT(*) FROM sign_in_failures WHERE client_address = '192.0.2.4'"}),
                 QStringLiteral("0;"));

        // A database that cannot be opened is not a wrong password.
        MakeMissing();
        SiteDatabase gone(m_dir);
        QCOMPARE(Accounts(gone).Check(QStringLiteral("bob"), QStringLiteral("battery staple"), "192.0.2.5"),
                 S::Unavailable);
    }

    // Sign-in attempts in time order, through two objects sharing the database as two instances would.
    void throttling() {
        Create();
        SiteDatabase first(m_dir), second(m_dir);
        qint64 offset = 0;
        for (SiteDatabase* db : {&first, &second}) {
            db->SetClock([&] { return Epoch.addMSecs(offset); });
        }
        Accounts instances[] = {Accounts(first), Accounts(second)};
        instances[0].Add(QStringLiteral("alice"), QStringLiteral("pw"));
        using S = Accounts::SignIn;
        const struct {
            qint64 at;
            int instance;
            const char* user;
            const char* password;
            const char* address;
            S expected;
        } steps[] = {
            // per (user, address): three free failures, then waits of 1 s, 2 s, ...
            {0, 0, "alice", "bad", "A", S::WrongCredentials},
            {0, 1, "alice", "bad", "A", S::WrongCredentials},
            {0, 0, "alice", "bad", "A", S::WrongCredentials},
            {0, 1, "alice", "pw", "A", S::TooManyAttempts},
            {999, 0, "alice", "pw", "A", S::TooManyAttempts},
            {0, 0, "alice", "pw", "B", S::Ok}, // another address is not held back
            {1000, 1, "alice", "bad", "A", S::WrongCredentials},
            {2999, 0, "alice", "pw", "A", S::TooManyAttempts},
            {3000, 0, "alice", "pw", "A", S::Ok}, // success clears the pair's count
            {3000, 1, "alice", "bad", "A", S::WrongCredentials},
            {3000, 0, "alice", "pw", "A", S::Ok},
            // per address: ten free failures over any names (known or not), then a wait for every name there
            {4000, 0, "alice", "x", "C", S::WrongCredentials},
            {4000, 0, "alice", "pw", "C", S::TooManyAttempts},
            {4999, 1, "u11", "x", "C", S::TooManyAttempts},
            {4999, 0, "alice", "pw", "D", S::Ok},
            {5000, 1, "alice", "pw", "C", S::Ok},
        };
        int i = 0;
        for (const auto& s : steps) {
            offset = s.at;
            // before the first failure from C, u1 to u9 each fail from there once
            for (int u = 1; u < 10 && offset == 4000 && s.expected == S::WrongCredentials; ++u) {
                QCOMPARE(instances[u % 2].Check(QStringLiteral("u%1").arg(u), "x", "C"), S::WrongCredentials);
            }
            const S got = instances[s.instance].Check(
                QString::fromUtf8(s.user), QString::fromUtf8(s.password), QString::fromUtf8(s.address));
            QVERIFY2(got == s.expected,
                     qPrintable(QStringLiteral("step %1 answered %2").arg(i).arg(int(got))));
            ++i;
        }
    }
};

class TestSiteDbPostgreSQL : public TestSiteDb {
    Q_OBJECT

public:
    explicit TestSiteDbPostgreSQL(PgCluster* cluster) : TestSiteDb(cluster) {}
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TestSiteDb sqlite;
    int failed = QTest::qExec(&sqlite, argc, argv);
    PgCluster cluster;
    TestSiteDbPostgreSQL postgresql(&cluster);
    failed += QTest::qExec(&postgresql, argc, argv);
    return failed;
}

#include "test_sitedb.moc"
