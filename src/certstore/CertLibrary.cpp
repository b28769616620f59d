#include "certstore/CertLibrary.h"

#include "certstore/CmsMessage.h"
#include "certstore/NssSupport.h"
#include "crypto/Encodings.h"
#include "crypto/TSCrypt.h"

#include <QCryptographicHash>
#include <QDir>
#include <algorithm>
#include <atomic>

#include <secerr.h>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

std::atomic<bool> g_promptForCertificate{false};

const QString kCertificate = QStringLiteral("Certificate");
const QString kStore = QStringLiteral("Store");
const QString kAttribute = QStringLiteral("Attribute");
const QString kSignedData = QStringLiteral("SignedData");

TSError badIndex(const QString& source, qint32 index, qsizetype count) {
    return TSError(CertLibError::IndexOutOfRange, source,
                   QStringLiteral("Index %1 is out of range: there are %2 items.").arg(index).arg(count));
}

struct X509Deleter {
    void operator()(X509* x) const { X509_free(x); }
};

QString nameText(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return QString();
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    QString out = QString::fromUtf8(data, static_cast<qsizetype>(size));
    BIO_free(bio);
    return out;
}

// The most specific common name of a name.
QString commonName(const X509_NAME* name) {
    int last = -1;
    for (int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(name, NID_commonName, i))
        last = i;
    if (last < 0)
        return QString();
    unsigned char* utf8 = nullptr;
    const int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, last)));
    if (len < 0)
        return QString();
    QString out = QString::fromUtf8(reinterpret_cast<const char*>(utf8), len);
    OPENSSL_free(utf8);
    return out;
}

Certificate fromNss(const CERTCertificate* cert) {
    return Certificate(nss::bytes(cert->derCert));
}

void requireUserInterface(bool bAnswerable, const QString& what) {
    if (!bAnswerable)
        throw TSError(CertLibError::NoUserInterface, kSignedData,
                      QStringLiteral("%1 needs the user, but the program has no user interface.").arg(what));
}

std::vector<nss::CertPtr> sortedForChoice(std::vector<nss::CertPtr> certs) {
    std::stable_sort(certs.begin(), certs.end(), [](const nss::CertPtr& a, const nss::CertPtr& b) {
        const Certificate ca = fromNss(a.get()), cb = fromNss(b.get());
        const int byName = QString::localeAwareCompare(ca.CommonName(), cb.CommonName());
        return byName != 0 ? byName < 0 : ca.Thumbprint() < cb.Thumbprint();
    });
    return certs;
}

// The certificate to sign with: the signer's own, or the one fit certificate of the store, or
// the user's choice among several.
nss::CertPtr chooseCertificate(const Signer& signer, const SigningPrompts& prompts) {
    std::vector<nss::CertPtr> personal = nss::personalCertificates(kSignedData);
    const Certificate wanted = signer.Certificate();
    if (!wanted.isNull()) {
        for (nss::CertPtr& c : personal) {
            if (fromNss(c.get()) == wanted) {
                if (!nss::fitForSigning(c.get()))
                    throw TSError(
                        CertLibError::NoCertificate, kSignedData,
                        QStringLiteral("The signer's certificate cannot sign: it is not valid today, or "
                                       "its key usage does not allow signing."));
                return std::move(c);
            }
        }
        throw TSError(CertLibError::NoCertificate, kSignedData,
                      QStringLiteral("The signer's certificate is not one of your personal certificates."));
    }

    std::vector<nss::CertPtr> fit;
    for (nss::CertPtr& c : personal)
        if (nss::fitForSigning(c.get()))
            fit.push_back(std::move(c));
    if (fit.empty())
        throw TSError(
            CertLibError::NoCertificate, kSignedData,
            QStringLiteral("No certificate fit for signing was found. Signing needs a personal "
                           "certificate with its private key that is valid today and whose key usage "
                           "allows signing."));
    if (fit.size() == 1)
        return std::move(fit.front());
    if (!g_promptForCertificate)
        throw TSError(
            CertLibError::ChoiceNotAllowed, kSignedData,
            QStringLiteral("Several certificates can sign, and asking which one to use is not enabled."));
    requireUserInterface(bool(prompts.chooseCertificate), QStringLiteral("Choosing a certificate"));

    fit = sortedForChoice(std::move(fit));
    QList<Certificate> shown;
    for (const nss::CertPtr& c : fit)
        shown.append(fromNss(c.get()));
    const std::optional<qsizetype> row = prompts.chooseCertificate(shown);
    if (!row || *row < 0 || *row >= shown.size())
        throw TSError(CertLibError::Cancelled, kSignedData,
                      QStringLiteral("The choice of a certificate was cancelled."));
    return std::move(fit[static_cast<size_t>(*row)]);
}

