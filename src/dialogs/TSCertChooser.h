#pragma once

#include <QDateTime>
#include <QDialog>
#include <QList>
#include <QString>

class QPushButton;
class QTreeWidget;

// What the chooser shows of one certificate.
struct TSCertChoice {
    QString issuedTo; // the subject's common name
    QString email;
    QString issuedBy; // the issuer's common name
    QDateTime validFrom, validTo;
    QString subject, issuer; // the whole names, shown as tool tips
};

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
    explicit TSCertChooser(const QList<TSCertChoice>& certificates, QWidget* parent = nullptr);

    // The row chosen (from 0), or -1 when nothing is selected.
    int chosenIndex() const;

private:
    void updateButtons();

    QTreeWidget* lstCertificates;
    QPushButton* btnOK;
    QPushButton* btnCancel;
};
