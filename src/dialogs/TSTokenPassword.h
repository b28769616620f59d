#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

// The modal dialog that asks for the password of a protected certificate database or token
// before signing. After a wrong password the caller shows it again with setWrongPassword().
//
// objectNames: the dialog "TSTokenPassword", "lblMessage", the password box "txtPassword",
// the wrong-password notice "lblError" (hidden until a wrong password), "btnOK", "btnCancel".
class TSTokenPassword : public QDialog {
    Q_OBJECT
public:
    // tokenLabel names what is locked, e.g. "your certificate database".
    explicit TSTokenPassword(const QString& tokenLabel, QWidget* parent = nullptr);

    // The password typed; the box is emptied.
    QString takePassword();
    // Tells the user the last password was wrong and readies the box for another try.
    void setWrongPassword();

private:
    QLabel* lblMessage;
    QLineEdit* txtPassword;
    QLabel* lblError;
    QPushButton* btnOK;
    QPushButton* btnCancel;
};
