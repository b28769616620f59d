#include "dialogs/TSLogin.h"

#include <QLineEdit>

TSLogin::TSLogin(QWidget* parent)
    : TSCredentialsDialog(parent, QStringLiteral("TSLogin"), QStringLiteral("Login"), 3825, 2580) {
    // Created in tab order, so the focus chain follows it.
    addEntryBoxes(1380, 900, 1320);
    addButtons(840, 2100, 2040);
    m_lblPassword =
        addBoxLabel(QStringLiteral("lblPassword"), QStringLiteral("Password"), m_txtPassword, 540, 1380);
    m_lblUser = addBoxLabel(QStringLiteral("lblUser"), QStringLiteral("User"), m_txtUser, 540, 960);
    addLabel1(QStringLiteral("Please enter your login information:"));
    setEntryTabOrder();

    m_txtUser->setFocus();
}
