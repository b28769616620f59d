#include "crypto/CmsReader.h"

#include "crypto/CertLibError.h"
#include "crypto/Encodings.h"
#include "crypto/TSError.h"

#include <memory>

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/x509.h>

namespace cms {

namespace {

TSError sslError(qint32 number, const QString& source, const QString& what) {
    const QString reason = lastOpenSslError();
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
    const QDateTime utc = Asn1TimeUtc(value->value.asn1_string);
    if (!utc.isValid())
        return std::nullopt;
    return utc.toLocalTime();
}

std::optional<QString> documentName(CMS_SignerInfo* si) {
    const std::unique_ptr<ASN1_OBJECT, ObjectDeleter> type(OBJ_txt2obj(DocumentNameOid, 1));
    if (!type)
        return std::nullopt;
    const ASN1_TYPE* value = singleValue(si, CMS_signed_get_attr_by_OBJ(si, type.get(), -1));
    if (!value || value->type != V_ASN1_OCTET_STRING)
        return std::nullopt;
    const ASN1_OCTET_STRING* octets = value->value.octet_string;
    QString name = Utf16LeText(
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
            QString text = Utf16LeText(content);
            if (text.size() == 41 && text.back() == QChar(0))
                text.chop(1);
            return text;
        }
    }
    return QString::fromLatin1(content);
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
        if (cert && X509_up_ref(cert) == 1)
            signer.x509.reset(cert, X509_free);
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
    result.certificates.reset(CMS_get1_certs(cms.get()),
                              [](STACK_OF(X509) * certs) { sk_X509_pop_free(certs, X509_free); });
    ERR_clear_error();
    return result;
}

QString lastOpenSslError() {
    const unsigned long code = ERR_peek_last_error();
    char text[256] = {0};
    if (code)
        ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return code ? QString::fromLatin1(text) : QString();
}

} // namespace cms
