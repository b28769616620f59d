#include "dialogs/TSSignMethod.h"

#include "dialogs/DialogSupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

using namespace TSDialogSupport;

namespace {
void makeTabStop(QRadioButton* selected, QRadioButton* other) {
    selected->setFocusPolicy(Qt::FocusPolicy(selected->focusPolicy() | Qt::TabFocus));
    other->setFocusPolicy(Qt::FocusPolicy(other->focusPolicy() & ~Qt::TabFocus));
}
} // namespace

TSSignMethod::TSSignMethod(QWidget* parent)
    : TSCredentialsDialog(parent, QStringLiteral("TSSignMethod"), QStringLiteral("Sign method"), 3750, 3330) {
    // Created in tab order, so the focus chain follows it.
    addLabel1(QStringLiteral("Please choose the sign method:"));

    // Both option buttons share this parent and are auto-exclusive: exactly one is selected.
    m_optCertificate = new QRadioButton(QStringLiteral("Personal digital certificate"), this);
    m_optCertificate->setObjectName(QStringLiteral("optCertificate"));
    placeTwips(m_optCertificate, 660, 840, 2415, 195);

    m_optUserPassword = new QRadioButton(QStringLiteral("User / password"), this);
    m_optUserPassword->setObjectName(QStringLiteral("optUserPassword"));
    placeTwips(m_optUserPassword, 660, 1140, 2415, 195);

    addEntryBoxes(1260, 1620, 2040);
    addButtons(720, 1980, 2760);
    m_lblUser = addBoxLabel(QStringLiteral("lblUser"), QStringLiteral("User"), m_txtUser, 420, 1680);
    m_lblPassword =
        addBoxLabel(QStringLiteral("lblPassword"), QStringLiteral("Password"), m_txtPassword, 420, 2100);

    setTabOrder(m_optCertificate, m_optUserPassword);
    setTabOrder(m_optUserPassword, m_txtUser);
    setEntryTabOrder();

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
    // Selected with an arrow key, the option takes the focus back after this handler has run:
    // hand it to the user box once more when that is done.
    QMetaObject::invokeMethod(
        m_txtUser,
        [this] {
            if (m_optUserPassword->isChecked() && m_optUserPassword->hasFocus())
                m_txtUser->setFocus();
        },
        Qt::QueuedConnection);
}

bool TSSignMethod::EntriesChecked() const {
    // Under the certificate method the boxes are greyed out and their texts pass unchecked.
    return m_optUserPassword->isChecked();
}
