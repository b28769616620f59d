#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
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

// The site's database: one file in the site folder (SQLite, write-ahead log, every commit synced to disk).
//
// One object per thread: each holds its own connection, named after the object, and must be used only
// by the thread that made it. A failed operation drops the connection; the next one opens it again, so a
// lost connection or a database file that came back heals by itself. Opening applies any pending schema
// migrations, in one transaction, under the database's write lock.
class SiteDatabase {
public:
    // Makes a new database file (mode 0600) with every migration applied; refuses an existing file.
    // Throws SiteDatabaseError with a message a user can act on.
    static void Create(const QString& siteDir);
    static QString FilePath(const QString& siteDir);

    // Opens the database of the site folder. Never creates the file and never throws: a database that
    // cannot be opened now is tried again by each operation. OpenError() tells what went wrong, if anything.
    explicit SiteDatabase(const QString& siteDir);
    ~SiteDatabase();
    SiteDatabase(const SiteDatabase&) = delete;
    SiteDatabase& operator=(const SiteDatabase&) = delete;

    // Empty when the database is open and usable; otherwise, after trying to open it, why not.
    QString OpenError();

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
    // Forgets the connection after a failure, so the next operation opens it again.
    void Drop();
    // After a failed statement: drops the connection and throws TableUnusable with what failed and why.
    [[noreturn]] void DropAndThrow(QSqlQuery& q, const QString& what);
    QString NewReceiptId() const;
    bool InsertReceipt(QSqlQuery& q, const QString& id, qint64 number); // inside a transaction

    QString m_dir;
    QString m_connectionName;
    QString m_openError;
    std::function<QDateTime()> m_now;
};
