#pragma once

#include "commands/TSUser.h"

#include <QPointer>

#include <memory>

class CD1;
class TSLogin;
class TSRegForm;
class TSSignMethod;

// The user as the commands see it, answered through the real widgets over the main window: the
// open-file dialog CD1, the sign-method and login dialogs (created at their first use, then
// kept and only shown and hidden, so that each shows the entries of its last use), the
// certificate chooser, the token password dialog, the message boxes, and the progress window.
class TSWidgetUser : public TSUser {
public:
    explicit TSWidgetUser(TSRegForm& form);
    ~TSWidgetUser() override;

    FileChoice ChooseFile(const FileRequest& request) override;
    std::optional<SignMethod> AskSignMethod() override;
    std::optional<Credentials> AskCredentials() override;
    bool AskRecreate() override;
    std::optional<qsizetype> ChooseCertificate(const QList<Certificate>& certificates) override;
    std::optional<QString> AskTokenPassword(const QString& tokenLabel, bool bWrongBefore) override;
    void Tell(TSMessage message, const QStringList& arguments = {}) override;
    void ShowProgress(const QString& caption, const QString& text, bool bBusy) override;
    void SetProgressText(const QString& text) override;
    void HideProgress(bool bRefreshMain = false) override;

private:
    TSRegForm& m_form;
    std::unique_ptr<CD1> m_cd1;
    QPointer<TSSignMethod> m_signMethod;
    QPointer<TSLogin> m_login;
    SigningPrompts m_signing; // the certificate chooser and the token password dialog
};
