#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

// What the two credentials dialogs share: the user name and password boxes, OK and Cancel, and
// the three fields the caller reads after the dialog has hidden itself.
//
// The caller creates the dialog once with its window as parent, keeps it, and shows it with
// exec() each time. OK and Cancel only hide the dialog, so a later show presents the texts of
// the previous use. Any way of closing other than an accepted OK (Cancel, Esc, the close box,
// hiding it) counts as Cancel.
class TSCredentialsDialog : public QDialog {
    Q_OBJECT
public:
    // True after Cancel (or any other closing but OK); False after an accepted OK.
    bool m_bCancelled = false;
    // The user name and password exactly as typed (spaces kept), set on OK; empty after Cancel.
    QString m_sUser;
    QString m_sPassword;

    void setVisible(bool visible) override;

public Q_SLOTS:
    // Enter and the OK button: accepted only when the entries pass the checks.
    void accept() override;
    // Esc, the close box and the Cancel button.
    void reject() override;

protected:
    // A fixed-size dialog with a title bar and close box; the client area is given in twips.
    TSCredentialsDialog(QWidget* parent, const QString& name, const QString& title, int widthTwips,
                        int heightTwips);

    // Whether OK refuses a user name or password of nothing but spaces.
    virtual bool EntriesChecked() const { return true; }

    // The controls, placed in twips. Each dialog creates them in its own tab order.
    void addLabel1(const QString& text);
    void addEntryBoxes(int left, int userTop, int passwordTop);
    void addButtons(int okLeft, int cancelLeft, int top);
    QLabel* addBoxLabel(const QString& name, const QString& text, QWidget* buddy, int left, int top);
    // Chains the boxes and buttons in tab order after whatever precedes them.
    void setEntryTabOrder();

    QLabel* m_Label1 = nullptr;
    QLineEdit* m_txtUser = nullptr;
    QLineEdit* m_txtPassword = nullptr;
    QPushButton* m_btnOK = nullptr;
    QPushButton* m_btnCancel = nullptr;
    QLabel* m_lblUser = nullptr;
    QLabel* m_lblPassword = nullptr;

private Q_SLOTS:
    void btnOK_Click();
    void btnCancel_Click();

private:
    // Set once OK or Cancel has decided how the current show ends.
    bool m_bAnswered = false;
};
