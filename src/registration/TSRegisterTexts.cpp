#include "registration/TSRegisterTexts.h"

#include <algorithm>

namespace TSRegisterTexts {

namespace {
const QString kLargeFileNote = QStringLiteral("This may take a minute or two as this file is large...");
} // namespace

QString ProgressCaption() {
    return QStringLiteral("Registration in Progress");
}

QString ReadingText(qint64 documentLength) {
    if (documentLength < kLargeDocument)
        return QStringLiteral("Please wait while your file is read...");
    // Worded as the users of this program have always seen it.
    return QStringLiteral("Please wait while you file is read.\r\n") + kLargeFileNote;
}

QString FilingText(qint64 documentLength) {
    if (documentLength < kLargeDocument)
        return QStringLiteral("Please wait while your file is prepared for filing...");
    return QStringLiteral("Please wait while you file is prepared for filing.\r\n") + kLargeFileNote;
}

QString ContactingText() {
    return QStringLiteral("Contacting Tessaro Web Site...");
}

QString DialogTitle() {
    return QStringLiteral("Select a File to Register");
}

QString DialogFilter() {
    return QStringLiteral("All Files") + QStringLiteral(" (*.*)|*.*|") + QStringLiteral("Documents") +
           QStringLiteral(" (doc,htm,txt,wri,wpd,rtf)|") +
           QStringLiteral("*.doc;*.htm;*.html;*.txt;*.wri;*.wpd;*.rtf|");
}

QString CleanRegistrationData(QString sRegistrationData) {
    sRegistrationData.remove(QLatin1Char('\n'));
    sRegistrationData.remove(QLatin1Char('\r'));
    sRegistrationData.remove(QLatin1Char(' '));
    return sRegistrationData;
}

QString ProgramTitle() {
    return QStringLiteral("Tessaro");
}

QString CannotCreateStore() {
    return QStringLiteral(
        "Cannot create 'Registered' directory for registered files. Check file permissions.");
}

QString DialogFailed(qint32 lNumber, const QString& sDescription) {
    return QStringLiteral("The file dialog box could not be displayed. Please contact technical support. ") +
           QStringLiteral("\r\n") + QStringLiteral("Information for Support - ") + QString::number(lNumber) +
           QStringLiteral(" (") + sDescription + QStringLiteral(")");
}

QString CannotOpenDocument() {
    return QStringLiteral("The file to be registered cannot be opened.");
}

bool NameCanTravel(const QString& sDocumentName) {
    return std::none_of(sDocumentName.begin(), sDocumentName.end(),
                        [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
}

QString NameHasControlCharacters() {
    return QStringLiteral("The name of the file you selected contains control characters (such as a line "
                          "break), which cannot be sent to the registration site. Please rename the file "
                          "and select it again.");
}

QString RecreateQuestion() {
    return QStringLiteral(
        "This file already exists in the local registration database and the registration data for this "
        "file has previously been created. Click 'Yes' to re-create the registration data using today's "
        "date which will replace the previous data and overwrite the file in the registration database "
        "(not recommended). Choose 'No' to use the existing data (recommended).");
}

QString ExistingDataKept() {
    return QStringLiteral(
        "The existing registration data was kept. Nothing was sent to the registration site.");
}

QString CannotSetAside() {
    return QStringLiteral("The existing registered files could not be deleted from the local database.");
}

QString EmptyDocument() {
    return QStringLiteral(
        "The file you selected is empty (it contains no data). Please select a file with data.");
}

QString CannotReadDocument() {
    return QStringLiteral("The file cannot be read.");
}

QString RegistrationCancelled() {
    return QStringLiteral("Registration cancelled.");
}

QString CryptoUnavailable() {
    return QStringLiteral("The cryptographic functions on your computer are not available. Try "
                          "reinstalling this application and/or Internet Explorer.");
}

QString NoCertificate() {
    return QStringLiteral(
        "You do not have a digital certificate available to digitally sign and register your file. You "
        "must obtain an acceptable digital certificate before you may register your file.");
}

QString SignatureFailed() {
    return QStringLiteral("Failed to generate signature. Contact technical support for further assistance.");
}

QString LocalCopyFailed() {
    return QStringLiteral(
        "Your file was registered successfully with the Tessaro Server but a local copy could not be "
        "written due to a file system error. Contact technical support for further assistance.");
}

} // namespace TSRegisterTexts
