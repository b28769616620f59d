#include "sitedb/Accounts.h"

#include "sitedb/SiteDatabase.h"
#include "sitedb/SqlSupport.h"
#include "sitedb/SystemRandom.h"

#include <QRegularExpression>
#include <QSemaphore>
#include <QSqlQuery>
#include <QStringList>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <argon2.h>
#include <string.h>
#include <string>

namespace {

constexpr quint32 SaltBytes = 16;
constexpr quint32 HashBytes = 32;

// Waiting times after failed sign-ins: the first few failures are free, then each one doubles the wait,
// up to a ceiling. An address (many users behind one gateway) gets more free failures than one user there.
// A count not added to for a day starts again.
constexpr int FreePairFailures = 3;
constexpr int FreeAddressFailures = 10;
constexpr qint64 FirstDelayMs = 1000;
constexpr qint64 LongestDelayMs = 15 * 60 * 1000;
constexpr qint64 ForgetAfterMs = 24 * 60 * 60 * 1000;

qint64 DelayMs(qint64 failures, int free) {
    if (failures < free) {
        return 0;
    }
    return std::min(LongestDelayMs, FirstDelayMs << std::min<qint64>(failures - free, 20));
}

// At most one hash at a time per processor core, for the whole process: each takes ~20 MiB and a core.
class HashingSlot {
public:
    HashingSlot() { Slots().acquire(); }
    ~HashingSlot() { Slots().release(); }

private:
    static QSemaphore& Slots() {
        static QSemaphore slots(std::max(1, QThread::idealThreadCount()));
        return slots;
    }
};

// The password as UTF-8, wiped from memory when done.
class Secret {
public:
    explicit Secret(const QString& password) : m_bytes(password.toUtf8()) {}
    ~Secret() { explicit_bzero(m_bytes.data(), size_t(m_bytes.size())); }
    const char* data() const { return m_bytes.constData(); }
    size_t size() const { return size_t(m_bytes.size()); }

private:
    QByteArray m_bytes;
};

// ARGON2_OK when the password matches; ARGON2_MEMORY_ALLOCATION_ERROR when it could not be checked now.
int Verify(const QString& encoded, const QString& password) {
    const Secret secret(password);
    const QByteArray hash = encoded.toLatin1();
    HashingSlot slot;
    return argon2id_verify(hash.constData(), secret.data(), secret.size());
}

// The cost parameters held in an encoded hash; {0, 0} when it is not an argon2id hash.
Accounts::HashCost CostOf(const QString& encoded) {
    static const QRegularExpression form(QStringLiteral("^\\$argon2id\\$v=19\\$m=(\\d+),t=(\\d+),p=1\\$"));
    const QRegularExpressionMatch m = form.match(encoded);
    if (!m.hasMatch()) {
        return {0, 0};
    }
    return {m.captured(1).toUInt(), m.captured(2).toUInt()};
}

// A well-formed hash of the given cost that no password matches: verifying against it costs what a real
// verification costs, so an unknown or disabled user cannot be told from a wrong password by timing.
QString DummyHash(const Accounts::HashCost& cost) {
    return QStringLiteral("$argon2id$v=19$m=%1,t=%2,p=1$%3$%4")
        .arg(cost.memoryKiB)
        .arg(cost.passes)
        .arg(QString::fromLatin1(QByteArray(SaltBytes, '\0').toBase64(QByteArray::OmitTrailingEquals)))
        .arg(QString::fromLatin1(QByteArray(HashBytes, '\0').toBase64(QByteArray::OmitTrailingEquals)));
}

void CheckName(const QString& name) {
    static const QRegularExpression control(QStringLiteral("[\\x{0}-\\x{1f}\\x{7f}]"));
    if (name.isEmpty() || name.size() > 256 || control.match(name).hasMatch()) {
        throw AccountsError(
            QStringLiteral("A user name must be 1 to 256 characters without control characters."));
    }
}

void CheckPassword(const QString& password) {
    if (password.isEmpty()) {
        throw AccountsError(QStringLiteral("The password is empty."));
    }
}

} // namespace

