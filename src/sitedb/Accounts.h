#pragma once

#include <QString>
#include <QVariantList>
#include <QtGlobal>
#include <stdexcept>

class QSqlQuery;

class SiteDatabase;

// Cost of a new password hash: memory in KiB, passes (one lane). The default is the floor: 19 MiB, 2 passes.
struct PasswordHashCost {
    quint32 memoryKiB = 19 * 1024;
    quint32 passes = 2;
};

// A refused account change (the name is taken, was used before, is unknown...), in words a user can act on.
class AccountsError : public std::runtime_error {
public:
    explicit AccountsError(const QString& message);
};

// The site's user accounts, kept in the site database.
//
// Passwords are stored only as argon2id hashes in the encoded form
// ("$argon2id$v=19$m=...,t=...,p=...$salt$hash"), which holds the cost parameters; a sign-in that finds a
// hash below the current cost stores a new one. Hashing runs on at most one thread per processor core,
// process-wide. Names are never reused: removing an account disables it, and adding a name that was ever used
// is refused.
//
// Failed sign-ins are counted per (user, client address) and per client address, in the database (so
// instances that share it share the counts). Past a few free failures each one doubles a waiting time
// during which that pair or address is answered TooManyAttempts without hashing. A sign-in that succeeds
// clears its (user, client address) count.
//
// Like SiteDatabase, an Accounts object belongs to the thread that uses its database object.
class Accounts {
public:
    using HashCost = PasswordHashCost;

    explicit Accounts(SiteDatabase& db, HashCost cost = {});

    // These throw AccountsError when refused, SiteDatabaseError when the database fails.
    void Add(const QString& name, const QString& password);
    void Disable(const QString& name);
    void SetPassword(const QString& name, const QString& password);

    enum class SignIn { Ok, WrongCredentials, TooManyAttempts, Unavailable /* database or memory failure */ };
    // Unknown and disabled users cost a hash like any other, and answer WrongCredentials.
    SignIn Check(const QString& name, const QString& password, const QString& clientAddress);

private:
    QString Hash(const QString& password) const;
    // Runs one statement with its values bound in order; a statement that fails drops the connection and
    // throws, so the caller only reads what it returned.
    QSqlQuery Run(const QString& sql, const QVariantList& values, const QString& what);

    SiteDatabase& m_db;
    HashCost m_cost;
};
