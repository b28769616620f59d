#pragma once

#include <QMessageBox>
#include <QString>

class TSShell;

// View > Registered Files...: the user picks a registration record from the local store; the
// command reads it and the document copy kept beside it, fingerprints the copy and verifies the
// registration. A certificate record is checked here and its signed time stamp and document name
// are shown; a site record goes back to the registration site's verify page with the fresh
// fingerprint, after the user name and password are asked for, and the site's reply stays in
// the browser pane.
//
// The command runs inside the main window's command guard and reaches the window only through
// TSShell. When the user abandons it (Exit, or closing the main window) while it lets events
// run, it returns at once with no further step or message.
class TSVerifyCommand {
public:
    // The extension of a file name without its dot (the program's FindExtension): the copy's
    // name is the record's title less that extension and its dot.
    using ExtensionFinder = QString (*)(const QString& sFileName);

    TSVerifyCommand(TSShell& shell, ExtensionFinder findExtension);
    TSVerifyCommand(const TSVerifyCommand&) = delete;
    TSVerifyCommand& operator=(const TSVerifyCommand&) = delete;

    // Runs the command from the open-file dialog to its end. No exception leaves it: an
    // unexpected one ends the command with "The file cannot be read." while the record is read,
    // "The document file cannot be read." while the copy is, the cryptographic-functions
    // message after that.
    void Run();

private:
    // Where the command is, for the message of an unexpected failure: reading the record,
    // reading the copy, or checking.
    enum class Stage { Record, Copy, Check };

    void runSteps();
    void verifyLocally(const QString& sRecordText, const QString& sFingerprint);
    void verifyAtSite(const QString& sRecordText, const QString& sCopyPath, const QString& sFingerprint);

    void showProgress();
    void hideProgress();
    // A modal message box with an OK button; false when the command was abandoned meanwhile.
    bool message(const QString& sText, QMessageBox::Icon icon, const QString& sTitle);

    TSShell& m_shell;
    ExtensionFinder m_findExtension;
    Stage m_stage = Stage::Record;
};
