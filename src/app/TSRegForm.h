#pragma once

#include <QMainWindow>

class QAction;
class QMenu;
class QWebEngineView;
class TSProgressForm;

// The main window: the menus, the browser pane WebBrowser1 over the whole client area, and
// the progress window the commands show. Constructing it runs Form_Load.
class TSRegForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TSRegForm(QWidget* parent = nullptr);
    ~TSRegForm() override;

    QWebEngineView* WebBrowser1() const { return m_webBrowser1; }
    // The progress window, created at its first use and kept until the program ends.
    TSProgressForm* progressForm();

    // The folder of the executable; the local pages and the store live beside it.
    static QString programFolder();
    // The address of a local page beside the program.
    static QUrl localPageUrl(const QString& page);

public Q_SLOTS:
    void mFile_Register_Click();
    void mFile_Exit_Click();
    void m_View_Registered_Click();
    void mHelp_Contents_Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Load();
    void Form_Resize();
    void buildMenus();

    QWidget* m_client;
    QWebEngineView* m_webBrowser1;
    TSProgressForm* m_progress = nullptr;

    QMenu* m_mFile = nullptr;
    QAction* m_mFile_Register = nullptr;
    QAction* m_mFile_Exit = nullptr;
    QMenu* m_m_View = nullptr;
    QAction* m_m_View_Registered = nullptr;
    QMenu* m_mHelp = nullptr;
    QAction* m_mHelp_Contents = nullptr;
};
