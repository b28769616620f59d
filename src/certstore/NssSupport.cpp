#include "certstore/NssSupport.h"

#include "certstore/CertLibrary.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <mutex>
#include <utility>

#include <certdb.h>
#include <keyhi.h>
#include <nss.h>
#include <prerror.h>
#include <secerr.h>
#include <secmod.h>

// utilpars.h lacks C linkage declarations of its own.
extern "C" {
#include <utilpars.h>
}

namespace nss {

namespace {

// Each database folder is opened once per process and never closed, and NSS is never shut down:
// the browser uses NSS in the same process, and a shutdown would pull the ground from under it.
std::mutex g_lock;
QHash<QString, PK11SlotInfo*> g_slots;
QString g_chosenFolder; // the database chosen in place of the user's own; empty: none

QString nssText(int code) {
    const char* text = PR_ErrorToString(code, PR_LANGUAGE_I_DEFAULT);
    const char* name = PR_ErrorToName(code);
    QString out = text && *text ? QString::fromUtf8(text) : QStringLiteral("NSS error");
    if (name)
        out += QStringLiteral(" (") + QString::fromLatin1(name) + QLatin1Char(')');
    return out;
}

// A module parameter value in single quotes, with NSS's escaping of quotes and backslashes.
QByteArray quoted(const QByteArray& value) {
    char* q = NSSUTIL_Quote(value.constData(), '\'');
    if (!q)
        return QByteArray();
    QByteArray out(q);
    PORT_Free(q);
    return out;
}

bool databaseFilesExist(const QString& folder) {
    return QFileInfo(folder + QStringLiteral("/cert9.db")).isFile() &&
           QFileInfo(folder + QStringLiteral("/key4.db")).isFile();
}

void initialiseWithoutDatabase(const QString& source) {
    if (NSS_IsInitialized())
        return;
    NSSInitContext* context =
        NSS_InitContext("", "", "", "", nullptr,
                        NSS_INIT_READONLY | NSS_INIT_NOCERTDB | NSS_INIT_NOMODDB | NSS_INIT_FORCEOPEN |
                            NSS_INIT_NOROOTINIT | NSS_INIT_OPTIMIZESPACE);
    if (!context && !NSS_IsInitialized())
        throw error(source, QStringLiteral("The certificate library cannot be initialised"),
                    CertLibError::Unavailable);
}

bool sameCert(const CERTCertificate* a, const CERTCertificate* b) {
    return SECITEM_ItemsAreEqual(&a->derCert, &b->derCert);
}

} // namespace

TSError error(const QString& source, const QString& context, qint32 fallbackNumber) {
    return error(source, context, fallbackNumber, PORT_GetError());
}

TSError error(const QString& source, const QString& context, qint32 fallbackNumber, int nssCode) {
    if (nssCode == 0)
        return TSError(fallbackNumber, source, context + QLatin1Char('.'));
    return TSError(nssCode, source, context + QStringLiteral(": ") + nssText(nssCode));
}

QString homeDatabaseFolder() {
    QString home = qEnvironmentVariable("HOME");
    if (home.isEmpty())
        home = QStringLiteral("/");
    return QDir::cleanPath(home + QStringLiteral("/.pki/nssdb"));
}

QString databaseFolder() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_chosenFolder.isEmpty() ? homeDatabaseFolder() : g_chosenFolder;
}

