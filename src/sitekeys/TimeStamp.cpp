// The site signature: RFC 3161 time-stamp tokens over a document's SHA-1 fingerprint, signed by
// the site's time-stamping key, and their check.

#include "crypto/Encodings.h"
#include "sitekeys/SiteKeys.h"
#include "sitekeys/Ssl.h"

#include "protocol/TSSiteExchange.h"

#include <QDir>
#include <QRegularExpression>

#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509v3.h>

namespace {

using Request = ssl::Ptr<TS_REQ, TS_REQ_free>;
using Imprint = ssl::Ptr<TS_MSG_IMPRINT, TS_MSG_IMPRINT_free>;
using Algorithm = ssl::Ptr<X509_ALGOR, X509_ALGOR_free>;
using ResponseContext = ssl::Ptr<TS_RESP_CTX, TS_RESP_CTX_free>;
using Response = ssl::Ptr<TS_RESP, TS_RESP_free>;
using Token = ssl::Ptr<PKCS7, PKCS7_free>;
using Info = ssl::Ptr<TS_TST_INFO, TS_TST_INFO_free>;

[[noreturn]] void fail(const QString& what) {
    const QString reason = ssl::lastError();
    throw SiteKeysError(reason.isEmpty() ? what : what + QStringLiteral(": ") + reason);
}

// A positive random serial number of 127 bits, for each token.
ASN1_INTEGER* randomSerial(TS_RESP_CTX*, void*) {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return nullptr;
    bytes[0] = (bytes[0] & 0x7F) | 0x40;
    BIGNUM* bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
    ASN1_INTEGER* serial = bn ? BN_to_ASN1_INTEGER(bn, nullptr) : nullptr;
    BN_free(bn);
    return serial;
}

QString hexSerial(const ASN1_INTEGER* serial) {
    BIGNUM* bn = serial ? ASN1_INTEGER_to_BN(serial, nullptr) : nullptr;
    char* hex = bn ? BN_bn2hex(bn) : nullptr;
    const QString text = hex ? QString::fromLatin1(hex) : QString();
    OPENSSL_free(hex);
    BN_free(bn);
    return text;
}

// The DER of a time-stamp request for a SHA-1 digest that asks for the signer's certificate.
QByteArray requestFor(const QByteArray& sha1Digest) {
    Request req(TS_REQ_new());
    Imprint imprint(TS_MSG_IMPRINT_new());
    Algorithm algo(X509_ALGOR_new());
    if (!req || !imprint || !algo ||
        X509_ALGOR_set0(algo.get(), OBJ_nid2obj(NID_sha1), V_ASN1_NULL, nullptr) != 1 ||
        TS_MSG_IMPRINT_set_algo(imprint.get(), algo.get()) != 1 ||
        TS_MSG_IMPRINT_set_msg(imprint.get(),
                               reinterpret_cast<unsigned char*>(const_cast<char*>(sha1Digest.constData())),
                               static_cast<int>(sha1Digest.size())) != 1 ||
        TS_REQ_set_version(req.get(), 1) != 1 || TS_REQ_set_msg_imprint(req.get(), imprint.get()) != 1 ||
        TS_REQ_set_cert_req(req.get(), 1) != 1)
        fail(QStringLiteral("Cannot make a time-stamp request"));
    unsigned char* out = nullptr;
    const int len = i2d_TS_REQ(req.get(), &out);
    if (len <= 0)
        fail(QStringLiteral("Cannot encode a time-stamp request"));
    QByteArray der(reinterpret_cast<const char*>(out), len);
    OPENSSL_free(out);
    return der;
}

} // namespace

struct TimeStamper::Keys {
    ssl::Cert cert;
    ssl::Key key;
    ssl::Object policy;
};

