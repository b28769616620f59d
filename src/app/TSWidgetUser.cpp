#include "app/TSWidgetUser.h"

#include "app/TSProgressForm.h"
#include "app/TSRegForm.h"
#include "app/TSSigningDialogs.h"
#include "dialogs/CD1.h"
#include "dialogs/TSLogin.h"
#include "dialogs/TSSignMethod.h"

#include <QLabel>
#include <QMessageBox>

namespace {

QMessageBox::Icon boxIcon(TSIcon icon) {
    switch (icon) {
    case TSIcon::Stop:
        return QMessageBox::Critical;
    case TSIcon::Exclamation:
        return QMessageBox::Warning;
    case TSIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

} // namespace

TSWidgetUser::TSWidgetUser(TSRegForm& form)
    : m_form(form), m_cd1(std::make_unique<CD1>(&form)), m_signing(SigningDialogs(&form)) {}

TSWidgetUser::~TSWidgetUser() = default;

TSUser::FileChoice TSWidgetUser::ChooseFile(const FileRequest& request) {
    m_cd1->setDialogTitle(request.title);
    m_cd1->setInitialFileName(request.initialFileName);
    m_cd1->setFilter(request.filter);
    m_cd1->setFlags(CD1::kOpenExistingFlags);
    const CD1::Result shown = m_cd1->showOpen();
    FileChoice choice;
    choice.outcome = shown.outcome == CD1::Outcome::Chosen      ? FileChoice::Outcome::Chosen
                     : shown.outcome == CD1::Outcome::Cancelled ? FileChoice::Outcome::Cancelled
                                                                : FileChoice::Outcome::Failed;
    choice.path = shown.fileName;
    choice.title = shown.fileTitle;
    choice.errorNumber = shown.errorNumber;
    choice.errorDescription = shown.errorDescription;
    return choice;
}

std::optional<TSUser::SignMethod> TSWidgetUser::AskSignMethod() {
    if (!m_signMethod)
        m_signMethod = new TSSignMethod(&m_form);
    m_signMethod->exec();
    if (!m_signMethod || m_signMethod->m_bCancelled)
        return std::nullopt;
    return SignMethod{m_signMethod->m_bCertificateChosen, m_signMethod->m_sUser, m_signMethod->m_sPassword};
}

std::optional<TSUser::Credentials> TSWidgetUser::AskCredentials() {
    if (!m_login)
        m_login = new TSLogin(&m_form);
    m_login->exec();
    if (!m_login || m_login->m_bCancelled)
        return std::nullopt;
    return Credentials{m_login->m_sUser, m_login->m_sPassword};
}

bool TSWidgetUser::AskRecreate() {
    const TSMessageText question = TSCommandTexts::RecreateQuestion();
    QMessageBox box(boxIcon(question.icon), question.title, question.text, QMessageBox::Yes | QMessageBox::No,
                    &m_form);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

std::optional<qsizetype> TSWidgetUser::ChooseCertificate(const QList<Certificate>& certificates) {
    return m_signing.chooseCertificate(certificates);
}

std::optional<QString> TSWidgetUser::AskTokenPassword(const QString& tokenLabel, bool bWrongBefore) {
    return m_signing.askPassword(tokenLabel, bWrongBefore);
}

void TSWidgetUser::Tell(TSMessage message, const QStringList& arguments) {
    const TSMessageText shown = TSCommandTexts::MessageText(message, arguments);
    QMessageBox box(boxIcon(shown.icon), shown.title, shown.text, QMessageBox::Ok, &m_form);
    box.exec();
}

void TSWidgetUser::ShowProgress(const QString& caption, const QString& text, bool bBusy) {
    TSProgressForm* progress = m_form.progressForm();
    progress->setTexts(caption, text);
    progress->showCentred();
    if (bBusy)
        progress->setCursor(Qt::WaitCursor);
    progress->repaint();
}

void TSWidgetUser::SetProgressText(const QString& text) {
    m_form.progressForm()->Label1()->setText(text);
}

void TSWidgetUser::HideProgress(bool bRefreshMain) {
    TSProgressForm* progress = m_form.progressForm();
    progress->unsetCursor();
    progress->hide();
    if (bRefreshMain)
        m_form.repaint();
}
