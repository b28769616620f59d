#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Every text the register and verify commands show, and the small rules that pick or shape
// them. Message boxes are told by identity; MessageText gives the one wording of each.

// A message the user is told, by identity.
enum class TSMessage {
    // Both commands
    FileCannotBeRead,  // "The file cannot be read."
    CryptoUnavailable, // the cryptographic-functions message
    // The register command
    CannotCreateStore,
    DialogFailed, // arguments: the failure's number, its description
    CannotOpenDocument,
    NameHasControlCharacters,
    ExistingDataKept,
    CannotSetAside,
    EmptyDocument,
    RegistrationCancelled,
    NoCertificate,
    SignatureFailed,
    LocalCopyFailed,
    // The site's refusals, in the order their codes are tested
    SiteDatabaseNotAvailable,
    SiteNotRegisteredUser,
    SiteRegistrationsTableClosed,
    SiteSignatureNotVerified,
    SiteDatabaseNotUpdated,
    SiteOtherError,
    // The verify command
    DocumentCannotBeRead,
    LibraryError, // arguments: the library's error number, its description
    DoesNotVerify,
    Verified, // arguments: the time stamp, the registered file name
    VerificationCancelled,
};

// The icon of a message box: none, the stop sign, or the exclamation mark.
enum class TSIcon { None, Stop, Exclamation };

// A message box as the user sees it: one OK button, this icon, title and text.
struct TSMessageText {
    TSIcon icon = TSIcon::None;
    QString title;
    QString text;
};

namespace TSCommandTexts {

// The message of an identity; arguments fill the messages that carry values, in the order the
// identity names them.
TSMessageText MessageText(TSMessage message, const QStringList& arguments = {});

// The title of message boxes that name none of their own, and that of nearly every failure.
QString ProgramTitle(); // "Tessaro"
QString ErrorTitle();   // "Error Message"

// The re-create question (exclamation mark, Yes and No, No the default and the escape answer).
TSMessageText RecreateQuestion();

// Documents of this many bytes or more get the longer wait texts (a decimal million, not 2^20).
constexpr qint64 kLargeDocument = 1000000;

// The progress window: its captions and step texts. The long forms are two lines joined by CR LF.
QString RegisterCaption();
QString ReadingText(qint64 documentLength);
QString FilingText(qint64 documentLength);
QString ContactingText();
QString VerifyCaption();
QString VerifyingText();

// The open-file dialog: titles and filters ("label|patterns|label|patterns|").
QString RegisterDialogTitle();
QString RegisterDialogFilter();
QString VerifyDialogTitle();
QString VerifyDialogFilter();

// The register command's starting folder: the home folder ($HOME, or "/" when that is unset or
// empty) followed by "/*.*"; the second try starts at the root.
QString HomeInitialFileName(const QString& home);
QString HomeInitialFileName();
QString FallbackInitialFileName();

// The registration data as it is posted and stored: every LF, then every CR, then every blank
// removed (a certificate signature's Base64 lines become one line).
QString CleanRegistrationData(QString sRegistrationData);

// Whether a document name can be posted to the site and stored intact: a name holding a
// control character (U+0000 to U+001F, U+007F) cannot, since a form post turns a lone CR or LF
// into CR LF.
bool NameCanTravel(const QString& sDocumentName);

} // namespace TSCommandTexts
