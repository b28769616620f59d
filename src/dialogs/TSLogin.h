#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

// The modal dialog that asks for the user name and password sent with a verification request
// to the registration site.
//
// The caller creates it once with its window as parent, keeps it, and shows it with exec()
// each time; after it hides, m_bCancelled tells whether OK was accepted, and m_sUser and
// m_sPassword carry the entries. OK and Cancel only hide the dialog, so a later show presents
// the texts of the previous use. Any way of closing other than an accepted OK (Cancel, Esc,
// the close box, hiding it) counts as Cancel.
class TSLogin : public QDialog {
    Q_OBJECT
public:
    explicit TSLogin(QWidget* parent);

    // True after Cancel (or any other closing but OK); False after an accepted OK.
    bool m_bCancelled = false;
    // The user name and password exactly as typed (spaces kept), set on OK; empty after Cancel.
    QString m_sUser;
    QString m_sPassword;

    void setVisible(bool visible) override;

public Q_SLOTS:
    // Enter and the OK button: accepted only when both entries hold more than spaces.
    void accept() override;
    // Esc, the close box and the Cancel button.
    void reject() override;

private Q_SLOTS:
    void btnOK_Click();
    void btnCancel_Click();

private:
    QLineEdit* m_txtUser;
    QLineEdit* m_txtPassword;
    QPushButton* m_btnOK;
    QPushButton* m_btnCancel;
    QLabel* m_lblPassword;
    QLabel* m_lblUser;
    QLabel* m_Label1;
    // Set once OK or Cancel has decided how the current show ends.
    bool m_bAnswered = false;
};
