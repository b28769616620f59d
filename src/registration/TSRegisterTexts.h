#pragma once

#include <QString>
#include <QtGlobal>

// The register command's texts, and the small rules that pick or shape them, apart from any
// window so that they can be checked on their own.
namespace TSRegisterTexts {

// Documents of this many bytes or more get the longer wait texts (a decimal million, not 2^20).
constexpr qint64 kLargeDocument = 1000000;

// The progress window's caption.
QString ProgressCaption();
// The progress texts while the document is read, and while its registration is prepared; the
// long forms are two lines joined by CR LF.
QString ReadingText(qint64 documentLength);
QString FilingText(qint64 documentLength);
QString ContactingText();

// The open-file dialog's title and filter ("label|patterns|label|patterns|").
QString DialogTitle();
QString DialogFilter();

// The registration data as it is posted and stored: every LF, then every CR, then every blank
// removed (a certificate signature's Base64 lines become one line).
QString CleanRegistrationData(QString sRegistrationData);

// Whether a document name can be posted to the site and stored intact: a name holding a
// control character (U+0000 to U+001F, U+007F) cannot, since a form post turns a lone CR or LF
// into CR LF.
bool NameCanTravel(const QString& sDocumentName);

// The title of message boxes that name none of their own ("Error Message" is
// TSSiteExchange::ErrorTitle()).
QString ProgramTitle();

// Messages (see the command for when each is shown).
QString CannotCreateStore();
QString DialogFailed(qint32 lNumber, const QString& sDescription);
QString CannotOpenDocument();
QString NameHasControlCharacters();
QString RecreateQuestion();
QString ExistingDataKept();
QString CannotSetAside();
QString EmptyDocument();
QString CannotReadDocument();
QString RegistrationCancelled();
QString CryptoUnavailable();
QString NoCertificate();
QString SignatureFailed();
QString LocalCopyFailed();

} // namespace TSRegisterTexts