bool tryPassword(PK11SlotInfo* slot, const QByteArray& password) {
    PORT_SetError(0);
    if (PK11_CheckUserPassword(slot, password.constData()) == SECSuccess)
        return true;
    const int code = PORT_GetError();
    if (code != SEC_ERROR_BAD_PASSWORD)
        throw nss::error(kSignedData, QStringLiteral("The certificate database cannot be unlocked"),
                         CertLibError::Cancelled, code);
    return false;
}

// Asks for the slot's password until it is right; returns it for other slots of the same
// database (the browser may have it open as a slot of its own).
QByteArray askPassword(PK11SlotInfo* slot, const QString& label, const SigningPrompts& prompts) {
    requireUserInterface(bool(prompts.askPassword), QStringLiteral("Unlocking the certificate database"));
    for (bool retry = false;; retry = true) {
        std::optional<QString> typed = prompts.askPassword(label, retry);
        if (!typed)
            throw TSError(CertLibError::Cancelled, kSignedData,
                          QStringLiteral("Unlocking the certificate database was cancelled."));
        QByteArray password = typed->toUtf8();
        typed->fill(QChar(0));
        if (tryPassword(slot, password))
            return password;
        password.fill('\0');
    }
}

// Logs in to every token holding the certificate that needs it, asking the user, so that NSS
// never falls back to a password callback that someone else in the process installed.
void unlockTokens(CERTCertificate* cert, const SigningPrompts& prompts) {
    nss::SlotPtr database = nss::openUserDatabase(kSignedData);
    PK11SlotList* slots = PK11_GetAllSlotsForCert(cert, nullptr);
    if (!slots)
        return;
    QByteArray known;
    try {
        for (PK11SlotListElement* e = PK11_GetFirstSafe(slots); e; e = PK11_GetNextSafe(slots, e, PR_FALSE)) {
            if (!PK11_NeedLogin(e->slot) || PK11_IsLoggedIn(e->slot, nullptr))
                continue;
            if (!known.isNull() && tryPassword(e->slot, known))
                continue;
            const QString label = e->slot == database.get() || PK11_IsInternal(e->slot)
                                      ? QStringLiteral("your certificate database (%1)")
                                            .arg(QDir::toNativeSeparators(nss::databaseFolder()))
                                      : QStringLiteral("the token \"%1\"")
                                            .arg(QString::fromUtf8(PK11_GetTokenName(e->slot)).trimmed());
            known.fill('\0');
            known = askPassword(e->slot, label, prompts);
        }
    } catch (...) {
        known.fill('\0');
        PK11_FreeSlotList(slots);
        throw;
    }
    known.fill('\0');
    PK11_FreeSlotList(slots);
}

} // namespace

// ---- Settings

void Settings::EnsureAvailable() {
    // Opening the user's database initialises NSS, without a database where there is none.
    nss::openUserDatabase(QStringLiteral("Settings"));
}

void Settings::UseDatabase(const QString& location) {
    nss::useDatabase(QStringLiteral("Settings"), location);
}

bool Settings::EnablePromptForCertificateUI() const {
    return g_promptForCertificate;
}

void Settings::setEnablePromptForCertificateUI(bool bEnable) {
    g_promptForCertificate = bEnable;
}

// ---- Certificate

Certificate::Certificate() = default;

Certificate::Certificate(const QByteArray& der) {
    const auto* begin = reinterpret_cast<const unsigned char*>(der.constData());
    const unsigned char* p = begin;
    std::unique_ptr<X509, X509Deleter> cert(
        der.isEmpty() ? nullptr : d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    ERR_clear_error();
    if (!cert || p != begin + der.size())
        throw TSError(CertLibError::InvalidArgument, kCertificate,
                      QStringLiteral("The data is not a certificate."));
    m_der = der;
    m_subject = nameText(X509_get_subject_name(cert.get()));
    m_issuer = nameText(X509_get_issuer_name(cert.get()));
    m_commonName = commonName(X509_get_subject_name(cert.get()));
    if (m_commonName.isEmpty())
        m_commonName = m_subject;
    m_issuerCommonName = commonName(X509_get_issuer_name(cert.get()));
    if (m_issuerCommonName.isEmpty())
        m_issuerCommonName = m_issuer;
    if (STACK_OF(OPENSSL_STRING)* emails = X509_get1_email(cert.get())) {
        if (sk_OPENSSL_STRING_num(emails) > 0)
            m_email = QString::fromUtf8(sk_OPENSSL_STRING_value(emails, 0));
        X509_email_free(emails);
    }
    if (BIGNUM* serial = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert.get()), nullptr)) {
        if (char* hex = BN_bn2hex(serial)) {
            m_serial = QString::fromLatin1(hex);
            OPENSSL_free(hex);
        }
        BN_free(serial);
    }
    m_validFrom = Asn1TimeUtc(X509_get0_notBefore(cert.get())).toLocalTime();
    m_validTo = Asn1TimeUtc(X509_get0_notAfter(cert.get())).toLocalTime();
    ERR_clear_error();
}

