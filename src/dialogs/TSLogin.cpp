#include "dialogs/TSLogin.h"

#include "dialogs/DialogSupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace TSDialogSupport;

TSLogin::TSLogin(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("TSLogin"));
    setWindowTitle(QStringLiteral("Login"));
    setFixedSize(3825 / 15, 2580 / 15);
    setSizeGripEnabled(false);

    // Created in tab order, so the focus chain follows it.
    m_txtUser = new QLineEdit(this);
    m_txtUser->setObjectName(QStringLiteral("txtUser"));
    placeTwips(m_txtUser, 1380, 900, 1935, 315);

    m_txtPassword = new QLineEdit(this);
    m_txtPassword->setObjectName(QStringLiteral("txtPassword"));
    makePasswordBox(m_txtPassword);
    placeTwips(m_txtPassword, 1380, 1320, 1935, 315);

    m_btnOK = new QPushButton(QStringLiteral("OK"), this);
    m_btnOK->setObjectName(QStringLiteral("btnOK"));
    m_btnOK->setDefault(true);
    placeTwips(m_btnOK, 840, 2040, 1035, 375);

    m_btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_btnCancel->setObjectName(QStringLiteral("btnCancel"));
    placeTwips(m_btnCancel, 2100, 2040, 1035, 375);

    m_lblPassword = new QLabel(QStringLiteral("Password"), this);
    m_lblPassword->setObjectName(QStringLiteral("lblPassword"));
    m_lblPassword->setBuddy(m_txtPassword);
    placeTwips(m_lblPassword, 540, 1380, 735, 195);

    m_lblUser = new QLabel(QStringLiteral("User"), this);
    m_lblUser->setObjectName(QStringLiteral("lblUser"));
    m_lblUser->setBuddy(m_txtUser);
    placeTwips(m_lblUser, 540, 960, 735, 195);

    m_Label1 = new QLabel(QStringLiteral("Please enter your login information:"), this);
    m_Label1->setObjectName(QStringLiteral("Label1"));
    m_Label1->setWordWrap(true);
    m_Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setPointSize(m_Label1, 9.75);
    placeTwips(m_Label1, 120, 120, 3555, 375);

    setTabOrder(m_txtUser, m_txtPassword);
    setTabOrder(m_txtPassword, m_btnOK);
    setTabOrder(m_btnOK, m_btnCancel);

    connect(m_btnOK, &QPushButton::clicked, this, &TSLogin::btnOK_Click);
    connect(m_btnCancel, &QPushButton::clicked, this, &TSLogin::btnCancel_Click);

    m_txtUser->setFocus();
}

void TSLogin::btnOK_Click() {
    if (isBlankEntry(m_txtUser->text())) {
        showValidationMessage(this, QStringLiteral("Please enter your user name"));
        m_txtUser->setFocus();
        return;
    }
    if (isBlankEntry(m_txtPassword->text())) {
        showValidationMessage(this, QStringLiteral("Please enter your password"));
        m_txtPassword->setFocus();
        return;
    }
    m_bCancelled = false;
    m_sUser = m_txtUser->text();
    m_sPassword = m_txtPassword->text();
    m_bAnswered = true;
    QDialog::accept();
}

void TSLogin::btnCancel_Click() {
    m_bCancelled = true;
    m_sUser.clear();
    m_sPassword.clear();
    m_bAnswered = true;
    QDialog::reject();
}

void TSLogin::accept() {
    btnOK_Click();
}

void TSLogin::reject() {
    btnCancel_Click();
}

void TSLogin::setVisible(bool visible) {
    if (visible && !isVisible()) {
        m_bAnswered = false;
    } else if (!visible && isVisible() && !m_bAnswered) {
        // Hidden without OK or Cancel: the caller must not take it for an acceptance.
        m_bCancelled = true;
        m_sUser.clear();
        m_sPassword.clear();
    }
    QDialog::setVisible(visible);
}
