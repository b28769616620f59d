#include "dialogs/TSTokenPassword.h"

#include "dialogs/DialogSupport.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TSTokenPassword::TSTokenPassword(const QString& tokenLabel, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("TSTokenPassword"));
    setWindowTitle(QStringLiteral("Password Required"));
    setModal(true);

    lblMessage = new QLabel(this);
    lblMessage->setObjectName(QStringLiteral("lblMessage"));
    lblMessage->setWordWrap(true);
    lblMessage->setTextFormat(Qt::PlainText);
    lblMessage->setText(
        QStringLiteral("Your signing certificate is protected by a password. Enter the password of "
                       "%1 to sign with it.")
            .arg(tokenLabel));

    txtPassword = new QLineEdit(this);
    txtPassword->setObjectName(QStringLiteral("txtPassword"));
    TSDialogSupport::makePasswordBox(txtPassword);
    lblMessage->setBuddy(txtPassword);

    lblError = new QLabel(QStringLiteral("The password is not correct. Try again."), this);
    lblError->setObjectName(QStringLiteral("lblError"));
    lblError->setVisible(false);

    const TSDialogSupport::OkCancelButtons buttons = TSDialogSupport::addOkCancelButtons(this);
    btnOK = buttons.ok;
    btnCancel = buttons.cancel;

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblMessage);
    layout->addWidget(txtPassword);
    layout->addWidget(lblError);
    layout->addWidget(TSDialogSupport::okCancelBox(this, buttons));
    txtPassword->setFocus();
    resize(qMax(sizeHint().width(), 420), sizeHint().height());
}

QString TSTokenPassword::takePassword() {
    const QString password = txtPassword->text();
    txtPassword->clear();
    return password;
}

void TSTokenPassword::setWrongPassword() {
    lblError->setVisible(true);
    txtPassword->clear();
    txtPassword->setFocus();
}