bool Certificate::isNull() const {
    return m_der.isEmpty();
}
QByteArray Certificate::Export() const {
    return m_der;
}
QString Certificate::SubjectName() const {
    return m_subject;
}
QString Certificate::IssuerName() const {
    return m_issuer;
}
QString Certificate::CommonName() const {
    return m_commonName;
}
QString Certificate::IssuerCommonName() const {
    return m_issuerCommonName;
}
QString Certificate::EmailAddress() const {
    return m_email;
}
QString Certificate::SerialNumber() const {
    return m_serial;
}
QString Certificate::Thumbprint() const {
    return QString::fromLatin1(QCryptographicHash::hash(m_der, QCryptographicHash::Sha1).toHex().toUpper());
}
QDateTime Certificate::ValidFromDate() const {
    return m_validFrom;
}
QDateTime Certificate::ValidToDate() const {
    return m_validTo;
}

qint32 Certificates::Count() const {
    return static_cast<qint32>(m_items.size());
}

Certificate Certificates::Item(qint32 lIndex) const {
    if (lIndex < 1 || lIndex > m_items.size())
        throw badIndex(QStringLiteral("Certificates"), lIndex, m_items.size());
    return m_items[lIndex - 1];
}

// ---- Store

void Store::Open(qint32 lStoreLocation, const QString& sStoreName, qint32 lOpenMode) {
    if (lStoreLocation != CurrentUserStore)
        throw TSError(
            CertLibError::InvalidArgument, kStore,
            QStringLiteral("Store location %1 is not available: only the current user's stores (2) are.")
                .arg(lStoreLocation));
    if (sStoreName.compare(QLatin1String("MY"), Qt::CaseInsensitive) != 0)
        throw TSError(CertLibError::InvalidArgument, kStore,
                      QStringLiteral("The store \"%1\" is not available: only the personal store \"MY\" is.")
                          .arg(sStoreName));
    if (lOpenMode != OpenReadOnly)
        throw TSError(CertLibError::InvalidArgument, kStore,
                      QStringLiteral("The store can only be opened read-only (mode 0)."));
    ::Certificates found;
    for (const nss::CertPtr& c : nss::personalCertificates(kStore))
        found.append(fromNss(c.get()));
    m_certificates = found;
}

::Certificates Store::Certificates() const {
    return m_certificates;
}

// ---- Attribute(s)

qint32 Attribute::Name() const {
    return m_name;
}

void Attribute::setName(qint32 lName) {
    if (lName != SigningTime && lName != DocumentName)
        throw TSError(
            CertLibError::InvalidArgument, kAttribute,
            QStringLiteral("Attribute name %1 is not supported: use 0 (signing time) or 1 (document name).")
                .arg(lName));
    m_name = lName;
}

QVariant Attribute::Value() const {
    return m_value;
}

void Attribute::setValue(const QVariant& vValue) {
    m_value = vValue;
}

qint32 Attributes::Count() const {
    return static_cast<qint32>(m_items.size());
}

Attribute Attributes::Item(qint32 lIndex) const {
    if (lIndex < 1 || lIndex > m_items.size())
        throw badIndex(QStringLiteral("Attributes"), lIndex, m_items.size());
    return m_items[lIndex - 1];
}

void Attributes::Add(const Attribute& attribute) {
    const QString source = QStringLiteral("Attributes");
    switch (attribute.Name()) {
    case Attribute::SigningTime:
        if (attribute.Value().metaType().id() != QMetaType::QDateTime ||
            !attribute.Value().toDateTime().isValid())
            throw TSError(
                CertLibError::InvalidArgument, source,
                QStringLiteral("The signing time attribute needs a valid date and time as its value."));
        break;
    case Attribute::DocumentName:
        if (!attribute.Value().isValid() || !attribute.Value().canConvert<QString>())
            throw TSError(CertLibError::InvalidArgument, source,
                          QStringLiteral("The document name attribute needs a text as its value."));
        break;
    default:
        throw TSError(CertLibError::InvalidArgument, source, QStringLiteral("The attribute has no name."));
    }
    for (const Attribute& a : m_items)
        if (a.Name() == attribute.Name())
            throw TSError(CertLibError::InvalidArgument, source,
                          QStringLiteral("An attribute of that name is already there."));
    m_items.append(attribute);
}

