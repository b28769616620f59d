#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <stdexcept>

class QSqlDatabase;
class QSqlQuery;

// One registration as the site stores it.
struct Registration {
    qint64 number = 0;   // set by the database on insertion
    QString fingerprint; // 40 upper-case hexadecimal digits (the caller normalises)
    QString name;        // document name
    QString owner;       // user name or certificate holder
    QString method;      // "certificate" or "password"
    QDateTime time;      // registration time, UTC, kept to the millisecond; when not set, the clock's now
    QByteArray token;    // DER time-stamp token
};

// A database failure that the site reports as a definite refusal.
class SiteDatabaseError : public std::runtime_error {
public:
    enum class Kind {
        CannotOpen,    // the database cannot be opened or read at all
        TableUnusable, // it opens, but the table that was needed cannot be used
        Unknown        // a write whose outcome cannot be known (its commit failed)
    };
    SiteDatabaseError(Kind kind, const QString& message);
    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

// Where a site's data lives: by default the SQLite file site.db in the site folder; or a PostgreSQL
// database named by a URL kept in the folder's file database.url (one line, never a password: libpq
// takes that from PGPASSWORD or ~/.pgpass).
//
// URL form: postgresql://[USER@][HOST][:PORT]/NAME[?PARAM=VALUE&...]; HOST may be a name or an IP
// address ([...] for IPv6). For a Unix socket, leave HOST out and give the socket's folder as
// ?host=/run/postgresql (as libpq does); with neither, libpq's default socket is used. Parameters
// taken: host, port, sslmode, sslrootcert, sslcert, sslkey, connect_timeout, application_name.
struct DatabaseLocation {
    enum class Engine { SQLite, PostgreSQL };
    Engine engine = Engine::SQLite;
    QString file;        // SQLite: the database file
    QString url;         // PostgreSQL: the URL as given
    QString host;        // a host, an IP address or a socket folder; empty: libpq's default
    int port = -1;       // -1: libpq's default
    QString user;        // empty: libpq's default (the system user's name)
    QString name;        // the database
    QStringList options; // further libpq settings, "key=value"

    // The location a site folder names. Throws SiteDatabaseError (CannotOpen) for a database.url that
    // cannot be read or holds no valid URL.
    static DatabaseLocation Of(const QString& siteDir);
    // Parses a PostgreSQL URL; throws SiteDatabaseError (CannotOpen) with what is wrong with it.
    static DatabaseLocation FromUrl(const QString& url);
    static QString UrlFile(const QString& siteDir); // siteDir/database.url

    QString DriverName() const; // QSQLITE or QPSQL
    // For messages: the file, or the URL.
    QString Describe() const { return engine == Engine::SQLite ? file : url; }
    // Points a connection of DriverName() at this database (no password is ever set).
    void Apply(QSqlDatabase& db) const;
};

// The site's database: SQLite (write-ahead log, every commit synced to disk) or PostgreSQL, by the
// site folder's DatabaseLocation.
//
// One object per thread: each holds its own connection, named after the object, and must be used only
// by the thread that made it. A failed operation drops the connection; the next one opens it again, so a
// lost connection or a database file that came back heals by itself. A connection that was open and fails
// the first statement of an operation (as every idle connection does after a server restart) is reopened
// and the statement tried once more, since nothing was done yet. Opening applies any pending schema
// migrations, in one transaction, under a lock that serialises every process opening the same database.
class SiteDatabase {
public:
    // Makes the site's database with every migration applied: with an empty databaseUrl a new SQLite file
    // (mode 0600; an existing file is refused); otherwise writes database.url and migrates the PostgreSQL
    // database it names, which must exist and must not hold a site's tables yet. Throws
    // SiteDatabaseError with a message a user can act on, leaving no file behind.
    static void Create(const QString& siteDir, const QString& databaseUrl = {});
    static QString FilePath(const QString& siteDir);
    // Whether the folder holds a site's database (the SQLite file or database.url).
    static bool Exists(const QString& siteDir);

    // Opens the database of the site folder. Never creates the file and never throws: a database that
    // cannot be opened now is tried again by each operation. OpenError() tells what went wrong, if anything.
    explicit SiteDatabase(const QString& siteDir);
    ~SiteDatabase();
    SiteDatabase(const SiteDatabase&) = delete;
    SiteDatabase& operator=(const SiteDatabase&) = delete;

    // Empty when the database is open and usable; otherwise, after trying to open it, why not.
    QString OpenError();
    // Whether the database answers a trivial query now (opening it again if need be).
    bool Ping();
    DatabaseLocation::Engine Engine() const { return m_location.engine; }
    enum class Insert {
        Inserted,
        Duplicate,
        CannotOpen,
        TableUnusable,
        Unknown /* commit outcome unknown */
    };
    // Inserts in one transaction that is durable on disk before this returns Inserted; sets r.number.
    // Duplicate: that fingerprint is already registered (by anyone, by either method); nothing changed.
    // When receipt is given, a receipt for the new registration is made in the same transaction and its
    // id written there (saves a second synced commit).
    Insert InsertRegistration(Registration& r, QString* receipt = nullptr);

    // These throw SiteDatabaseError on a database failure.
    std::optional<Registration> FindByFingerprint(const QString& fingerprint);
    QList<Registration> All(); // in registration order

    // Receipts: random single-use ids (128 bits from the system's random source, 32 hexadecimal digits)
    // that lead to one registration for 10 minutes. Stored in the database, so instances that share it
    // share them. TakeReceipt consumes the id whether or not it has expired.
    static constexpr qint64 ReceiptLifetimeMs = 10 * 60 * 1000;
    QString CreateReceipt(qint64 number);
    std::optional<Registration> TakeReceipt(const QString& id);

    // The clock (UTC) used for receipts and sign-in throttling; tests replace it.
    void SetClock(std::function<QDateTime()> now);
    QDateTime Now() const;

private:
    friend class Accounts;

    // The open, migrated connection, or an error describing why there is none (CannotOpen).
    QSqlDatabase Connection();
    // Connection() with a transaction begun, reopened once when a connection that was open cannot begin.
    // Throws CannotOpen.
    QSqlDatabase Begin();
    // Runs a read (which throws SiteDatabaseError on failure); when it fails on a connection that was
    // already open, runs it once more on a new one.
    void Reading(const std::function<void(QSqlDatabase&)>& read);
    // Forgets the connection after a failure, so the next operation opens it again.
    void Drop();
    // After a failed statement: drops the connection and throws TableUnusable with what failed and why.
    [[noreturn]] void DropAndThrow(QSqlQuery& q, const QString& what);
    QString NewReceiptId() const;
    bool InsertReceipt(QSqlQuery& q, const QString& id, qint64 number); // inside a transaction

    SiteDatabase(const QString& siteDir, bool mustBeNew);

    QString m_dir;
    DatabaseLocation m_location;
    bool m_mustBeNew = false; // Create(): refuse a database that already holds a site's tables
    QString m_connectionName;
    QString m_openError;
    std::function<QDateTime()> m_now;
};
