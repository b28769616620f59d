#include "dialogs/TSCertChooser.h"

#include "dialogs/DialogSupport.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

TSCertChooser::TSCertChooser(const QList<TSCertChoice>& certificates, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("TSCertChooser"));
    setWindowTitle(QStringLiteral("Select Certificate"));
    setModal(true);

    auto* lblPrompt =
        new QLabel(QStringLiteral("Select the certificate to sign your registration with:"), this);
    lblPrompt->setObjectName(QStringLiteral("lblPrompt"));

    lstCertificates = new QTreeWidget(this);
    lstCertificates->setObjectName(QStringLiteral("lstCertificates"));
    lstCertificates->setHeaderLabels({QStringLiteral("Issued to"), QStringLiteral("E-mail"),
                                      QStringLiteral("Issued by"), QStringLiteral("Valid from"),
                                      QStringLiteral("Valid to")});
    lstCertificates->setRootIsDecorated(false);
    lstCertificates->setUniformRowHeights(true);
    lstCertificates->setAllColumnsShowFocus(true);
    lstCertificates->setSelectionMode(QAbstractItemView::SingleSelection);
    lblPrompt->setBuddy(lstCertificates);

    const QLocale locale;
    for (const TSCertChoice& c : certificates) {
        auto* item = new QTreeWidgetItem(lstCertificates);
        item->setText(0, c.issuedTo);
        item->setText(1, c.email);
        item->setText(2, c.issuedBy);
        item->setText(3, locale.toString(c.validFrom, QLocale::ShortFormat));
        item->setText(4, locale.toString(c.validTo, QLocale::ShortFormat));
        item->setToolTip(0, c.subject);
        item->setToolTip(2, c.issuer);
    }
    for (int column = 0; column < lstCertificates->columnCount(); ++column)
        lstCertificates->resizeColumnToContents(column);

    const TSDialogSupport::OkCancelButtons buttons = TSDialogSupport::addOkCancelButtons(this);
    btnOK = buttons.ok;
    btnCancel = buttons.cancel;
    connect(lstCertificates, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem*, int) {
        if (chosenIndex() >= 0)
            accept();
    });
    connect(lstCertificates, &QTreeWidget::itemSelectionChanged, this, &TSCertChooser::updateButtons);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblPrompt);
    layout->addWidget(lstCertificates);
    layout->addWidget(TSDialogSupport::okCancelBox(this, buttons));

    if (QTreeWidgetItem* first = lstCertificates->topLevelItem(0)) {
        lstCertificates->setCurrentItem(first);
        first->setSelected(true);
    }
    lstCertificates->setFocus();
    updateButtons();
    resize(qMax(sizeHint().width(), 640), sizeHint().height());
}

int TSCertChooser::chosenIndex() const {
    const QList<QTreeWidgetItem*> selected = lstCertificates->selectedItems();
    return selected.isEmpty() ? -1 : lstCertificates->indexOfTopLevelItem(selected.front());
}

void TSCertChooser::updateButtons() {
    btnOK->setEnabled(chosenIndex() >= 0);
}
