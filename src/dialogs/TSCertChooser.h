#pragma once

#include "certstore/CertLibrary.h"

#include <QDialog>
#include <QList>

class QPushButton;
class QTreeWidget;

// The modal dialog in which the user chooses the certificate to sign with. It lists each
// certificate's subject, e-mail address, issuer and validity period. The first certificate is
// selected at start; arrow keys move, Enter or a double click takes the selected one, Esc
// cancels.
//
// objectNames: the dialog "TSCertChooser", its prompt "lblPrompt", the list "lstCertificates"
// (a QTreeWidget, one top-level item per certificate in the given order), "btnOK", "btnCancel".
class TSCertChooser : public QDialog {
    Q_OBJECT
public:
    explicit TSCertChooser(const QList<Certificate>& certificates, QWidget* parent = nullptr);

    // The row chosen (from 0), or -1 when nothing is selected.
    int chosenIndex() const;

private:
    void updateButtons();

    QTreeWidget* lstCertificates;
    QPushButton* btnOK;
    QPushButton* btnCancel;
};
