#include "platform/CmsMessage.h"

#include "platform/CertLibrary.h"
#include "platform/NssSupport.h"

#include <cstring>
#include <memory>

#include <cms.h>
#include <secasn1.h>
#include <secoid.h>

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/x509.h>

namespace cms {

namespace {

// The document-name attribute's type, 1.3.6.1.4.1.311.88.2.1, as text and as DER object
// identifier content.
const char kDocumentNameOidText[] = "1.3.6.1.4.1.311.88.2.1";
const unsigned char kDocumentNameOid[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x58, 0x02, 0x01};

struct MessageDeleter {
    void operator()(NSSCMSMessage* m) const { NSS_CMSMessage_Destroy(m); }
};
using MessagePtr = std::unique_ptr<NSSCMSMessage, MessageDeleter>;

QByteArray utf16le(const QString& text) {
    QByteArray out;
    out.reserve(text.size() * 2);
    for (QChar c : text) {
        out.append(static_cast<char>(c.unicode() & 0xFF));
        out.append(static_cast<char>(c.unicode() >> 8));
    }
    return out;
}

QString fromUtf16le(const QByteArray& bytes) {
    QString out;
    out.reserve(bytes.size() / 2);
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        out.append(QChar(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                               (static_cast<unsigned char>(bytes[i + 1]) << 8))));
    return out;
}

// NSS offers no public way to add an attribute of its own type to a signer, so the attribute
// is built in the message's arena and appended to the (null-terminated) array by hand. Its
// value is given already encoded, which NSS copies into the message as it stands.
void addDocumentName(NSSCMSSignerInfo* si, const QString& name, const QString& source) {
    PLArenaPool* pool = si->cmsg->poolp;
    const QByteArray text = utf16le(name) + QByteArray(2, '\0');
    SECItem raw = nss::item(text);
    SECItem* value = SEC_ASN1EncodeItem(pool, nullptr, &raw, SEC_ASN1_GET(SEC_OctetStringTemplate));
    auto* attr = PORT_ArenaZNew(pool, NSSCMSAttribute);
    auto* type = static_cast<unsigned char*>(PORT_ArenaAlloc(pool, sizeof(kDocumentNameOid)));
    auto** values = PORT_ArenaZNewArray(pool, SECItem*, 2);
    int count = 0;
    while (si->authAttr && si->authAttr[count])
        ++count;
    auto** grown = PORT_ArenaZNewArray(pool, NSSCMSAttribute*, count + 2);
    if (!value || !attr || !type || !values || !grown)
        throw nss::error(source, QStringLiteral("The document name cannot be added to the signature"),
                         CertLibError::SigningFailed);
    memcpy(type, kDocumentNameOid, sizeof(kDocumentNameOid));
    attr->type.type = siDEROID;
    attr->type.data = type;
    attr->type.len = sizeof(kDocumentNameOid);
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

QString sslReason() {
    const unsigned long code = ERR_peek_last_error();
    char text[256] = {0};
    if (code)
        ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return code ? QString::fromLatin1(text) : QString();
}

TSError sslError(qint32 number, const QString& source, const QString& what) {
    const QString reason = sslReason();
    return TSError(number, source,
                   reason.isEmpty() ? what + QLatin1Char('.')
                                    : what + QStringLiteral(" (") + reason + QStringLiteral(")."));
}

struct CmsDeleter {
    void operator()(CMS_ContentInfo* c) const { CMS_ContentInfo_free(c); }
};
struct BioDeleter {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct ObjectDeleter {
    void operator()(ASN1_OBJECT* o) const { ASN1_OBJECT_free(o); }
};

const ASN1_TYPE* singleValue(CMS_SignerInfo* si, int index) {
    if (index < 0)
        return nullptr;
    X509_ATTRIBUTE* attr = CMS_signed_get_attr(si, index);
    if (!attr || X509_ATTRIBUTE_count(attr) != 1)
        return nullptr;
    return X509_ATTRIBUTE_get0_type(attr, 0);
}

std::optional<QDateTime> signingTime(CMS_SignerInfo* si) {
    const ASN1_TYPE* value = singleValue(si, CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1));
    if (!value || (value->type != V_ASN1_UTCTIME && value->type != V_ASN1_GENERALIZEDTIME))
        return std::nullopt;
    struct tm t = {};
    if (ASN1_TIME_to_tm(value->value.asn1_string, &t) != 1)
        return std::nullopt;
    const QDateTime utc(QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday),
                        QTime(t.tm_hour, t.tm_min, t.tm_sec), Qt::UTC);
    if (!utc.isValid())
        return std::nullopt;
    return utc.toLocalTime();
}

std::optional<QString> documentName(CMS_SignerInfo* si) {
    const std::unique_ptr<ASN1_OBJECT, ObjectDeleter> type(OBJ_txt2obj(kDocumentNameOidText, 1));
    if (!type)
        return std::nullopt;
    const ASN1_TYPE* value = singleValue(si, CMS_signed_get_attr_by_OBJ(si, type.get(), -1));
    if (!value || value->type != V_ASN1_OCTET_STRING)
        return std::nullopt;
    const ASN1_OCTET_STRING* octets = value->value.octet_string;
    QString name = fromUtf16le(
        QByteArray(reinterpret_cast<const char*>(ASN1_STRING_get0_data(octets)), ASN1_STRING_length(octets)));
    while (name.endsWith(QChar(0)))
        name.chop(1);
    return name;
}

} // namespace

