#pragma once

#include "certstore/CertLibrary.h"
#include "commands/TSCommandTexts.h"

#include <QList>
#include <QString>

#include <optional>

// What the register and verify commands ask of the user and tell the user. The main window
// answers through its real dialogs and message boxes; a test answers through a fake. Every
// call that shows something modal lets events run: the command tests TSPane::abandoned() after
// it.
class TSUser {
public:
    virtual ~TSUser() = default;

    // --- The open-file dialog (existing files only, symbolic links not followed)
    struct FileRequest {
        QString title;
        // A folder followed by "/" and a pattern: the dialog starts in that folder.
        QString initialFileName;
        // Entries "label|patterns|label|patterns|", patterns separated by ";".
        QString filter;
    };
    struct FileChoice {
        enum class Outcome { Chosen, Cancelled, Failed };
        Outcome outcome = Outcome::Cancelled;
        QString path;  // Chosen: the full path
        QString title; // Chosen: the file's name with its extension, without the folder
        // Failed (the dialog could not be shown): the system's error number and what failed.
        qint32 errorNumber = 0;
        QString errorDescription;
    };
    virtual FileChoice ChooseFile(const FileRequest& request) = 0;

    // --- Questions
    struct SignMethod {
        bool certificate = true; // false: user name and password, sent to the site
        QString user;
        QString password;
    };
    // The sign-method dialog; nothing when the user cancelled it.
    virtual std::optional<SignMethod> AskSignMethod() = 0;
    struct Credentials {
        QString user;
        QString password;
    };
    // The login dialog of a site record's verification; nothing when the user cancelled it.
    virtual std::optional<Credentials> AskCredentials() = 0;
    // The re-create question (TSCommandTexts::RecreateQuestion): true for Yes only; No, Esc and
    // closing it are No.
    virtual bool AskRecreate() = 0;

    // --- What the certificate store needs while it signs
    // The certificate to sign with, among several fit for signing (index into the list, in its
    // order); nothing when the user cancelled the choice.
    virtual std::optional<qsizetype> ChooseCertificate(const QList<Certificate>& certificates) = 0;
    // The password of a protected certificate database or token, named by tokenLabel;
    // bWrongBefore after a wrong one. Nothing when the user cancelled.
    virtual std::optional<QString> AskTokenPassword(const QString& tokenLabel, bool bWrongBefore) = 0;

    // --- Telling
    // A modal message box with an OK button, by identity (TSCommandTexts::MessageText).
    virtual void Tell(TSMessage message, const QStringList& arguments = {}) = 0;

    // --- The progress window and the main window
    // Sets the caption and the step text, shows the window without modality over the main
    // window, with the busy pointer when bBusy, and paints it at once.
    virtual void ShowProgress(const QString& caption, const QString& text, bool bBusy) = 0;
    virtual void SetProgressText(const QString& text) = 0;
    // Puts the pointer back and hides the window; with bRefreshMain, repaints the main window.
    virtual void HideProgress(bool bRefreshMain = false) = 0;

protected:
    TSUser() = default;
    TSUser(const TSUser&) = default;
    TSUser& operator=(const TSUser&) = default;
};
