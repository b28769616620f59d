#include "dialogs/TSCredentialsDialog.h"

#include "dialogs/DialogSupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace TSDialogSupport;

TSCredentialsDialog::TSCredentialsDialog(QWidget* parent, const QString& name, const QString& title,
                                         int widthTwips, int heightTwips)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(name);
    setWindowTitle(title);
    setFixedSize(widthTwips / 15, heightTwips / 15);
    setSizeGripEnabled(false);
}

void TSCredentialsDialog::addLabel1(const QString& text) {
    m_Label1 = new QLabel(text, this);
    m_Label1->setObjectName(QStringLiteral("Label1"));
    m_Label1->setWordWrap(true);
    m_Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setPointSize(m_Label1, 9.75);
    placeTwips(m_Label1, 120, 120, 3555, 375);
}

void TSCredentialsDialog::addEntryBoxes(int left, int userTop, int passwordTop) {
    m_txtUser = new QLineEdit(this);
    m_txtUser->setObjectName(QStringLiteral("txtUser"));
    placeTwips(m_txtUser, left, userTop, 1935, 315);

    m_txtPassword = new QLineEdit(this);
    m_txtPassword->setObjectName(QStringLiteral("txtPassword"));
    makePasswordBox(m_txtPassword);
    placeTwips(m_txtPassword, left, passwordTop, 1935, 315);
}

void TSCredentialsDialog::addButtons(int okLeft, int cancelLeft, int top) {
    const OkCancelButtons buttons = addOkCancelButtons(this);
    m_btnOK = buttons.ok;
    m_btnCancel = buttons.cancel;
    placeTwips(m_btnOK, okLeft, top, 1035, 375);
    placeTwips(m_btnCancel, cancelLeft, top, 1035, 375);

    connect(m_btnOK, &QPushButton::clicked, this, &TSCredentialsDialog::btnOK_Click);
    connect(m_btnCancel, &QPushButton::clicked, this, &TSCredentialsDialog::btnCancel_Click);
}

QLabel* TSCredentialsDialog::addBoxLabel(const QString& name, const QString& text, QWidget* buddy, int left,
                                         int top) {
    auto* label = new QLabel(text, this);
    label->setObjectName(name);
    label->setBuddy(buddy);
    placeTwips(label, left, top, 735, 195);
    return label;
}

void TSCredentialsDialog::setEntryTabOrder() {
    setTabOrder(m_txtUser, m_txtPassword);
    setTabOrder(m_txtPassword, m_btnOK);
    setTabOrder(m_btnOK, m_btnCancel);
}

void TSCredentialsDialog::btnOK_Click() {
    if (EntriesChecked()) {
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
    }
    m_bCancelled = false;
    m_sUser = m_txtUser->text();
    m_sPassword = m_txtPassword->text();
    m_bAnswered = true;
    QDialog::accept();
}

void TSCredentialsDialog::btnCancel_Click() {
    m_bCancelled = true;
    m_sUser.clear();
    m_sPassword.clear();
    m_bAnswered = true;
    QDialog::reject();
}

void TSCredentialsDialog::accept() {
    btnOK_Click();
}

void TSCredentialsDialog::reject() {
    btnCancel_Click();
}

void TSCredentialsDialog::setVisible(bool visible) {
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
