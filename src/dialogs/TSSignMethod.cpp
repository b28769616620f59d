#include "dialogs/TSSignMethod.h"

#include "dialogs/DialogSupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

using namespace TSDialogSupport;

namespace {
void makeTabStop(QRadioButton* selected, QRadioButton* other) {
    selected->setFocusPolicy(Qt::FocusPolicy(selected->focusPolicy() | Qt::TabFocus));
    other->setFocusPolicy(Qt::FocusPolicy(other->focusPolicy() & ~Qt::TabFocus));
}
} // namespace

TSSignMethod::TSSignMethod(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("TSSignMethod"));
    setWindowTitle(QStringLiteral("Sign method"));
    setFixedSize(3750 / 15, 3330 / 15);
    setSizeGripEnabled(false);

    // Created in tab order, so the focus chain follows it.
    m_Label1 = new QLabel(QStringLiteral("Please choose the sign method:"), this);
    m_Label1->setObjectName(QStringLiteral("Label1"));
    m_Label1->setWordWrap(true);
    m_Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setPointSize(m_Label1, 9.75);
    placeTwips(m_Label1, 120, 120, 3555, 375);

    // Both option buttons share this parent and are auto-exclusive: exactly one is selected.
    m_optCertificate = new QRadioButton(QStringLiteral("Personal digital certificate"), this);
    m_optCertificate->setObjectName(QStringLiteral("optCertificate"));
    placeTwips(m_optCertificate, 660, 840, 2415, 195);

    m_optUserPassword = new QRadioButton(QStringLiteral("User / password"), this);
    m_optUserPassword->setObjectName(QStringLiteral("optUserPassword"));
    placeTwips(m_optUserPassword, 660, 1140, 2415, 195);

    m_txtUser = new QLineEdit(this);
    m_txtUser->setObjectName(QStringLiteral("txtUser"));
    placeTwips(m_txtUser, 1260, 1620, 1935, 315);

    m_txtPassword = new QLineEdit(this);
    m_txtPassword->setObjectName(QStringLiteral("txtPassword"));
    makePasswordBox(m_txtPassword);
    placeTwips(m_txtPassword, 1260, 2040, 1935, 315);

    m_btnOK = new QPushButton(QStringLiteral("OK"), this);
    m_btnOK->setObjectName(QStringLiteral("btnOK"));
    m_btnOK->setDefault(true);
    placeTwips(m_btnOK, 720, 2760, 1035, 375);

    m_btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_btnCancel->setObjectName(QStringLiteral("btnCancel"));
    placeTwips(m_btnCancel, 1980, 2760, 1035, 375);

    m_lblUser = new QLabel(QStringLiteral("User"), this);
    m_lblUser->setObjectName(QStringLiteral("lblUser"));
    m_lblUser->setBuddy(m_txtUser);
    placeTwips(m_lblUser, 420, 1680, 735, 195);

    m_lblPassword = new QLabel(QStringLiteral("Password"), this);
    m_lblPassword->setObjectName(QStringLiteral("lblPassword"));
    m_lblPassword->setBuddy(m_txtPassword);
    placeTwips(m_lblPassword, 420, 2100, 735, 195);

    setTabOrder(m_optCertificate, m_optUserPassword);
    setTabOrder(m_optUserPassword, m_txtUser);
    setTabOrder(m_txtUser, m_txtPassword);
    setTabOrder(m_txtPassword, m_btnOK);
    setTabOrder(m_btnOK, m_btnCancel);

    // Selecting an option by mouse, keyboard or code runs its handler. The group is one tab
    // stop, and Tab reaches it on the selected option.
    connect(m_optCertificate, &QRadioButton::toggled, this, [this](bool on) {
        if (!on)
            return;
        makeTabStop(m_optCertificate, m_optUserPassword);
        optCertificate_Click();
    });
    connect(m_optUserPassword, &QRadioButton::toggled, this, [this](bool on) {
        if (!on)
            return;
        makeTabStop(m_optUserPassword, m_optCertificate);
        optUserPassword_Click();
    });
    connect(m_btnOK, &QPushButton::clicked, this, &TSSignMethod::btnOK_Click);
    connect(m_btnCancel, &QPushButton::clicked, this, &TSSignMethod::btnCancel_Click);

    InitControls();
    m_optCertificate->setFocus();
}

void TSSignMethod::InitControls() {
    m_optCertificate->setChecked(true);
    m_bCertificateChosen = true;
    EnableUserPasswordControls(false);
    m_txtUser->clear();
    m_sUser.clear();
    m_txtPassword->clear();
    m_sPassword.clear();
    m_bCancelled = true;
}

void TSSignMethod::EnableUserPasswordControls(bool bEnable) {
    m_lblUser->setEnabled(bEnable);
    m_lblPassword->setEnabled(bEnable);
    m_txtUser->setEnabled(bEnable);
    m_txtPassword->setEnabled(bEnable);
}

void TSSignMethod::optCertificate_Click() {
    m_bCertificateChosen = true;
    EnableUserPasswordControls(false);
}

void TSSignMethod::optUserPassword_Click() {
    m_bCertificateChosen = false;
    EnableUserPasswordControls(true);
    m_txtUser->setFocus();
}

void TSSignMethod::btnOK_Click() {
    if (m_optUserPassword->isChecked()) {
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

void TSSignMethod::btnCancel_Click() {
    m_bCancelled = true;
    m_sUser.clear();
    m_sPassword.clear();
    m_bAnswered = true;
    QDialog::reject();
}

void TSSignMethod::accept() {
    btnOK_Click();
}

void TSSignMethod::reject() {
    btnCancel_Click();
}

void TSSignMethod::setVisible(bool visible) {
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
