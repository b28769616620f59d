#pragma once

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

// Answers modal dialogs while the code under test waits in their exec(): each step runs once
// on the next showing of a modal widget with the given objectName. A modal widget that no step
// expects is rejected through its close() and counted in unexpected().
class DialogDriver : public QObject {
public:
    using Step = std::function<void(QWidget*)>;

    DialogDriver() {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start();
    }

    DialogDriver& then(const QString& objectName, Step step) {
        m_steps.push_back({objectName, std::move(step)});
        return *this;
    }

    int done() const { return m_done; }
    int unexpected() const { return m_unexpected; }
    QStringList seen() const { return m_seen; }

private:
    void poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) {
            m_current = nullptr;
            return;
        }
        if (modal == m_current)
            return; // acted on this showing already
        m_current = modal;
        m_seen << modal->objectName();
        if (m_done < static_cast<int>(m_steps.size()) && m_steps[m_done].first == modal->objectName()) {
            Step step = m_steps[m_done].second;
            ++m_done;
            step(modal);
        } else {
            ++m_unexpected;
            modal->close();
        }
        // A dialog that the step closed may be shown again by the code under test before the
        // next poll; that showing is a new one.
        if (m_current && !m_current->isVisible())
            m_current = nullptr;
    }

    QTimer m_timer;
    std::vector<std::pair<QString, Step>> m_steps;
    QPointer<QWidget> m_current;
    int m_done = 0;
    int m_unexpected = 0;
    QStringList m_seen;
};
