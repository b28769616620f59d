#pragma once

#include <QDialog>

class QLabel;

// The small window a command shows while it works: its caption names the command and
// Label1 says what step is under way. Shown without modality over its owner; created once,
// then only shown and hidden.
class TSProgressForm : public QDialog {
    Q_OBJECT
public:
    explicit TSProgressForm(QWidget* owner);

    QLabel* Label1() const { return m_label1; }

    // Sets the caption and the step text.
    void setTexts(const QString& caption, const QString& text);
    // Shows the window centred over its owner, without modality.
    void showCentred();

private:
    QLabel* m_label1;
};