AccountsError::AccountsError(const QString& message) : std::runtime_error(message.toStdString()) {}

Accounts::Accounts(SiteDatabase& db, HashCost cost) : m_db(db), m_cost(cost) {}

QString Accounts::Hash(const QString& password) const {
    const QByteArray salt = SystemRandomBytes(SaltBytes);
    const Secret secret(password);
    std::string encoded(
        argon2_encodedlen(m_cost.passes, m_cost.memoryKiB, 1, SaltBytes, HashBytes, Argon2_id), '\0');
    int rc;
    {
        HashingSlot slot;
        rc = argon2id_hash_encoded(m_cost.passes, m_cost.memoryKiB, 1, secret.data(), secret.size(),
                                   salt.constData(), SaltBytes, HashBytes, encoded.data(), encoded.size());
    }
    if (rc != ARGON2_OK) {
        throw SiteDatabaseError(
            SiteDatabaseError::Kind::Unknown,
            QStringLiteral("password hashing failed: %1").arg(QString::fromLatin1(argon2_error_message(rc))));
    }
    return QString::fromLatin1(encoded.c_str());
}

QSqlQuery Accounts::Run(const QString& sql, const QVariantList& values, const QString& what) {
    QSqlQuery q(m_db.Connection());
    q.prepare(sql);
    for (const QVariant& value : values) {
        q.addBindValue(value);
    }
    if (!q.exec()) {
        m_db.DropAndThrow(q, what);
    }
    return q;
}

void Accounts::Add(const QString& name, const QString& password) {
    CheckName(name);
    CheckPassword(password);
    const QString hash = Hash(password);
    QSqlQuery q = Run(QStringLiteral("INSERT INTO users (name, password_hash, created_at) VALUES (?, ?, ?) "
                                     "ON CONFLICT (name) DO NOTHING RETURNING name"),
                      {name, hash, m_db.Now().toMSecsSinceEpoch()}, QStringLiteral("cannot add the user"));
    if (q.next()) {
        return;
    }
    q.finish();
    q.prepare(QStringLiteral("SELECT disabled_at FROM users WHERE name = ?"));
    q.addBindValue(name);
    const bool disabled = q.exec() && q.next() && !q.value(0).isNull();
    throw AccountsError(disabled
                            ? QStringLiteral("The name \"%1\" belonged to a removed user; names are never "
                                             "used again. Choose another name.")
                                  .arg(name)
                            : QStringLiteral("A user named \"%1\" already exists.").arg(name));
}

void Accounts::Disable(const QString& name) {
    QSqlQuery q = Run(QStringLiteral("UPDATE users SET disabled_at = COALESCE(disabled_at, ?) WHERE name = ? "
                                     "RETURNING name"),
                      {m_db.Now().toMSecsSinceEpoch(), name}, QStringLiteral("cannot remove the user"));
    if (!q.next()) {
        throw AccountsError(QStringLiteral("There is no user named \"%1\".").arg(name));
    }
}

void Accounts::SetPassword(const QString& name, const QString& password) {
    CheckPassword(password);
    const QString hash = Hash(password);
    QSqlQuery q =
        Run(QStringLiteral("UPDATE users SET password_hash = ? WHERE name = ? AND disabled_at IS NULL "
                           "RETURNING name"),
            {hash, name}, QStringLiteral("cannot change the password"));
    if (!q.next()) {
        throw AccountsError(
            QStringLiteral("There is no user named \"%1\", or that user was removed.").arg(name));
    }
}

