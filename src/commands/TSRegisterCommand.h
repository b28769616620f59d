#pragma once

#include "commands/TSCommandTexts.h"
#include "store/TSRegistrationStore.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class TSPane;
class TSUser;

// File > Register: registers one document chosen by the user with the registration site and
// keeps its record and a copy of it in the local registration store.
//
// One object runs the command once (Run), talking to the user and to the browser pane through
// the two interfaces it is given, as a sequence of steps each ending in its own check point: a
// step that fails tells the user (a message box or a local page) and the command ends there.
// Nothing of a run outlives it except the store's files and the page in the browser pane.
//
// No exception leaves Run: an unexpected one ends the command with "The file cannot be read."
// until the document has been read, the cryptographic-functions message after that.
//
// When the user abandons the command (Exit, or closing the main window, while it runs), the
// first check after the event that did it ends the command: no further step, message or store
// write, and a record pair set aside for re-creation goes back under its names.
class TSRegisterCommand {
public:
    // The store is the one beside the program in sProgramFolder.
    TSRegisterCommand(TSUser& user, TSPane& pane, const QString& sProgramFolder);
    TSRegisterCommand(const TSRegisterCommand&) = delete;
    TSRegisterCommand& operator=(const TSRegisterCommand&) = delete;
    ~TSRegisterCommand();

    void Run();

private:
    void RunSteps();
    // The steps, in order; each answers whether the command goes on. SignWithCertificate does
    // nothing for the user-name-and-password method, TakeSiteSignature nothing for the
    // certificate method.
    bool EnableCertificatePrompt();
    bool EnsureStoreFolder();
    bool ChooseDocument();
    bool OpenDocument();
    bool DealWithExistingRecord();
    bool ReadDocument();
    bool ChooseSignMethod();
    bool Fingerprint();
    bool SignWithCertificate();
    bool Submit();
    bool TakeSiteSignature();
    bool WritePair();

    // Tells the user (nothing once the command is abandoned).
    void Tell(TSMessage message, const QStringList& arguments = {});
    // Hides the progress window and repaints the main window, then tells the message: how most
    // failures after the document has been read end.
    void FailAfterReading(TSMessage message);
    bool abandoned() const;

    TSUser& m_user;
    TSPane& m_pane;
    TSRegistrationStore m_store;

    QString m_sDocumentPath;
    QString m_sDocumentName;
    TSOpenFile m_document;
    qint64 m_lDocumentLength = 0;
    bool m_bDocumentRead = false;
    // The command's unpublished files in the store: the existing pair, set aside when the user
    // chose to re-create it, and the new copy, written as the document is read. Put right when this object
    // ends unless the new pair has been published.
    std::unique_ptr<TSPendingPair> m_pending;
    bool m_bProgressShown = false;

    bool m_bCertificateChosen = false;
    QString m_sUser;
    QString m_sPassword;
    // The fingerprint of the copy, taken as it was written; none when the crypto provider failed.
    std::optional<QString> m_fingerprint;
    QString m_sRegistrationData;
    QString m_sReply;
};
