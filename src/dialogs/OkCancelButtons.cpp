#include "dialogs/OkCancelButtons.h"

OkCancelButtons addOkCancelButtons(QDialog* dialog) {
    OkCancelButtons b;
    b.ok = new QPushButton(QStringLiteral("OK"), dialog);
    b.ok->setObjectName(QStringLiteral("btnOK"));
    b.ok->setDefault(true);
    b.cancel = new QPushButton(QStringLiteral("Cancel"), dialog);
    b.cancel->setObjectName(QStringLiteral("btnCancel"));
    b.box = new QDialogButtonBox(dialog);
    b.box->addButton(b.ok, QDialogButtonBox::AcceptRole);
    b.box->addButton(b.cancel, QDialogButtonBox::RejectRole);
    QObject::connect(b.box, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(b.box, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return b;
}
