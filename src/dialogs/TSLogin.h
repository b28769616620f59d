#pragma once

#include "dialogs/TSCredentialsDialog.h"

// The modal dialog that asks for the user name and password sent with a verification request
// to the registration site. OK is accepted only when both entries hold more than spaces.
// m_bCancelled is False until the first Cancel (or other closing but OK).
class TSLogin : public TSCredentialsDialog {
    Q_OBJECT
public:
    explicit TSLogin(QWidget* parent);
};
