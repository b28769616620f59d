// Every message the commands show, word for word, with its icon and title; the texts that depend
// on a value; and the small rules that shape what is posted.

#include "commands/TSCommandTexts.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace TSCommandTexts;

namespace {

QString shown(const char* name, const TSMessageText& m) {
    return u"%1: %2|%3|%4"_s.arg(QLatin1String(name)).arg(int(m.icon)).arg(m.title, m.text);
}

QString site(const QString& sentence) {
    return u"The registration server reported an error. Your file was not registered. "_s + sentence +
           u"Please contact technical support for further assistance."_s;
}

} // namespace

class TestCommandTexts : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void messages() {
        using M = TSMessage;
        const TSIcon stop = TSIcon::Stop, none = TSIcon::None;
        const QString error = u"Error Message"_s, program = u"Tessaro"_s;
        QStringList got, expected;
        const auto row = [&](const char* name, TSMessage message, TSIcon icon, const QString& title,
                             const QString& text, const QStringList& arguments = {}) {
            got << shown(name, MessageText(message, arguments));
            expected << shown(name, {icon, title, text});
        };
        row("file", M::FileCannotBeRead, stop, error, u"The file cannot be read."_s);
        row("crypto", M::CryptoUnavailable, stop, error,
            u"The cryptographic functions on your computer are not available. Try reinstalling this "
            "application and/or Internet Explorer."_s);
        row("store", M::CannotCreateStore, stop, program,
            u"Cannot create 'Registered' directory for registered files. Check file permissions."_s);
        row("dialog", M::DialogFailed, stop, program,
            u"The file dialog box could not be displayed. Please contact technical support. \r\nInformation "
            "for Support - 2 (No such file or directory)"_s,
            {u"2"_s, u"No such file or directory"_s});
        row("open", M::CannotOpenDocument, stop, error, u"The file to be registered cannot be opened."_s);
        row("control", M::NameHasControlCharacters, stop, error,
            u"The name of the file you selected contains control characters (such as a line break), which "
            "cannot be sent to the registration site. Please rename the file and select it again."_s);
        row("kept", M::ExistingDataKept, none, program,
            u"The existing registration data was kept. Nothing was sent to the registration site."_s);
        row("set aside", M::CannotSetAside, stop, error,
            u"The existing registered files could not be deleted from the local database."_s);
        row("empty", M::EmptyDocument, stop, error,
            u"The file you selected is empty (it contains no data). Please select a file with data."_s);
        row("cancelled", M::RegistrationCancelled, none, program, u"Registration cancelled."_s);
        row("no certificate", M::NoCertificate, stop, error,
            u"You do not have a digital certificate available to digitally sign and register your file. You "
            "must obtain an acceptable digital certificate before you may register your file."_s);
        row("signature", M::SignatureFailed, stop, error,
            u"Failed to generate signature. Contact technical support for further assistance."_s);
        row("local copy", M::LocalCopyFailed, stop, error,
            u"Your file was registered successfully with the Tessaro Server but a local copy could not be "
            "written due to a file system error. Contact technical support for further assistance."_s);
        row("dberror-open", M::SiteDatabaseNotAvailable, stop, error,
            site(u"The registration database was not available. "_s));
        row("dberror-rs-users", M::SiteNotRegisteredUser, stop, error,
            site(u"You are not registered as a user with this database. "_s));
        row("dberror-rs-registrations", M::SiteRegistrationsTableClosed, stop, error,
            site(u"The registrations table could not be opened. "_s));
        row("signature-verification-failure", M::SiteSignatureNotVerified, stop, error,
            site(u"The digital signature on your file registration could not be verified. "_s));
        row("dberror-update", M::SiteDatabaseNotUpdated, stop, error,
            site(u"This file may have already been registered. The registrations database could not be "
                 "updated. "_s));
        row("other code", M::SiteOtherError, stop, error, site(QString()));
        row("document", M::DocumentCannotBeRead, stop, error, u"The document file cannot be read."_s);
        row("library error", M::LibraryError, none, program, u"-8182:bad signature"_s,
            {u"-8182"_s, u"bad signature"_s});
        row("does not verify", M::DoesNotVerify, stop, error,
            u"Local registration data does not verify. The file data in the local database has changed."_s);
        row("verified", M::Verified, none, u"Local Registration Data Verified Successfully"_s,
            u"Local registration data verifies successfully. The data at the time of registration was:\r\n"
            "\r\nLocal Registration Time Stamp: 3/14/2005 9:15:23 AM\r\nLocal Registered File Name: a.doc\r\n"_s,
            {u"3/14/2005 9:15:23 AM"_s, u"a.doc"_s});
        row("verification cancelled", M::VerificationCancelled, none, program, u"Verification cancelled."_s);
        got << shown("re-create", RecreateQuestion());
        expected << shown(
            "re-create", {TSIcon::Exclamation, error,
                          u"This file already exists in the local registration database and the registration "
                          "data for this file has previously been created. Click 'Yes' to re-create the "
                          "registration data using today's date which will replace the previous data and "
                          "overwrite the file in the registration database (not recommended). Choose 'No' "
                          "to use the existing data (recommended)."_s});
        QCOMPARE(got, expected);
    }

    // The progress window's and the open-file dialog's texts; the long wait texts from 1,000,000
    // bytes on, lengths being 64-bit.
    void windowTexts() {
        QCOMPARE(RegisterCaption(), u"Registration in Progress"_s);
        QCOMPARE(VerifyCaption(), u"Verification in Progress"_s);
        QCOMPARE(ContactingText(), u"Contacting Tessaro Web Site..."_s);
        QCOMPARE(RegisterDialogTitle(), u"Select a File to Register"_s);
        QCOMPARE(VerifyDialogTitle(), u"Select a File to Verify Registration Locally"_s);
        QCOMPARE(ReadingText(999999), u"Please wait while your file is read..."_s);
        QCOMPARE(FilingText(999999), u"Please wait while your file is prepared for filing..."_s);
        const QString note = u"\r\nThis may take a minute or two as this file is large..."_s;
        for (const qint64 length : {qint64(1000000), qint64(4294967301)}) {
            QCOMPARE(ReadingText(length), u"Please wait while you file is read."_s + note);
            QCOMPARE(FilingText(length), u"Please wait while you file is prepared for filing."_s + note);
        }
        QCOMPARE(VerifyingText(), u"Please wait while your file is verified..."_s);
        QCOMPARE(RegisterDialogFilter(), u"All Files (*.*)|*.*|Documents (doc,htm,txt,wri,wpd,rtf)|"
                                         "*.doc;*.htm;*.html;*.txt;*.wri;*.wpd;*.rtf|"_s);
        QCOMPARE(VerifyDialogFilter(), u"Registered Files (*.p7s)|*.p7s"_s);
        QCOMPARE(HomeInitialFileName(u"/home/ann"_s), u"/home/ann/*.*"_s);
        QCOMPARE(HomeInitialFileName(u"/home/ann/"_s), u"/home/ann/*.*"_s);
        QCOMPARE(HomeInitialFileName(QString()), u"/*.*"_s);
    }

    // Control characters cannot travel in a form post intact; every other character can.
    void nameCanTravel() {
        for (const char16_t c : {u'\0', u'\t', u'\n', u'\r', u'\x1f', u'\x7f'})
            QVERIFY(!NameCanTravel(u"a"_s + QChar(c) + u".doc"_s));
        QVERIFY(NameCanTravel(u" ~\u0080\u00a0é東 📄.doc"_s));
        QCOMPARE(CleanRegistrationData(u"MIIB\r\nAbc d\n"_s), u"MIIBAbcd"_s);
    }
};

QTEST_APPLESS_MAIN(TestCommandTexts)
#include "test_commandtexts.moc"
