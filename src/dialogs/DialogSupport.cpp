#include "dialogs/DialogSupport.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>

namespace TSDialogSupport {

namespace {
constexpr int kTwipsPerPixel = 15;
} // namespace

void placeTwips(QWidget* control, int left, int top, int width, int height) {
    int w = width / kTwipsPerPixel;
    // A caption that does not wrap gets at least the width its text needs, so that no label or
    // option is cut short in fonts wider than the layout was drawn for.
    auto* label = qobject_cast<QLabel*>(control);
    if ((label && !label->wordWrap()) || qobject_cast<QRadioButton*>(control))
        w = std::max(w, control->sizeHint().width());
    int needed = control->sizeHint().height();
    if (control->hasHeightForWidth())
        needed = std::max(needed, control->heightForWidth(w));
    control->setGeometry(left / kTwipsPerPixel, top / kTwipsPerPixel, w,
                         std::max(height / kTwipsPerPixel, needed));
}

void setPointSize(QWidget* control, double points) {
    QFont font = QApplication::font();
    font.setPointSizeF(points);
    control->setFont(font);
}

OkCancelButtons addOkCancelButtons(QDialog* dialog) {
    OkCancelButtons b;
    b.ok = new QPushButton(QStringLiteral("OK"), dialog);
    b.ok->setObjectName(QStringLiteral("btnOK"));
    b.ok->setDefault(true);
    b.cancel = new QPushButton(QStringLiteral("Cancel"), dialog);
    b.cancel->setObjectName(QStringLiteral("btnCancel"));
    return b;
}

QDialogButtonBox* okCancelBox(QDialog* dialog, const OkCancelButtons& buttons) {
    auto* box = new QDialogButtonBox(dialog);
    box->addButton(buttons.ok, QDialogButtonBox::AcceptRole);
    box->addButton(buttons.cancel, QDialogButtonBox::RejectRole);
    QObject::connect(box, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(box, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return box;
}

void makePasswordBox(QLineEdit* box) {
    box->setEchoMode(QLineEdit::Password);
    box->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
}

bool isBlankEntry(const QString& text) {
    // Only the blank character counts: an entry of tabs or other characters is left to the site.
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c == u' '; });
}

void showValidationMessage(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Tessaro"), text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace TSDialogSupport