Accounts::SignIn Accounts::Check(const QString& name, const QString& password, const QString& clientAddress) {
    const QString address =
        clientAddress.isNull() ? QStringLiteral("") : clientAddress; // never bound as NULL
    const qint64 now = m_db.Now().toMSecsSinceEpoch();
    // Throttling comes first and costs no hash.
    bool pairFailed = false, throttled = false;
    QSqlDatabase db;
    try {
        m_db.Reading([&](QSqlDatabase& connection) {
            db = connection;
            pairFailed = throttled = false;
            QSqlQuery q(db);
            q.prepare(QStringLiteral("SELECT user_name, failures, last_failure FROM sign_in_failures "
                                     "WHERE client_address = ? AND user_name IN (?, '')"));
            q.addBindValue(address);
            q.addBindValue(name);
            if (!q.exec()) {
                m_db.DropAndThrow(q, QStringLiteral("cannot read sign-in failures"));
            }
            while (q.next()) {
                const bool pair = !q.value(0).toString().isEmpty();
                pairFailed = pairFailed || pair;
                throttled = throttled || now < q.value(2).toLongLong() +
                                                   DelayMs(q.value(1).toLongLong(),
                                                           pair ? FreePairFailures : FreeAddressFailures);
            }
        });
    } catch (const SiteDatabaseError&) {
        return SignIn::Unavailable;
    }
    if (throttled) {
        return SignIn::TooManyAttempts;
    }

    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT password_hash FROM users WHERE name = ? AND disabled_at IS NULL"));
    q.addBindValue(name);
    if (!q.exec()) {
        m_db.Drop();
        return SignIn::Unavailable;
    }
    const std::optional<QString> stored = q.next() ? std::optional(q.value(0).toString()) : std::nullopt;
    q.finish();

    const int verified = Verify(stored.value_or(DummyHash(m_cost)), password);
    if (verified == ARGON2_MEMORY_ALLOCATION_ERROR) {
        return SignIn::Unavailable; // not the user's fault: not counted as a failure
    }
    if (verified == ARGON2_OK && stored) {
        if (pairFailed) {
            q.prepare(
                QStringLiteral("DELETE FROM sign_in_failures WHERE user_name = ? AND client_address = ?"));
            q.addBindValue(name);
            q.addBindValue(address);
            q.exec();
        }
        const HashCost cost = CostOf(*stored);
        if (cost.memoryKiB < m_cost.memoryKiB || cost.passes < m_cost.passes) {
            // Raise the stored cost to the current one, unless the password was changed meanwhile.
            try {
                const QString raised = Hash(password);
                q.prepare(QStringLiteral(
                    "UPDATE users SET password_hash = ? WHERE name = ? AND password_hash = ?"));
                q.addBindValue(raised);
                q.addBindValue(name);
                q.addBindValue(*stored);
                q.exec();
            } catch (const SiteDatabaseError&) {
                // the old hash stays; the next sign-in tries again
            }
        }
        return SignIn::Ok;
    }

    // Count the failure for the pair and for the address; forget counts that have been quiet for a day.
    if (BeginWrite(db)) {
        bool ok = true;
        // The address's own count has the empty user name; an empty name is counted by the address alone.
        QStringList users{QStringLiteral("")};
        if (!name.isEmpty()) {
            users.prepend(name);
        }
        for (const QString& user : users) {
            q.prepare(QStringLiteral(
                "INSERT INTO sign_in_failures (user_name, client_address, failures, last_failure) "
                "VALUES (?, ?, 1, ?) ON CONFLICT (user_name, client_address) DO UPDATE SET "
                "failures = CASE WHEN sign_in_failures.last_failure < ? THEN 1 "
                "ELSE sign_in_failures.failures + 1 END, last_failure = excluded.last_failure"));
            q.addBindValue(user);
            q.addBindValue(address);
            q.addBindValue(now);
            q.addBindValue(now - ForgetAfterMs);
            ok = ok && q.exec();
        }
        q.prepare(QStringLiteral("DELETE FROM sign_in_failures WHERE last_failure < ?"));
        q.addBindValue(now - ForgetAfterMs);
        ok = ok && q.exec();
        q.finish();
        if (!ok || !db.commit()) {
            m_db.Drop();
        }
    } else {
        m_db.Drop();
    }
    return SignIn::WrongCredentials;
}