void useDatabase(const QString& source, const QString& location) {
    QString folder = location;
    if (folder.isEmpty()) {
        std::lock_guard<std::mutex> guard(g_lock);
        g_chosenFolder.clear();
        return;
    }
    if (folder.startsWith(QLatin1String("sql:")))
        folder.remove(0, 4);
    folder = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    if (!QFileInfo(folder).isDir())
        throw TSError(CertLibError::InvalidArgument, source,
                      QStringLiteral("The folder %1 does not exist.").arg(QDir::toNativeSeparators(folder)));
    if (!databaseFilesExist(folder))
        throw TSError(CertLibError::InvalidArgument, source,
                      QStringLiteral("The folder %1 holds no certificate database (cert9.db and key4.db).")
                          .arg(QDir::toNativeSeparators(folder)));
    const QString before = [&] {
        std::lock_guard<std::mutex> guard(g_lock);
        return std::exchange(g_chosenFolder, folder);
    }();
    if (openUserDatabase(source))
        return;
    const int code = PORT_GetError();
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_chosenFolder = before;
    }
    throw error(source,
                QStringLiteral("The certificate database in %1 cannot be opened")
                    .arg(QDir::toNativeSeparators(folder)),
                CertLibError::InvalidArgument, code);
}

SlotPtr openUserDatabase(const QString& source) {
    std::lock_guard<std::mutex> guard(g_lock);
    const QString home = homeDatabaseFolder();
    const QString folder = g_chosenFolder.isEmpty() ? home : g_chosenFolder;
    if (PK11SlotInfo* known = g_slots.value(folder))
        return SlotPtr(PK11_ReferenceSlot(known));
    PK11SlotInfo* slot = nullptr;
    if (!NSS_IsInitialized() && databaseFilesExist(home)) {
        // The first NSS user in the process: the user's own database becomes NSS's own, as the
        // browser would have it (its trust settings are the browser's), read-only so that nothing
        // here can change it; the tokens its module list names are loaded too. A database chosen
        // in its place is added below as a further slot.
        const QByteArray config = "sql:" + QFile::encodeName(home);
        if (NSS_InitContext(config.constData(), "", "", "", nullptr, NSS_INIT_READONLY) && folder == home)
            slot = PK11_GetInternalKeySlot();
    }
    initialiseWithoutDatabase(source);
    if (!databaseFilesExist(folder))
        return nullptr;
    const QByteArray config = "sql:" + QFile::encodeName(folder);
    if (!slot) {
        // NSS runs already (the browser, or a database of another HOME): add the database as a
        // further slot. NSS hands back the slot of a database already open under the same name.
        const QByteArray parameters = "configdir=" + quoted(config) + " flags=readOnly";
        slot = SECMOD_OpenUserDB(parameters.constData());
    }
    if (!slot)
        return nullptr;
    if (!PK11_IsPresent(slot)) {
        PK11_FreeSlot(slot);
        return nullptr;
    }
    g_slots.insert(folder, slot); // kept for the life of the process, like the database itself
    return SlotPtr(PK11_ReferenceSlot(slot));
}

std::vector<CertPtr> personalCertificates(const QString& source) {
    SlotPtr database = openUserDatabase(source);
    std::vector<CertPtr> out;
    CertListPtr all(PK11_ListCerts(PK11CertListUser, nullptr));
    if (!all)
        return out;
    for (CERTCertListNode* node = CERT_LIST_HEAD(all.get()); !CERT_LIST_END(node, all.get());
         node = CERT_LIST_NEXT(node)) {
        CERTCertificate* cert = node->cert;
        bool ours = false;
        if (database && PK11_FindCertInSlot(database.get(), cert, nullptr) != CK_INVALID_HANDLE)
            ours = true;
        // A hardware token that the database's module list brought in.
        if (!ours && cert->slot && !PK11_IsInternal(cert->slot))
            ours = true;
        if (!ours)
            continue;
        bool seen = false;
        for (const CertPtr& c : out)
            seen = seen || sameCert(c.get(), cert);
        if (!seen)
            out.emplace_back(CERT_DupCertificate(cert));
    }
    return out;
}

bool fitForSigning(const CERTCertificate* cert) {
    if (CERT_CheckCertValidTimes(cert, PR_Now(), PR_FALSE) != secCertTimeValid)
        return false;
    if (cert->keyUsagePresent && (cert->rawKeyUsage & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) == 0)
        return false;
    return true;
}

} // namespace nss
