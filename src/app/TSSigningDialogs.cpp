#include "app/TSSigningDialogs.h"

#include "dialogs/TSCertChooser.h"
#include "dialogs/TSTokenPassword.h"

#include <QPointer>

#include <memory>

namespace {

// The password dialog of the token asked for last, kept while a wrong password is retried.
struct PasswordDialog {
    QPointer<TSTokenPassword> dialog;
    ~PasswordDialog() { delete dialog.data(); }
};

} // namespace

SigningPrompts SigningDialogs(QWidget* owner) {
    SigningPrompts prompts;
    const QPointer<QWidget> parent(owner);
    prompts.chooseCertificate = [parent](const QList<Certificate>& certificates) -> std::optional<qsizetype> {
        QList<TSCertChoice> shown;
        for (const Certificate& c : certificates)
            shown.append({c.CommonName(), c.EmailAddress(), c.IssuerCommonName(), c.ValidFromDate(),
                          c.ValidToDate(), c.SubjectName(), c.IssuerName()});
        TSCertChooser chooser(shown, parent);
        const int result = chooser.exec();
        const int row = chooser.chosenIndex();
        if (result != QDialog::Accepted || row < 0)
            return std::nullopt;
        return row;
    };
    auto password = std::make_shared<PasswordDialog>();
    prompts.askPassword = [parent, password](const QString& tokenLabel,
                                             bool bRetry) -> std::optional<QString> {
        if (bRetry && password->dialog) {
            password->dialog->setWrongPassword();
        } else {
            delete password->dialog.data();
            password->dialog = new TSTokenPassword(tokenLabel, parent);
        }
        if (password->dialog->exec() != QDialog::Accepted || !password->dialog)
            return std::nullopt;
        return password->dialog->takePassword();
    };
    return prompts;
}
