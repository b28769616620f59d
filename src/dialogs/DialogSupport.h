#pragma once

#include <QString>

class QDialog;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// Helpers shared by the dialogs.
namespace TSDialogSupport {

// Places a control from a layout given in twips (15 twips to a pixel). Left, top and width
// convert directly; the height is at least what the control needs to show its text in the
// current font (a word-wrapped label gets the height its text needs at that width), and a
// label or option that does not wrap is at least as wide as its text.
void placeTwips(QWidget* control, int left, int top, int width, int height);

// The desktop's default font at the given point size.
void setPointSize(QWidget* control, double points);

// The OK and Cancel buttons of a dialog: "OK" named "btnOK" (the default button) and "Cancel"
// named "btnCancel", children of the dialog and not yet placed or connected.
struct OkCancelButtons {
    QPushButton* ok;
    QPushButton* cancel;
};
OkCancelButtons addOkCancelButtons(QDialog* dialog);

// The buttons in a button box, for a dialog with a layout: OK accepts the dialog, Cancel (and
// Esc) rejects it.
QDialogButtonBox* okCancelBox(QDialog* dialog, const OkCancelButtons& buttons);

// A text box that shows "*" for every character.
void makePasswordBox(QLineEdit* box);

// True when the entry holds nothing but spaces (or nothing at all).
bool isBlankEntry(const QString& text);

// A validation message: modal, OK only, no icon, titled with the program's title.
void showValidationMessage(QWidget* parent, const QString& text);

} // namespace TSDialogSupport
