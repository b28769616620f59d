#include "commands/TSCommandTexts.h"

#include <algorithm>

namespace TSCommandTexts {

namespace {

const QString kLargeFileNote = QStringLiteral("This may take a minute or two as this file is large...");
const QString kCrLf = QStringLiteral("\r\n");

// The site's refusals: one sentence each between the same lead and tail.
QString siteError(const QString& sentence) {
    return QStringLiteral("The registration server reported an error. Your file was not registered. ") +
           sentence + QStringLiteral("Please contact technical support for further assistance.");
}

QString text(TSMessage message, const QStringList& a) {
    switch (message) {
    case TSMessage::FileCannotBeRead:
        return QStringLiteral("The file cannot be read.");
    case TSMessage::CryptoUnavailable:
        return QStringLiteral("The cryptographic functions on your computer are not available. Try "
                              "reinstalling this application and/or Internet Explorer.");
    case TSMessage::CannotCreateStore:
        return QStringLiteral(
            "Cannot create 'Registered' directory for registered files. Check file permissions.");
    case TSMessage::DialogFailed:
        return QStringLiteral(
                   "The file dialog box could not be displayed. Please contact technical support. ") +
               kCrLf + QStringLiteral("Information for Support - ") + a.value(0) + QStringLiteral(" (") +
               a.value(1) + QStringLiteral(")");
    case TSMessage::CannotOpenDocument:
        return QStringLiteral("The file to be registered cannot be opened.");
    case TSMessage::NameHasControlCharacters:
        return QStringLiteral("The name of the file you selected contains control characters (such as a "
                              "line break), which cannot be sent to the registration site. Please rename "
                              "the file and select it again.");
    case TSMessage::ExistingDataKept:
        return QStringLiteral(
            "The existing registration data was kept. Nothing was sent to the registration site.");
    case TSMessage::CannotSetAside:
        return QStringLiteral("The existing registered files could not be deleted from the local database.");
    case TSMessage::EmptyDocument:
        return QStringLiteral(
            "The file you selected is empty (it contains no data). Please select a file with data.");
    case TSMessage::RegistrationCancelled:
        return QStringLiteral("Registration cancelled.");
    case TSMessage::NoCertificate:
        return QStringLiteral("You do not have a digital certificate available to digitally sign and "
                              "register your file. You must obtain an acceptable digital certificate "
                              "before you may register your file.");
    case TSMessage::SignatureFailed:
        return QStringLiteral(
            "Failed to generate signature. Contact technical support for further assistance.");
    case TSMessage::LocalCopyFailed:
        return QStringLiteral(
            "Your file was registered successfully with the Tessaro Server but a local copy could not be "
            "written due to a file system error. Contact technical support for further assistance.");
    case TSMessage::SiteDatabaseNotAvailable:
        return siteError(QStringLiteral("The registration database was not available. "));
    case TSMessage::SiteNotRegisteredUser:
        return siteError(QStringLiteral("You are not registered as a user with this database. "));
    case TSMessage::SiteRegistrationsTableClosed:
        return siteError(QStringLiteral("The registrations table could not be opened. "));
    case TSMessage::SiteSignatureNotVerified:
        return siteError(
            QStringLiteral("The digital signature on your file registration could not be verified. "));
    case TSMessage::SiteDatabaseNotUpdated:
        return siteError(QStringLiteral("This file may have already been registered. The registrations "
                                        "database could not be updated. "));
    case TSMessage::SiteOtherError:
        return siteError(QString());
    case TSMessage::DocumentCannotBeRead:
        return QStringLiteral("The document file cannot be read.");
    case TSMessage::LibraryError:
        // The library's error number in signed decimal, ":" and its description.
        return a.value(0) + QLatin1Char(':') + a.value(1);
    case TSMessage::DoesNotVerify:
        return QStringLiteral(
            "Local registration data does not verify. The file data in the local database has changed.");
    case TSMessage::Verified:
        return QStringLiteral("Local registration data verifies successfully. The data at the time of "
                              "registration was:") +
               kCrLf + kCrLf + QStringLiteral("Local Registration Time Stamp: ") + a.value(0) + kCrLf +
               QStringLiteral("Local Registered File Name: ") + a.value(1) + kCrLf;
    case TSMessage::VerificationCancelled:
        return QStringLiteral("Verification cancelled.");
    }
    return QString();
}

} // namespace

TSMessageText MessageText(TSMessage message, const QStringList& arguments) {
    TSMessageText shown{TSIcon::Stop, ErrorTitle(), text(message, arguments)};
    switch (message) {
    case TSMessage::CannotCreateStore:
    case TSMessage::DialogFailed:
        shown.title = ProgramTitle();
        break;
    case TSMessage::ExistingDataKept:
    case TSMessage::RegistrationCancelled:
    case TSMessage::LibraryError:
    case TSMessage::VerificationCancelled:
        shown.icon = TSIcon::None;
        shown.title = ProgramTitle();
        break;
    case TSMessage::Verified:
        shown.icon = TSIcon::None;
        shown.title = QStringLiteral("Local Registration Data Verified Successfully");
        break;
    default:
        break;
    }
    return shown;
}

QString ProgramTitle() {
    return QStringLiteral("Tessaro");
}

QString ErrorTitle() {
    return QStringLiteral("Error Message");
}

TSMessageText RecreateQuestion() {
    return {TSIcon::Exclamation, ErrorTitle(),
            QStringLiteral(
                "This file already exists in the local registration database and the registration data for "
                "this file has previously been created. Click 'Yes' to re-create the registration data "
                "using today's date which will replace the previous data and overwrite the file in the "
                "registration database (not recommended). Choose 'No' to use the existing data "
                "(recommended).")};
}

QString RegisterCaption() {
    return QStringLiteral("Registration in Progress");
}

QString ReadingText(qint64 documentLength) {
    if (documentLength < kLargeDocument)
        return QStringLiteral("Please wait while your file is read...");
    // Worded as the users of this program have always seen it.
    return QStringLiteral("Please wait while you file is read.") + kCrLf + kLargeFileNote;
}

QString FilingText(qint64 documentLength) {
    if (documentLength < kLargeDocument)
        return QStringLiteral("Please wait while your file is prepared for filing...");
    return QStringLiteral("Please wait while you file is prepared for filing.") + kCrLf + kLargeFileNote;
}

QString ContactingText() {
    return QStringLiteral("Contacting Tessaro Web Site...");
}

QString VerifyCaption() {
    return QStringLiteral("Verification in Progress");
}

QString VerifyingText() {
    return QStringLiteral("Please wait while your file is verified...");
}

QString RegisterDialogTitle() {
    return QStringLiteral("Select a File to Register");
}

QString RegisterDialogFilter() {
    return QStringLiteral("All Files") + QStringLiteral(" (*.*)|*.*|") + QStringLiteral("Documents") +
           QStringLiteral(" (doc,htm,txt,wri,wpd,rtf)|") +
           QStringLiteral("*.doc;*.htm;*.html;*.txt;*.wri;*.wpd;*.rtf|");
}

QString VerifyDialogTitle() {
    return QStringLiteral("Select a File to Verify Registration Locally");
}

QString VerifyDialogFilter() {
    return QStringLiteral("Registered Files") + QStringLiteral(" (*.p7s)|") + QStringLiteral("*.p7s");
}

QString HomeInitialFileName(const QString& home) {
    QString name = home.isEmpty() ? QStringLiteral("/") : home;
    if (!name.endsWith(u'/'))
        name += u'/';
    return name + QLatin1String("*.*");
}

QString HomeInitialFileName() {
    return HomeInitialFileName(qEnvironmentVariable("HOME"));
}

QString FallbackInitialFileName() {
    return QStringLiteral("/*.*");
}

QString CleanRegistrationData(QString sRegistrationData) {
    sRegistrationData.remove(QLatin1Char('\n'));
    sRegistrationData.remove(QLatin1Char('\r'));
    sRegistrationData.remove(QLatin1Char(' '));
    return sRegistrationData;
}

bool NameCanTravel(const QString& sDocumentName) {
    return std::none_of(sDocumentName.begin(), sDocumentName.end(),
                        [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
}

} // namespace TSCommandTexts