QString contentText(const QByteArray& content) {
    if (content.size() == 80 || content.size() == 82) {
        bool wide = true;
        for (qsizetype i = 1; i < content.size() && wide; i += 2)
            wide = content[i] == '\0';
        if (wide) {
            QString text = fromUtf16le(content);
            if (text.size() == 41 && text.back() == QChar(0))
                text.chop(1);
            return text;
        }
    }
    return QString::fromLatin1(content);
}

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

Verified verify(const QByteArray& der, const QString& source) {
    ERR_clear_error();
    if (der.isEmpty())
        throw TSError(CertLibError::NotSignedData, source, QStringLiteral("The signed message is empty."));
    const auto* begin = reinterpret_cast<const unsigned char*>(der.constData());
    const unsigned char* p = begin;
    std::unique_ptr<CMS_ContentInfo, CmsDeleter> cms(
        d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    if (!cms)
        throw sslError(CertLibError::NotSignedData, source,
                       QStringLiteral("The text is not a readable signed message"));
    if (p != begin + der.size())
        throw TSError(CertLibError::NotSignedData, source,
                      QStringLiteral("The signed message is followed by other data."));
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed)
        throw TSError(CertLibError::NotSignedData, source,
                      QStringLiteral("The message is not a PKCS #7 signed-data message."));
    if (OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data)
        throw TSError(CertLibError::NotSignedData, source,
                      QStringLiteral("The signed message does not carry data content."));
    ASN1_OCTET_STRING** content = CMS_get0_content(cms.get());
    if (!content || !*content)
        throw TSError(CertLibError::NoContent, source,
                      QStringLiteral("The signed message carries no content (it is detached)."));
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    const int count = infos ? sk_CMS_SignerInfo_num(infos) : 0;
    if (count <= 0)
        throw TSError(CertLibError::NoSigner, source, QStringLiteral("The signed message has no signer."));
    for (int i = 0; i < count; ++i) {
        X509_ALGOR* digest = nullptr;
        CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(infos, i), nullptr, nullptr, &digest, nullptr);
        const int nid = digest ? OBJ_obj2nid(digest->algorithm) : NID_undef;
        if (nid != NID_sha1 && nid != NID_sha256 && nid != NID_sha384 && nid != NID_sha512)
            throw TSError(CertLibError::UnsupportedDigest, source,
                          QStringLiteral("The message uses a digest algorithm that is not supported."));
    }

    // The signature of every signer, over the content and its signed attributes; the signers'
    // certificates come from the message and their trust is not looked at.
    std::unique_ptr<BIO, BioDeleter> out(BIO_new(BIO_s_mem()));
    if (!out)
        throw sslError(CertLibError::BadSignature, source, QStringLiteral("The signature cannot be checked"));
    if (CMS_verify(cms.get(), nullptr, nullptr, nullptr, out.get(), CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) !=
        1) {
        const int reason = ERR_GET_REASON(ERR_peek_last_error());
        if (reason == CMS_R_SIGNER_CERTIFICATE_NOT_FOUND)
            throw sslError(CertLibError::SignerNotFound, source,
                           QStringLiteral("The signer's certificate is not in the signed message"));
        if (reason == CMS_R_VERIFICATION_FAILURE || reason == CMS_R_CONTENT_VERIFY_ERROR)
            throw sslError(CertLibError::BadSignature, source,
                           QStringLiteral("The signed content or its attributes have been changed"));
        throw sslError(CertLibError::BadSignature, source, QStringLiteral("The signature does not verify"));
    }

    Verified result;
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    result.content = QByteArray(data, static_cast<qsizetype>(size));
    for (int i = 0; i < count; ++i) {
        CMS_SignerInfo* si = sk_CMS_SignerInfo_value(infos, i);
        X509* cert = nullptr;
        CMS_SignerInfo_get0_algs(si, nullptr, &cert, nullptr, nullptr);
        VerifiedSigner signer;
        unsigned char* certDer = nullptr;
        const int certLen = cert ? i2d_X509(cert, &certDer) : 0;
        if (certLen > 0) {
            signer.certificate = QByteArray(reinterpret_cast<const char*>(certDer), certLen);
            OPENSSL_free(certDer);
        }
        signer.time = signingTime(si);
        signer.name = documentName(si);
        result.signers.append(signer);
    }
    ERR_clear_error();
    return result;
}

} // namespace cms