TimeStamper::TimeStamper(const QString& siteDir, const QString& policyOid)
    : m_keys(std::make_unique<Keys>()) {
    const QDir dir(siteDir);
    m_keys->cert = ssl::readCertificate(dir.filePath(QStringLiteral("tsa-cert.pem")),
                                        QStringLiteral("The time-stamping certificate"));
    m_keys->key =
        ssl::readKey(dir.filePath(QStringLiteral("tsa-key.pem")), QStringLiteral("The time-stamping key"));
    if (X509_check_private_key(m_keys->cert.get(), m_keys->key.get()) != 1)
        fail(QStringLiteral("The time-stamping key in %1 does not belong to its certificate").arg(siteDir));
    // Caches the certificate's extensions once, before threads share it.
    if (X509_check_purpose(m_keys->cert.get(), X509_PURPOSE_TIMESTAMP_SIGN, 0) != 1)
        fail(QStringLiteral("The certificate in %1 is not a time-stamping certificate")
                 .arg(dir.filePath(QStringLiteral("tsa-cert.pem"))));
    const QByteArray oid = policyOid.toLatin1();
    static const QRegularExpression numeric(QStringLiteral("^[0-2](\\.(0|[1-9][0-9]*))+$"));
    m_keys->policy.reset(numeric.match(policyOid).hasMatch() ? OBJ_txt2obj(oid.constData(), 1) : nullptr);
    if (!m_keys->policy)
        fail(QStringLiteral("\"%1\" is not an object identifier such as 2.25.1234").arg(policyOid));
}

TimeStamper::~TimeStamper() = default;

QByteArray TimeStamper::Stamp(const QByteArray& sha1Digest) const {
    if (sha1Digest.size() != 20)
        throw SiteKeysError(QStringLiteral("A time stamp is made over a SHA-1 digest of 20 bytes"));
    const QByteArray request = requestFor(sha1Digest);

    // One context per token: a context holds the state of the request it answers.
    ResponseContext ctx(TS_RESP_CTX_new());
    if (!ctx || TS_RESP_CTX_set_signer_cert(ctx.get(), m_keys->cert.get()) != 1 ||
        TS_RESP_CTX_set_signer_key(ctx.get(), m_keys->key.get()) != 1 ||
        TS_RESP_CTX_set_signer_digest(ctx.get(), EVP_sha256()) != 1 ||
        TS_RESP_CTX_set_ess_cert_id_digest(ctx.get(), EVP_sha256()) != 1 ||
        TS_RESP_CTX_set_def_policy(ctx.get(), m_keys->policy.get()) != 1 ||
        TS_RESP_CTX_add_md(ctx.get(), EVP_sha1()) != 1)
        fail(QStringLiteral("Cannot prepare a time stamp"));
    TS_RESP_CTX_set_serial_cb(ctx.get(), randomSerial, nullptr);

    ssl::Bio in(BIO_new_mem_buf(request.constData(), static_cast<int>(request.size())));
    Response response(in ? TS_RESP_create_response(ctx.get(), in.get()) : nullptr);
    if (!response)
        fail(QStringLiteral("Cannot make a time stamp"));
    const ASN1_INTEGER* status = TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(response.get()));
    PKCS7* token = TS_RESP_get_token(response.get());
    if (ASN1_INTEGER_get(status) != TS_STATUS_GRANTED || !token)
        fail(QStringLiteral("The time stamp was refused"));
    unsigned char* out = nullptr;
    const int len = i2d_PKCS7(token, &out);
    if (len <= 0)
        fail(QStringLiteral("Cannot encode a time stamp"));
    QByteArray der(reinterpret_cast<const char*>(out), len);
    OPENSSL_free(out);
    return der;
}

QString TimeStamper::SignatureText(const QByteArray& tokenDer) {
    return QLatin1String(TSSiteExchange::SiteRecordPrefix) + QString::fromLatin1(tokenDer.toBase64());
}

struct TokenChecker::Certs {
    ssl::Cert root;
    ssl::Cert tsa;
    QByteArray tsaDer;
};

