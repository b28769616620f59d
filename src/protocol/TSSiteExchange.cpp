#include "protocol/TSSiteExchange.h"

#include <QMutex>
#include <QUrl>
#include <QtGlobal>

#include <cstdio>

namespace TSSiteExchange {

namespace {

constexpr char kOriginVariable[] = "TESSARO_SITE_ORIGIN";

// The reply codes with their replies, in the order they are tested.
struct Code {
    const char* text;
    Reply reply;
};
constexpr Code kCodes[] = {
    {"error:dberror-open", Reply::DatabaseNotAvailable},
    {"error:dberror-rs-users", Reply::NotRegisteredUser},
    {"error:dberror-rs-registrations", Reply::RegistrationsTableClosed},
    {"error:signature-verification-failure", Reply::SignatureNotVerified},
    {"error:dberror-update", Reply::DatabaseNotUpdated},
};

// Lower-cases ASCII letters only, so that no other character can pass for a letter of a code.
QString asciiLower(const QString& text) {
    QString lowered = text;
    for (QChar& c : lowered) {
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + ('a' - 'A'));
    }
    return lowered;
}

bool isPort(const QString& text) {
    if (text.isEmpty() || text.size() > 5)
        return false;
    int value = 0;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + (c.unicode() - '0');
    }
    return value >= 1 && value <= 65535;
}

} // namespace

QString BuiltInOrigin() {
    return QStringLiteral("https://registration.tessaro.example");
}

std::optional<QString> ParseOrigin(const QString& sValue) {
    const QLatin1String scheme("https://");
    if (!sValue.startsWith(scheme, Qt::CaseInsensitive))
        return std::nullopt;
    QString authority = sValue.mid(scheme.size());
    if (authority.endsWith(QLatin1Char('/')))
        authority.chop(1);
    if (authority.isEmpty())
        return std::nullopt;
    // No path, query, fragment, user information, escapes, blanks or control characters.
    for (QChar c : authority) {
        if (c.unicode() <= 0x20 || c.unicode() == 0x7f || c.isSpace() ||
            QStringLiteral("/\\?#@%").contains(c))
            return std::nullopt;
    }

    QString host = authority;
    QString port;
    const qsizetype colon = authority.lastIndexOf(QLatin1Char(':'));
    if (authority.startsWith(QLatin1Char('['))) { // an IPv6 address
        const qsizetype close = authority.indexOf(QLatin1Char(']'));
        if (close < 0 || (close + 1 < authority.size() && authority.at(close + 1) != QLatin1Char(':')))
            return std::nullopt;
        host = authority.left(close + 1);
        if (close + 1 < authority.size()) {
            port = authority.mid(close + 2);
            if (!isPort(port))
                return std::nullopt;
        }
    } else if (colon >= 0) {
        host = authority.left(colon);
        port = authority.mid(colon + 1);
        if (!isPort(port))
            return std::nullopt;
    }
    if (host.isEmpty() || (host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('['))))
        return std::nullopt;

    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(host, QUrl::StrictMode);
    if (!port.isEmpty())
        url.setPort(port.toInt());
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    return url.toString(QUrl::FullyEncoded);
}

QString SiteOrigin() {
    const QString value = qEnvironmentVariable(kOriginVariable);
    if (value.isEmpty())
        return BuiltInOrigin();
    if (const std::optional<QString> origin = ParseOrigin(value))
        return *origin;
    // Warn once for each value, not at every request.
    static QMutex mutex;
    static QString warnedFor;
    const QMutexLocker lock(&mutex);
    if (warnedFor != value) {
        warnedFor = value;
        std::fprintf(stderr,
                     "tessaro: %s is not an https origin (https://host or https://host:port); using %s\n",
                     kOriginVariable, qPrintable(BuiltInOrigin()));
    }
    return BuiltInOrigin();
}

Endpoints EndpointsFor(Request request, const QString& sOrigin) {
    switch (request) {
    case Request::RegisterCertificate:
        return {sOrigin + QLatin1String(Path::CertificateFirst),
                sOrigin + QLatin1String(Path::CertificatePost)};
    case Request::RegisterPassword:
        return {sOrigin + QLatin1String(Path::Password), sOrigin + QLatin1String(Path::Password)};
    case Request::Verify:
        return {sOrigin + QLatin1String(Path::Verify), sOrigin + QLatin1String(Path::Verify)};
    }
    return {};
}

FormFields CertificateRegistrationFields(const QString& sRegistrationData, const QString& sDocumentName) {
    return {{Field::Tessaro, sRegistrationData}, {Field::FileName, sDocumentName}};
}

FormFields PasswordRegistrationFields(const QString& sDocumentName, const QString& sFingerprint,
                                      const QString& sUser, const QString& sPassword) {
    return {{Field::FileName, sDocumentName},
            {Field::FileHash, sFingerprint},
            {Field::User, sUser},
            {Field::Password, sPassword}};
}

FormFields VerifyFields(const QString& sCopyPath, const QString& sFingerprint, const QString& sUser,
                        const QString& sPassword, const QString& sRecordText) {
    return {{Field::FileName, sCopyPath},
            {Field::FileHash, sFingerprint},
            {Field::User, sUser},
            {Field::Password, sPassword},
            {Field::Signature, sRecordText}};
}

QString FormId() {
    return QStringLiteral("regform");
}

QString ReplyCode(Reply reply) {
    for (const Code& code : kCodes) {
        if (code.reply == reply)
            return QLatin1String(code.text);
    }
    return QString();
}

Reply ClassifyReply(const QString& sReply) {
    const QString lowered = asciiLower(sReply);
    if (!lowered.contains(QLatin1String("error:")))
        return Reply::Accepted;
    for (const Code& code : kCodes) {
        if (lowered.contains(QLatin1String(code.text)))
            return code.reply;
    }
    return Reply::OtherError;
}

std::optional<QString> TakeSiteSignature(const QString& sReply) {
    const QLatin1String startMarker(SignatureStart);
    const QLatin1String endMarker(SignatureEnd);
    // Both markers are looked for from the start of the page.
    const qsizetype start = sReply.indexOf(startMarker);
    const qsizetype end = sReply.indexOf(endMarker);
    if (start < 0 || end < 0)
        return std::nullopt;
    const qsizetype length = end - start - startMarker.size();
    if (length < 0)
        return std::nullopt;
    return sReply.mid(start + startMarker.size(), length);
}

bool IsUsableSignature(const std::optional<QString>& sSignature) {
    if (!sSignature)
        return false;
    for (QChar c : *sSignature) {
        if (c != QLatin1Char(' '))
            return true;
    }
    return false;
}

QString NoAccessPage() {
    return QStringLiteral("ts_noaccess.htm");
}
QString NoRegisterPage() {
    return QStringLiteral("ts_noregister.htm");
}

} // namespace TSSiteExchange
