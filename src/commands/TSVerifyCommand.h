#pragma once

#include "commands/TSCommandTexts.h"

#include <QString>

class TSPane;
class TSUser;

// View > Registered Files...: the user picks a registration record from the local store; the
// command reads it and the document copy kept beside it, fingerprints the copy and verifies the
// registration. A certificate record is checked here and its signed time stamp and document name
// are shown; a site record goes back to the registration site's verify page with the fresh
// fingerprint, after the user name and password are asked for, and the site's reply stays in
// the browser pane.
//
// The command talks to the user and to the browser pane through the two interfaces it is given.
// When the user abandons it (Exit, or closing the main window) while it lets events run, it
// returns at once with no further step or message.
class TSVerifyCommand {
public:
    // The extension of a file name without its dot (the program's FindExtension): the copy's
    // name is the record's title less that extension and its dot.
    using ExtensionFinder = QString (*)(const QString& sFileName);

    // The store is the one beside the program in sProgramFolder.
    TSVerifyCommand(TSUser& user, TSPane& pane, const QString& sProgramFolder, ExtensionFinder findExtension);
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

    // Shows the progress window and lets events run once; false when abandoned.
    bool showProgress();
    // Tells the user; false when the command was abandoned meanwhile.
    bool tell(TSMessage message, const QStringList& arguments = {});

    TSUser& m_user;
    TSPane& m_pane;
    QString m_sProgramFolder;
    ExtensionFinder m_findExtension;
    Stage m_stage = Stage::Record;
};
