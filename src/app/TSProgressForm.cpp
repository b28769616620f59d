#include "app/TSProgressForm.h"

#include <QLabel>

namespace {
// Client area 316 x 57; the label at 8, 8, 297 x 41.
constexpr int kClientWidth = 316;
constexpr int kClientHeight = 57;
} // namespace

TSProgressForm::TSProgressForm(QWidget* owner)
    // A Qt::Dialog child of the main window: a fixed border, no task-bar entry of its own.
    : QDialog(owner,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint),
      m_label1(new QLabel(this)) {
    setObjectName(QStringLiteral("TSProgressForm"));
    setModal(false);
    setFixedSize(kClientWidth, kClientHeight);
    setSizeGripEnabled(false);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label1->setGeometry(8, 8, 297, 41);
    m_label1->setWordWrap(true);
    m_label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void TSProgressForm::setTexts(const QString& caption, const QString& text) {
    setWindowTitle(caption);
    m_label1->setText(text);
}

void TSProgressForm::showCentred() {
    if (QWidget* owner = parentWidget()) {
        const QRect frame = owner->frameGeometry();
        move(frame.center() - QPoint(width() / 2, height() / 2));
    }
    show();
    raise();
}
