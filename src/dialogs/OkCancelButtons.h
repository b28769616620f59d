#pragma once

#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>

// The OK and Cancel buttons of the certificate library's dialogs: "btnOK" (the default button)
// and "btnCancel" in a button box that accepts or rejects the dialog.
struct OkCancelButtons {
    QDialogButtonBox* box;
    QPushButton* ok;
    QPushButton* cancel;
};

OkCancelButtons addOkCancelButtons(QDialog* dialog);
