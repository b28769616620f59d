#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// The modal dialog in which the user chooses how a registration is signed: with a personal
// digital certificate, or with a user name and password sent to the registration site.
//
// The caller creates it once with its window as parent, keeps it, and shows it with exec()
// each time; after it hides, m_bCancelled tells whether OK was accepted, and the other fields
// carry the choice. OK and Cancel only hide the dialog, so a later show presents the option
// and the texts of the previous use. Any way of closing other than an accepted OK (Cancel,
// Esc, the close box, hiding it) counts as Cancel.
class TSSignMethod : public QDialog {
    Q_OBJECT
public:
    explicit TSSignMethod(QWidget* parent);

    // True: certificate method; False: user name and password.
    bool m_bCertificateChosen = false;
    // True unless the last closing was an accepted OK.
    bool m_bCancelled = false;
    // The user name and password exactly as typed (spaces kept), set on OK; empty after Cancel.
    QString m_sUser;
    QString m_sPassword;

    // Resets the dialog: the certificate option selected, the user and password boxes empty
    // and greyed out, and the dialog counting as cancelled.
    void InitControls();

    void setVisible(bool visible) override;

public Q_SLOTS:
    // Enter and the OK button: accepted only when the entries pass the checks.
    void accept() override;
    // Esc, the close box and the Cancel button.
    void reject() override;

private Q_SLOTS:
    void btnOK_Click();
    void btnCancel_Click();
    void optCertificate_Click();
    void optUserPassword_Click();

private:
    void EnableUserPasswordControls(bool bEnable);

    QLabel* m_Label1;
    QRadioButton* m_optCertificate;
    QRadioButton* m_optUserPassword;
    QLineEdit* m_txtUser;
    QLineEdit* m_txtPassword;
    QPushButton* m_btnOK;
    QPushButton* m_btnCancel;
    QLabel* m_lblUser;
    QLabel* m_lblPassword;
    // Set once OK or Cancel has decided how the current show ends.
    bool m_bAnswered = false;
};