TokenChecker::TokenChecker(const QString& siteDir) : m_certs(std::make_unique<Certs>()) {
    const QDir dir(siteDir);
    m_certs->root =
        ssl::readCertificate(dir.filePath(QStringLiteral("root.pem")), QStringLiteral("The site's root"));
    m_certs->tsa = ssl::readCertificate(dir.filePath(QStringLiteral("tsa-cert.pem")),
                                        QStringLiteral("The time-stamping certificate"));
    m_certs->tsaDer = ssl::der(m_certs->tsa.get());
    // Caches the certificates' extensions once, before threads share them.
    X509_check_purpose(m_certs->root.get(), -1, 0);
    X509_check_purpose(m_certs->tsa.get(), -1, 0);
}

TokenChecker::~TokenChecker() = default;

TokenCheck TokenChecker::Check(const QByteArray& tokenDer) const {
    TokenCheck result;
    const auto refuse = [&result](const QString& reason) {
        ERR_clear_error();
        result.reason = reason;
        return result;
    };
    ERR_clear_error();
    const auto* begin = reinterpret_cast<const unsigned char*>(tokenDer.constData());
    const unsigned char* p = begin;
    Token token(tokenDer.isEmpty() ? nullptr : d2i_PKCS7(nullptr, &p, static_cast<long>(tokenDer.size())));
    if (!token || p != begin + tokenDer.size())
        return refuse(QStringLiteral("not a time-stamp token"));
    Info info(PKCS7_to_TS_TST_INFO(token.get()));
    if (!info)
        return refuse(QStringLiteral("not a time-stamp token"));

    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
    const X509_ALGOR* algo = imprint ? TS_MSG_IMPRINT_get_algo(imprint) : nullptr;
    const ASN1_OCTET_STRING* digest = imprint ? TS_MSG_IMPRINT_get_msg(imprint) : nullptr;
    if (!algo || OBJ_obj2nid(algo->algorithm) != NID_sha1 || !digest || ASN1_STRING_length(digest) != 20)
        return refuse(QStringLiteral("the token does not stamp a SHA-1 fingerprint"));
    const ASN1_GENERALIZEDTIME* genTime = TS_TST_INFO_get_time(info.get());
    const QDateTime when = Asn1TimeUtc(genTime);
    if (!when.isValid())
        return refuse(QStringLiteral("the token carries no readable time"));

    // The signature, the signing-certificate attribute and the chain to the site's root, at the
    // token's own time.
    ssl::Store store(X509_STORE_new());
    ssl::Certs untrusted(sk_X509_new_null());
    if (!store || !untrusted || X509_STORE_add_cert(store.get(), m_certs->root.get()) != 1 ||
        !sk_X509_push(untrusted.get(), m_certs->tsa.get()))
        return refuse(QStringLiteral("out of memory"));
    X509_up_ref(m_certs->tsa.get()); // now owned by the stack too
    X509_VERIFY_PARAM_set_time(X509_STORE_get0_param(store.get()), when.toSecsSinceEpoch());
    X509* signer = nullptr;
    if (TS_RESP_verify_signature(token.get(), untrusted.get(), store.get(), &signer) != 1)
        return refuse(QStringLiteral("not a signature of this site (%1)").arg(ssl::lastError()));
    const ssl::Cert signerOwner(signer);
    if (ssl::der(signer) != m_certs->tsaDer)
        return refuse(QStringLiteral("not signed by this site's time-stamping certificate"));

    result.ok = true;
    result.imprint = QByteArray(reinterpret_cast<const char*>(ASN1_STRING_get0_data(digest)), 20);
    result.genTime = when;
    result.serial = hexSerial(TS_TST_INFO_get_serial(info.get()));
    ERR_clear_error();
    return result;
}

TokenCheck CheckToken(const QString& siteDir, const QByteArray& tokenDer) {
    try {
        return TokenChecker(siteDir).Check(tokenDer);
    } catch (const SiteKeysError& e) {
        TokenCheck refused;
        refused.reason = e.message();
        return refused;
    }
}
