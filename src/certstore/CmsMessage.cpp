#include "certstore/CmsMessage.h"

#include "certstore/CertLibrary.h"
#include "certstore/NssSupport.h"
#include "crypto/Encodings.h"

#include <cstring>
#include <memory>

#include <cms.h>
#include <secasn1.h>
#include <secoid.h>

#include <openssl/cms.h>
#include <openssl/objects.h>

namespace cms {

namespace {

struct ObjectDeleter {
    void operator()(ASN1_OBJECT* o) const { ASN1_OBJECT_free(o); }
};

struct MessageDeleter {
    void operator()(NSSCMSMessage* m) const { NSS_CMSMessage_Destroy(m); }
};
using MessagePtr = std::unique_ptr<NSSCMSMessage, MessageDeleter>;

// NSS offers no public way to add an attribute of its own type to a signer, so the attribute
// is built in the message's arena and appended to the (null-terminated) array by hand. Its
// value is given already encoded, which NSS copies into the message as it stands.
void addDocumentName(NSSCMSSignerInfo* si, const QString& name, const QString& source) {
    PLArenaPool* pool = si->cmsg->poolp;
    const QByteArray text = Utf16LeBytes(name) + QByteArray(2, '\0');
    SECItem raw = nss::item(text);
    SECItem* value = SEC_ASN1EncodeItem(pool, nullptr, &raw, SEC_ASN1_GET(SEC_OctetStringTemplate));
    auto* attr = PORT_ArenaZNew(pool, NSSCMSAttribute);
    // The attribute type as DER object identifier content, from its dotted text.
    const std::unique_ptr<ASN1_OBJECT, ObjectDeleter> oid(OBJ_txt2obj(DocumentNameOid, 1));
    const size_t oidLength = oid ? OBJ_length(oid.get()) : 0;
    auto* type = oidLength ? static_cast<unsigned char*>(PORT_ArenaAlloc(pool, oidLength)) : nullptr;
    auto** values = PORT_ArenaZNewArray(pool, SECItem*, 2);
    int count = 0;
    while (si->authAttr && si->authAttr[count])
        ++count;
    auto** grown = PORT_ArenaZNewArray(pool, NSSCMSAttribute*, count + 2);
    if (!value || !attr || !type || !values || !grown)
        throw nss::error(source, QStringLiteral("The document name cannot be added to the signature"),
                         CertLibError::SigningFailed);
    memcpy(type, OBJ_get0_data(oid.get()), oidLength);
    attr->type.type = siDEROID;
    attr->type.data = type;
    attr->type.len = static_cast<unsigned int>(oidLength);
    values[0] = value;
    attr->values = values;
    attr->typeTag = nullptr;
    attr->encoded = PR_TRUE;
    for (int i = 0; i < count; ++i)
        grown[i] = si->authAttr[i];
    grown[count] = attr;
    si->authAttr = grown;
}

// NSS writes constructed, indefinite-length encodings; records are DER.
QByteArray reencodeAsDer(const SECItem& ber, const QString& source) {
    const unsigned char* p = ber.data;
    CMS_ContentInfo* ci = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(ber.len));
    if (!ci)
        throw TSError(CertLibError::SigningFailed, source,
                      QStringLiteral("The signed message made by NSS cannot be re-encoded."));
    unsigned char* out = nullptr;
    const int len = i2d_CMS_ContentInfo(ci, &out);
    CMS_ContentInfo_free(ci);
    if (len <= 0 || !out)
        throw TSError(CertLibError::SigningFailed, source,
                      QStringLiteral("The signed message made by NSS cannot be re-encoded."));
    QByteArray der(reinterpret_cast<const char*>(out), len);
    OPENSSL_free(out);
    return der;
}

} // namespace

QByteArray sign(CERTCertificate* cert, const QByteArray& content, const QList<SignedAttribute>& attributes,
                const QString& source) {
    const QString cannotSign = QStringLiteral("The signed message cannot be made");
    MessagePtr cmsg(NSS_CMSMessage_Create(nullptr));
    if (!cmsg)
        throw nss::error(source, cannotSign, CertLibError::SigningFailed);
    NSSCMSSignedData* sigd = NSS_CMSSignedData_Create(cmsg.get());
    if (!sigd)
        throw nss::error(source, cannotSign, CertLibError::SigningFailed);
    if (NSS_CMSContentInfo_SetContent_SignedData(cmsg.get(), NSS_CMSMessage_GetContentInfo(cmsg.get()),
                                                 sigd) != SECSuccess) {
        NSS_CMSSignedData_Destroy(sigd);
        throw nss::error(source, cannotSign, CertLibError::SigningFailed);
    }
    if (NSS_CMSContentInfo_SetContent_Data(cmsg.get(), NSS_CMSSignedData_GetContentInfo(sigd), nullptr,
                                           PR_FALSE) != SECSuccess)
        throw nss::error(source, cannotSign, CertLibError::SigningFailed);

    NSSCMSSignerInfo* si = NSS_CMSSignerInfo_Create(cmsg.get(), cert, SEC_OID_SHA256);
    if (!si)
        throw nss::error(source, cannotSign, CertLibError::SigningFailed);
    try {
        // The chain without its root, or the certificate alone when its issuers are unknown here.
        if (NSS_CMSSignerInfo_IncludeCerts(si, NSSCMSCM_CertChain, certUsageEmailSigner) != SECSuccess &&
            NSS_CMSSignerInfo_IncludeCerts(si, NSSCMSCM_CertOnly, certUsageEmailSigner) != SECSuccess)
            throw nss::error(source, QStringLiteral("The signer's certificate chain cannot be included"),
                             CertLibError::SigningFailed);
        for (const SignedAttribute& a : attributes) {
            if (a.kind == SignedAttribute::SigningTime) {
                const PRTime when = static_cast<PRTime>(a.time.toMSecsSinceEpoch()) * PR_USEC_PER_MSEC;
                if (NSS_CMSSignerInfo_AddSigningTime(si, when) != SECSuccess)
                    throw nss::error(source,
                                     QStringLiteral("The signing time cannot be added to the signature"),
                                     CertLibError::SigningFailed);
            } else {
                addDocumentName(si, a.name, source);
            }
        }
        if (NSS_CMSSignedData_AddSignerInfo(sigd, si) != SECSuccess)
            throw nss::error(source, cannotSign, CertLibError::SigningFailed);
    } catch (...) {
        NSS_CMSSignerInfo_Destroy(si);
        throw;
    }

    nss::ArenaPtr arena(PORT_NewArena(4096));
    if (!arena)
        throw nss::error(source, cannotSign, CertLibError::SigningFailed);
    SECItem input = nss::item(content);
    SECItem encoded = {siBuffer, nullptr, 0};
    if (NSS_CMSDEREncode(cmsg.get(), &input, &encoded, arena.get()) != SECSuccess)
        throw nss::error(source, QStringLiteral("Signing failed"), CertLibError::SigningFailed);

    const QByteArray der = reencodeAsDer(encoded, source);
    // The re-encoded message must still be the same signature over the same content.
    const Verified check = verify(der, source);
    if (check.content != content || check.signers.size() != 1 ||
        check.signers.front().certificate != nss::bytes(cert->derCert))
        throw TSError(CertLibError::BadSignature, source,
                      QStringLiteral("The signed message does not verify after encoding."));
    return der;
}

} // namespace cms
