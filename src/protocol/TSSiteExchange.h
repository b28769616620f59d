#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <optional>

// The exchange with the registration site, shared by the client and the service: where each
// request goes, the fields it posts, what a reply page means, and the site's signature in a
// reply. These constants are the single source for both sides.
namespace TSSiteExchange {

// The paths of the site's pages, below its origin.
namespace Path {
inline constexpr char CertificateFirst[] = "/tessaro/user/login.asp";
inline constexpr char CertificatePost[] = "/tessaro/user/regfile.asp";
inline constexpr char Password[] = "/scripts/register/regfile.asp";
inline constexpr char Verify[] = "/scripts/register/verify.asp";
} // namespace Path

// The names of the posted fields.
namespace Field {
inline constexpr char Tessaro[] = "tessaro";
inline constexpr char FileName[] = "filename";
inline constexpr char FileHash[] = "filehash";
inline constexpr char User[] = "user";
inline constexpr char Password[] = "pwd";
inline constexpr char Signature[] = "sig";
} // namespace Field

// The markers around the site's signature in a reply page.
inline constexpr char SignatureStart[] = "<!-- SIG:[";
inline constexpr char SignatureEnd[] = "] -->";
// Every site record begins with this, letter case included.
inline constexpr char SiteRecordPrefix[] = "V.01_";
// The cookie of the certificate method's session, set by its first page.
inline constexpr char SessionCookie[] = "TSSESSION";

// The hidden fields of one request as (name, value) pairs in posting order. Values are kept
// exactly as given; escaping them for markup is the form builder's job.
using FormFields = QList<QPair<QString, QString>>;

enum class Request { RegisterCertificate, RegisterPassword, Verify };

// The page opened first, to which the form is then added, and where that form posts.
struct Endpoints {
    QString firstPage;
    QString formAction;
};

// The site's origin built into the program.
QString BuiltInOrigin();

// TESSARO_SITE_ORIGIN's value as an origin: "https://" + host + optional ":" port, one
// trailing "/" dropped, host in lower case. Nothing for any other text (a path, a query, user
// information, another scheme, blanks, a bad port).
std::optional<QString> ParseOrigin(const QString& sValue);

// The origin in use: TESSARO_SITE_ORIGIN when it holds an https origin, else the built-in
// one. A value that is set but not an origin is ignored with a warning on standard error.
QString SiteOrigin();

Endpoints EndpointsFor(Request request, const QString& sOrigin);

// Register with a personal certificate: tessaro, filename.
FormFields CertificateRegistrationFields(const QString& sRegistrationData, const QString& sDocumentName);
// Register with user name and password: filename, filehash, user, pwd.
FormFields PasswordRegistrationFields(const QString& sDocumentName, const QString& sFingerprint,
                                      const QString& sUser, const QString& sPassword);
// Verify a site record: filename (the copy's full path), filehash, user, pwd, sig.
FormFields VerifyFields(const QString& sCopyPath, const QString& sFingerprint, const QString& sUser,
                        const QString& sPassword, const QString& sRecordText);

// The id of the form added to a page, and of the form a site reply carries.
QString FormId();

// What a reply page says, in the order the codes are tested.
enum class Reply {
    Accepted,
    DatabaseNotAvailable,     // error:dberror-open
    NotRegisteredUser,        // error:dberror-rs-users
    RegistrationsTableClosed, // error:dberror-rs-registrations
    SignatureNotVerified,     // error:signature-verification-failure
    DatabaseNotUpdated,       // error:dberror-update
    OtherError,               // any other "error:"
};

// The code a site puts into a refusal page ("error:dberror-open", ...); empty for Accepted and
// OtherError.
QString ReplyCode(Reply reply);

// Classifies a reply's markup: any "error:" (ASCII letters in any case) is an error, the
// first of the five named codes found in table order decides which; none found is the
// general error.
Reply ClassifyReply(const QString& sReply);

// The site's signature: the text between the first "<!-- SIG:[" and the first "] -->" of the
// reply, untrimmed. Nothing when either marker is missing or the end marker begins before the
// start marker ends. The text may be empty.
std::optional<QString> TakeSiteSignature(const QString& sReply);
// A signature that can be kept: present and not empty or spaces only.
bool IsUsableSignature(const std::optional<QString>& sSignature);

// The local pages shown when a first page fails to load, and when a registration's post does.
QString NoAccessPage();
QString NoRegisterPage();

} // namespace TSSiteExchange