void Attributes::Remove(qint32 lIndex) {
    if (lIndex < 1 || lIndex > m_items.size())
        throw badIndex(QStringLiteral("Attributes"), lIndex, m_items.size());
    m_items.removeAt(lIndex - 1);
}

void Attributes::Clear() {
    m_items.clear();
}

// ---- Signers

qint32 Signers::Count() const {
    return static_cast<qint32>(m_items.size());
}

Signer Signers::Item(qint32 lIndex) const {
    if (lIndex < 1 || lIndex > m_items.size())
        throw badIndex(QStringLiteral("Signers"), lIndex, m_items.size());
    return m_items[lIndex - 1];
}

// ---- SignedData

void SignedData::setContent(const QString& sContent) {
    m_content = sContent;
    m_signers = ::Signers();
}

QString SignedData::Content() const {
    return m_content;
}

::Signers SignedData::Signers() const {
    return m_signers;
}

QString SignedData::Sign(const Signer& signer, bool bDetached, qint32 lEncodingType) {
    if (bDetached)
        throw TSError(
            CertLibError::InvalidArgument, kSignedData,
            QStringLiteral("Detached signatures are not supported: the content is always embedded."));
    if (lEncodingType != EncodeBase64)
        throw TSError(
            CertLibError::InvalidArgument, kSignedData,
            QStringLiteral("Encoding type %1 is not supported: use 0 (Base64).").arg(lEncodingType));
    if (m_content.isEmpty())
        throw TSError(CertLibError::InvalidArgument, kSignedData,
                      QStringLiteral("There is no content to sign."));

    QList<cms::SignedAttribute> attributes;
    const ::Attributes& given = signer.AuthenticatedAttributes();
    for (qint32 i = 1; i <= given.Count(); ++i) {
        const Attribute a = given.Item(i);
        if (a.Name() == Attribute::SigningTime)
            attributes.append({cms::SignedAttribute::SigningTime, a.Value().toDateTime(), QString()});
        else
            attributes.append({cms::SignedAttribute::DocumentName, QDateTime(), a.Value().toString()});
    }

    nss::CertPtr cert = chooseCertificate(signer, m_prompts);
    unlockTokens(cert.get(), m_prompts);

    const QByteArray der = cms::sign(cert.get(), Utf16LeBytes(m_content), attributes, kSignedData);
    return TSCrypt().Base64EncodeBinary(der);
}

void SignedData::Verify(const QString& sSignedMessage, bool bDetached, qint32 lVerifyFlag) {
    m_content.clear();
    m_signers = ::Signers();
    if (bDetached)
        throw TSError(CertLibError::InvalidArgument, kSignedData,
                      QStringLiteral("Detached signatures are not supported: the content must be embedded."));
    if (lVerifyFlag != VerifySignatureOnly)
        throw TSError(
            CertLibError::InvalidArgument, kSignedData,
            QStringLiteral("Verify flag %1 is not supported: use 0 (signature only).").arg(lVerifyFlag));
    QByteArray der;
    try {
        der = TSCrypt().Base64DecodeToBinary(sSignedMessage);
    } catch (const TSError& e) {
        throw TSError(CertLibError::NotBase64, kSignedData,
                      QStringLiteral("The signed message is not Base64 text (%1).").arg(e.description()));
    }
    const cms::Verified verified = cms::verify(der, kSignedData);
    ::Signers signers;
    for (const cms::VerifiedSigner& v : verified.signers) {
        Signer s;
        s.setCertificate(Certificate(v.certificate));
        // The attributes the program signs, in the order it adds them: time, then name.
        if (v.time) {
            Attribute a;
            a.setName(Attribute::SigningTime);
            a.setValue(*v.time);
            s.AuthenticatedAttributes().Add(a);
        }
        if (v.name) {
            Attribute a;
            a.setName(Attribute::DocumentName);
            a.setValue(*v.name);
            s.AuthenticatedAttributes().Add(a);
        }
        signers.append(s);
    }
    m_content = cms::contentText(verified.content);
    m_signers = signers;
}

QString SignWithTimeAndName(const QString& sContent, const QDateTime& signingTime,
                            const QString& sDocumentName, const SigningPrompts& prompts) {
    Attribute time;
    time.setName(Attribute::SigningTime);
    time.setValue(signingTime);
    Attribute name;
    name.setName(Attribute::DocumentName);
    name.setValue(sDocumentName);
    Signer signer;
    signer.AuthenticatedAttributes().Add(time);
    signer.AuthenticatedAttributes().Add(name);
    SignedData signedData;
    signedData.setContent(sContent);
    signedData.setPrompts(prompts);
    return signedData.Sign(signer, false, SignedData::EncodeBase64);
}
