#pragma once

// NSS plumbing of the certificate library: initialisation next to other NSS users in the same
// process (Qt WebEngine), the user's database and its personal certificates, error conversion
// and owning handles. Internal to the certificate store.

#include "crypto/TSError.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <vector>

#include <cert.h>
#include <pk11pub.h>
#include <secitem.h>

namespace nss {

struct CertDeleter {
    void operator()(CERTCertificate* c) const { CERT_DestroyCertificate(c); }
};
struct SlotDeleter {
    void operator()(PK11SlotInfo* s) const { PK11_FreeSlot(s); }
};
struct CertListDeleter {
    void operator()(CERTCertList* l) const { CERT_DestroyCertList(l); }
};
struct ArenaDeleter {
    void operator()(PLArenaPool* a) const { PORT_FreeArena(a, PR_FALSE); }
};
using CertPtr = std::unique_ptr<CERTCertificate, CertDeleter>;
using SlotPtr = std::unique_ptr<PK11SlotInfo, SlotDeleter>;
using CertListPtr = std::unique_ptr<CERTCertList, CertListDeleter>;
using ArenaPtr = std::unique_ptr<PLArenaPool, ArenaDeleter>;

// A TSError for an NSS failure: NSS's error code as the number, and the context followed by
// NSS's text and the code's name as the description. Without a pending NSS error code the
// number is fallbackNumber.
TSError error(const QString& source, const QString& context, qint32 fallbackNumber);
TSError error(const QString& source, const QString& context, qint32 fallbackNumber, int nssCode);

// The user's own database folder: $HOME/.pki/nssdb ("/" standing in for an unset HOME).
QString homeDatabaseFolder();
// The database folder in use: the one chosen by useDatabase, else the user's own.
QString databaseFolder();

// Uses the database at location (a folder, or "sql:" and a folder) for personal certificates in
// place of the user's own from now on, and opens it; an empty location goes back to the user's
// own. Throws a TSError, and keeps the database in use as it was, when the folder or its
// database files are missing or NSS cannot open them.
void useDatabase(const QString& source, const QString& location);

// Opens the database in use read-only (once per folder and process; never closed) and returns
// its slot, or null when the database is missing or unusable. Initialises NSS, without a
// database when none can be opened; throws a TSError when NSS cannot be initialised at all.
SlotPtr openUserDatabase(const QString& source);

// The personal certificates: those in the user's database, or on an external token, that have
// a private key. Each certificate once.
std::vector<CertPtr> personalCertificates(const QString& source);

// Whether a certificate may sign now: within its validity period, and a key usage, if it has
// one, that allows digital signatures or non-repudiation.
bool fitForSigning(const CERTCertificate* cert);

inline SECItem item(const QByteArray& bytes) {
    SECItem i;
    i.type = siBuffer;
    i.data = reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.constData()));
    i.len = static_cast<unsigned int>(bytes.size());
    return i;
}

inline QByteArray bytes(const SECItem& i) {
    return QByteArray(reinterpret_cast<const char*>(i.data), static_cast<qsizetype>(i.len));
}

} // namespace nss
