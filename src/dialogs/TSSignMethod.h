#pragma once

#include "dialogs/TSCredentialsDialog.h"

class QRadioButton;

// The modal dialog in which the user chooses how a registration is signed: with a personal
// digital certificate, or with a user name and password sent to the registration site. The
// entries are checked only under the user/password method; a later show presents the option
// of the previous use too.
class TSSignMethod : public TSCredentialsDialog {
    Q_OBJECT
public:
    explicit TSSignMethod(QWidget* parent);

    // True: certificate method; False: user name and password.
    bool m_bCertificateChosen = false;

    // Resets the dialog: the certificate option selected, the user and password boxes empty
    // and greyed out, and the dialog counting as cancelled.
    void InitControls();

protected:
    bool EntriesChecked() const override;

private Q_SLOTS:
    void optCertificate_Click();
    void optUserPassword_Click();

private:
    void EnableUserPasswordControls(bool bEnable);

    QRadioButton* m_optCertificate;
    QRadioButton* m_optUserPassword;
};
