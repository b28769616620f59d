#include "site/SiteHandler.h"

#include "protocol/TSSiteExchange.h"
#include "site/SitePages.h"

#include <QRegularExpression>
#include <QStringDecoder>

namespace {

namespace Field = TSSiteExchange::Field;
namespace Path = TSSiteExchange::Path;
using Fields = QList<QPair<QString, QString>>;

// The site's own codes, beside the client's: a request the site cannot read, a fingerprint
// that is not 40 hexadecimal digits, a certificate post without a live session, a name the
// site does not keep, and a sign-in refused for too many failures.
constexpr char kBadRequest[] = "error:bad-request";
constexpr char kBadFingerprint[] = "error:bad-fingerprint";
constexpr char kNoSession[] = "error:no-session";
constexpr char kBadName[] = "error:bad-name";
constexpr char kTooManyAttempts[] = "error:too-many-attempts";
constexpr char kCannotSign[] = "error:site-signature-failure";

constexpr qsizetype kMaxNameLength = 1024;

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<QString> decodeComponent(std::string_view part) {
    QByteArray bytes;
    bytes.reserve(static_cast<qsizetype>(part.size()));
    for (size_t i = 0; i < part.size(); ++i) {
        const char c = part[i];
        if (c == '+') {
            bytes.append(' ');
        } else if (c == '%') {
            if (i + 2 >= part.size())
                return std::nullopt;
            const int high = hexValue(part[i + 1]);
            const int low = hexValue(part[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            bytes.append(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            bytes.append(c);
        }
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return std::nullopt;
    for (QChar c : text) {
        if ((c.unicode() < 0x20 && c != QLatin1Char('\t') && c != QLatin1Char('\n') &&
             c != QLatin1Char('\r')) ||
            c.unicode() == 0x7f)
            return std::nullopt;
    }
    return text;
}

std::optional<QString> field(const Fields& fields, const char* name) {
    for (const auto& pair : fields) {
        if (pair.first == QLatin1String(name))
            return pair.second;
    }
    return std::nullopt;
}

SiteResponse page(const QString& html, int status = 200) {
    SiteResponse response;
    response.status = status;
    response.body = html.toStdString();
    return response;
}

SiteResponse refusal(const char* code, const QString& why) {
    SiteResponse response = page(SitePages::Refusal(QLatin1String(code)));
    response.outcome = QLatin1String(code);
    response.detail = why;
    return response;
}

// A commit whose outcome the service cannot know: no code, so the client cannot take it for a
// refusal either.
SiteResponse unknownOutcome() {
    SiteResponse response =
        page(SitePages::Message(QStringLiteral("Outcome Unknown"),
                                QStringLiteral("Whether the registration was stored cannot be told now. "
                                               "Check it later by verifying the document.")),
             503);
    response.outcome = QStringLiteral("outcome-unknown");
    response.detail = QStringLiteral("the outcome of a database commit is unknown");
    return response;
}

std::optional<QString> normalisedFingerprint(const QString& text) {
    if (text.size() != 40)
        return std::nullopt;
    for (QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('A') && c <= QLatin1Char('F')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return std::nullopt;
    }
    return text.toUpper();
}

bool acceptableName(const QString& name) {
    return !name.trimmed().isEmpty() && name.size() <= kMaxNameLength;
}

bool isForm(const std::string& contentType) {
    const QString type = QString::fromStdString(contentType).section(QLatin1Char(';'), 0, 0).trimmed();
    return type.compare(QLatin1String("application/x-www-form-urlencoded"), Qt::CaseInsensitive) == 0;
}

// Stamps and stores a registration; the reply says "registered" only after the commit is durable.
SiteResponse registerDocument(const SiteContext& context, SiteWorker& worker, Registration r,
                              bool withSignature) {
    try {
        r.token = context.Stamper().Stamp(QByteArray::fromHex(r.fingerprint.toLatin1()));
    } catch (const SiteKeysError& e) {
        return refusal(kCannotSign, e.message());
    }
    QString receipt;
    const SiteDatabase::Insert result = worker.db.InsertRegistration(r, &receipt);
    switch (result) {
    case SiteDatabase::Insert::Inserted: {
        SiteResponse response = page(
            SitePages::Accepted(withSignature ? TimeStamper::SignatureText(r.token) : QString(), receipt));
        response.outcome = QStringLiteral("registered");
        response.detail = QStringLiteral("#%1 %2 for %3").arg(r.number).arg(r.method, r.owner.left(200));
        return response;
    }
    case SiteDatabase::Insert::Duplicate:
        return refusal("error:dberror-update", QStringLiteral("fingerprint already registered"));
    case SiteDatabase::Insert::CannotOpen:
        return refusal("error:dberror-open", worker.db.OpenError());
    case SiteDatabase::Insert::TableUnusable:
        return refusal("error:dberror-rs-registrations", QStringLiteral("registrations table unusable"));
    case SiteDatabase::Insert::Unknown:
        break;
    }
    return unknownOutcome();
}

SiteResponse certificatePost(const SiteContext& context, SiteWorker& worker, const SiteRequest& request,
                             const Fields& fields) {
    const QDateTime now = context.now();
    if (!context.Sessions().IsLive(QString::fromStdString(request.cookie), now))
        return refusal(kNoSession, QStringLiteral("no live session cookie"));
    const std::optional<QString> tessaro = field(fields, Field::Tessaro);
    const std::optional<QString> filename = field(fields, Field::FileName);
    if (!tessaro || !filename)
        return refusal(kBadRequest, QStringLiteral("missing field"));
    if (!acceptableName(*filename))
        return refusal(kBadName, QStringLiteral("document name empty or too long"));
    const CertificatePostCheck check = context.Posts().Check(*tessaro, *filename, now);
    if (!check.ok)
        return refusal("error:signature-verification-failure", check.reason);
    Registration r;
    r.fingerprint = check.fingerprint;
    r.name = *filename;
    r.owner = check.signer;
    r.method = QStringLiteral("certificate");
    r.time = now;
    return registerDocument(context, worker, r, false);
}

// Signs in; a refusal response when the credentials are not accepted.
std::optional<SiteResponse> signIn(SiteWorker& worker, const QString& user, const QString& password,
                                   const SiteRequest& request) {
    switch (worker.accounts.Check(user, password, request.clientAddress)) {
    case Accounts::SignIn::Ok:
        return std::nullopt;
    case Accounts::SignIn::WrongCredentials:
        return refusal("error:dberror-rs-users", QStringLiteral("wrong credentials"));
    case Accounts::SignIn::TooManyAttempts:
        return refusal(kTooManyAttempts, QStringLiteral("sign-in throttled"));
    case Accounts::SignIn::Unavailable:
        break;
    }
    return refusal("error:dberror-open", QStringLiteral("accounts unavailable"));
}

SiteResponse passwordPost(const SiteContext& context, SiteWorker& worker, const SiteRequest& request,
                          const Fields& fields) {
    const std::optional<QString> filename = field(fields, Field::FileName);
    const std::optional<QString> filehash = field(fields, Field::FileHash);
    const std::optional<QString> user = field(fields, Field::User);
    const std::optional<QString> password = field(fields, Field::Password);
    if (!filename || !filehash || !user || !password)
        return refusal(kBadRequest, QStringLiteral("missing field"));
    if (!acceptableName(*filename))
        return refusal(kBadName, QStringLiteral("document name empty or too long"));
    const std::optional<QString> fingerprint = normalisedFingerprint(*filehash);
    if (!fingerprint)
        return refusal(kBadFingerprint, QStringLiteral("malformed fingerprint"));
    if (std::optional<SiteResponse> refused = signIn(worker, *user, *password, request))
        return *refused;
    Registration r;
    r.fingerprint = *fingerprint;
    r.name = *filename;
    r.owner = *user;
    r.method = QStringLiteral("password");
    r.time = context.now();
    return registerDocument(context, worker, r, true);
}

SiteResponse notVerified(const QString& reason) {
    SiteResponse response = page(SitePages::NotVerified(reason));
    response.outcome = QStringLiteral("not-verified");
    response.detail = reason;
    return response;
}

SiteResponse verifyPost(const SiteContext& context, SiteWorker& worker, const SiteRequest& request,
                        const Fields& fields) {
    const QString path = field(fields, Field::FileName).value_or(QString());
    const QString copyName = path.section(QRegularExpression(QStringLiteral("[\\\\/]")), -1);
    const std::optional<QString> fingerprint =
        normalisedFingerprint(field(fields, Field::FileHash).value_or(QString()));
    const QString user = field(fields, Field::User).value_or(QString());
    const QString record = field(fields, Field::Signature).value_or(QString());
    if (!fingerprint)
        return notVerified(QStringLiteral("The request carries no valid fingerprint of the document."));
    switch (worker.accounts.Check(user, field(fields, Field::Password).value_or(QString()),
                                  request.clientAddress)) {
    case Accounts::SignIn::Ok:
        break;
    case Accounts::SignIn::WrongCredentials:
        return notVerified(QStringLiteral("The user name or password is wrong."));
    case Accounts::SignIn::TooManyAttempts:
        return notVerified(QStringLiteral("Too many failed sign-ins: try again later."));
    case Accounts::SignIn::Unavailable:
        return notVerified(QStringLiteral("The site's accounts cannot be read now: try again later."));
    }

    const QLatin1String prefix(TSSiteExchange::SiteRecordPrefix);
    const QByteArray::FromBase64Result token = QByteArray::fromBase64Encoding(
        record.mid(prefix.size()).trimmed().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    TokenCheck check;
    if (record.startsWith(prefix) && token && !token.decoded.isEmpty())
        check = context.Tokens().Check(token.decoded);
    if (!check.ok)
        return notVerified(QStringLiteral("The record is not a signature of this site."));
    const QString stamped = QString::fromLatin1(check.imprint.toHex().toUpper());
    if (stamped != *fingerprint)
        return notVerified(QStringLiteral("The document has changed since it was registered."));

    std::optional<Registration> registration;
    try {
        registration = worker.db.FindByFingerprint(stamped);
    } catch (const SiteDatabaseError& e) {
        SiteResponse response =
            page(SitePages::NotVerified(QStringLiteral("The site's registrations cannot be "
                                                       "read now: try again later.")),
                 503);
        response.outcome = QStringLiteral("database-failure");
        response.detail = QString::fromUtf8(e.what());
        return response;
    }
    if (!registration || registration->token != token.decoded)
        return notVerified(QStringLiteral("The record is not a signature of this site."));
    if (registration->owner != user)
        return notVerified(QStringLiteral("The document was not registered by this user."));
    SiteResponse response = page(SitePages::Verified(*registration, copyName));
    response.outcome = QStringLiteral("verified");
    response.detail = QStringLiteral("#%1").arg(registration->number);
    return response;
}

SiteResponse receipt(SiteWorker& worker, const Fields& fields) {
    const QString id = field(fields, SitePages::ReceiptField).value_or(QString());
    try {
        if (const std::optional<Registration> r = worker.db.TakeReceipt(id)) {
            SiteResponse response = page(SitePages::Receipt(*r));
            response.outcome = QStringLiteral("receipt");
            return response;
        }
    } catch (const SiteDatabaseError& e) {
        SiteResponse response = page(SitePages::Message(QStringLiteral("Receipt Not Available"),
                                                        QStringLiteral("The receipt cannot be read now.")),
                                     503);
        response.outcome = QStringLiteral("database-failure");
        response.detail = QString::fromUtf8(e.what());
        return response;
    }
    return page(
        SitePages::Message(QStringLiteral("Receipt Not Available"),
                           QStringLiteral("This receipt was already shown, or has expired. Each "
                                          "registration's receipt is shown once, within 10 minutes.")),
        404);
}

} // namespace

std::optional<Fields> DecodeForm(const std::string& body) {
    Fields fields;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos)
            end = body.size();
        const std::string_view part(body.data() + start, end - start);
        if (!part.empty()) {
            const size_t equals = part.find('=');
            const std::optional<QString> name = decodeComponent(part.substr(0, equals));
            const std::optional<QString> value =
                equals == std::string_view::npos ? QString() : decodeComponent(part.substr(equals + 1));
            if (!name || !value)
                return std::nullopt;
            fields.append({*name, *value});
        }
        start = end + 1;
    }
    return fields;
}

SiteContext::SiteContext(const QString& siteDir)
    : m_dir(siteDir), m_stamper(siteDir, SiteKeys::DefaultPolicyOid()), m_tokens(siteDir), m_posts(siteDir),
      m_sessions(SessionCookie::LoadSecret(siteDir)) {}

SiteResponse StatusPage(int status) {
    switch (status) {
    case 413:
        return page(SitePages::Refusal(QStringLiteral("error:request-too-large")), 413);
    case 404:
        return page(SitePages::Message(QStringLiteral("Not Found"), QStringLiteral("There is no page here.")),
                    404);
    case 405:
        return page(SitePages::Message(QStringLiteral("Method Not Allowed"),
                                       QStringLiteral("This page does not take that method.")),
                    405);
    default:
        break;
    }
    return page(SitePages::Refusal(QLatin1String(kBadRequest)), status);
}

SiteResponse HandleRequest(const SiteContext& context, SiteWorker& worker, const SiteRequest& request) {
    const std::string& path = request.path;
    const bool get = request.method == "GET" || request.method == "HEAD";
    const bool post = request.method == "POST";
    if (path == HealthPath) {
        if (!get)
            return StatusPage(405);
        SiteResponse response;
        response.contentType = "application/json";
        if (worker.db.Ping()) {
            response.body = "{\"status\":\"ok\"}\n";
            response.outcome = QStringLiteral("healthy");
        } else {
            response.status = 503;
            response.body = "{\"status\":\"database unavailable\"}\n";
            response.outcome = QStringLiteral("unhealthy");
        }
        return response;
    }
    const bool known = path == Path::CertificateFirst || path == Path::CertificatePost ||
                       path == Path::Password || path == Path::Verify || path == SitePages::ReceiptPath;
    if (!known)
        return StatusPage(404);

    if (get) {
        if (path == Path::CertificateFirst) {
            SiteResponse response = page(SitePages::First(SitePages::FirstPage::CertificateLogin));
            response.headers.push_back(
                {"Set-Cookie",
                 SessionCookie::SetCookieValue(context.Sessions().Issue(context.now())).toStdString()});
            return response;
        }
        if (path == Path::Password)
            return page(SitePages::First(SitePages::FirstPage::PasswordRegistration));
        if (path == Path::Verify)
            return page(SitePages::First(SitePages::FirstPage::Verification));
        return StatusPage(405);
    }
    if (!post || path == Path::CertificateFirst)
        return StatusPage(405);

    // Fields come from the body only, never from the query.
    if (!isForm(request.contentType))
        return refusal(kBadRequest, QStringLiteral("not a form post"));
    const std::optional<Fields> fields = DecodeForm(request.body);
    if (!fields)
        return refusal(kBadRequest, QStringLiteral("undecodable form"));
    try {
        if (path == Path::CertificatePost)
            return certificatePost(context, worker, request, *fields);
        if (path == Path::Password)
            return passwordPost(context, worker, request, *fields);
        if (path == Path::Verify)
            return verifyPost(context, worker, request, *fields);
        return receipt(worker, *fields);
    } catch (const std::exception& e) {
        SiteResponse response =
            page(SitePages::Message(QStringLiteral("Site Error"),
                                    QStringLiteral("The site failed to answer this request.")),
                 500);
        response.outcome = QStringLiteral("failure");
        response.detail = QString::fromUtf8(e.what());
        return response;
    }
}
