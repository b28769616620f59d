#pragma once

#include "certstore/CertLibrary.h"

class QWidget;

// What signing asks the user, answered by the program's dialogs parented to owner: the
// certificate chooser (TSCertChooser) and the password dialog (TSTokenPassword). A wrong password
// shows the same password dialog again with its wrong-password notice.
SigningPrompts SigningDialogs(QWidget* owner);
