#pragma once

#include <QHash>
#include <QMainWindow>

class QAction;
class QDockWidget;
class QMenu;
class QLabel;
class QToolBar;

namespace velmora::app {

class CCorvaneApp;
class FormView;
class LogPane;

// The main window: caption, menu, toolbar, status bar and keys around the form
// view. It handles no programming command itself: each command is put to its
// enable rule and passed on to the form view, the document or the
// application object. Under the form a log pane follows the runs; the window
// can be resized down to the size that shows the whole form.
class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    enum class Source { Menu, Toolbar, Key };
    // Who carried out a command; Dropped when its rule disabled it or nothing
    // has a handler for it.
    enum class Handler { Dropped, View, Document, Application };

    explicit CMainFrame(CCorvaneApp& application);
    ~CMainFrame() override;

    // Builds the menu, toolbar, status bar and keys around the form view.
    // Returns 0, or -1 when a part cannot be made.
    int create(FormView* form);

    // The caption: the document's title, " - " and "Velmora".
    void setDocumentTitle(const QString& title);

    // Command routing: the rule first (menu and keys), then the first handler.
    Handler routeCommand(int command, Source source);
    bool commandEnabled(int command) const;
    bool commandChecked(int command) const;
    // Draws every toolbar button's enabled and checked state from the rules;
    // runs whenever the program is idle.
    void updateCommandStates();

    FormView* formView() const { return form; }
    QToolBar* toolBar() const { return tools; }
    QAction* toolbarAction(int command) const { return toolbarActions.value(command); }
    QAction* menuAction(int command) const { return menuActions.value(command); }
    QMenu* loadMenu() const { return load; }
    QMenu* viewMenu() const { return view; }
    QMenu* flashMenu() const { return flash; }
    LogPane* logPane() const { return pane; }
    QDockWidget* logDock() const { return dock; }
    void showLogPane(bool shown);
    // Lists the recent files in the Load menu, numbered, newest first.
    void updateRecentFiles();
    // The status bar's message line as it reads now.
    QString statusLine() const;

signals:
    // A command reached a handler (before it runs) or was dropped.
    void commandRouted(int command, velmora::app::CMainFrame::Handler handler);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void createMenu();
    int createToolBar();
    void createStatusBar();
    void createAccelerators();
    void createLogPane();
    QAction* makeAction(int command, const QString& text, Source source);

    CCorvaneApp& app;
    FormView* form = nullptr;
    QToolBar* tools = nullptr;
    QLabel* ready = nullptr;
    QMenu* load = nullptr;
    QMenu* view = nullptr;
    QMenu* flash = nullptr;
    LogPane* pane = nullptr;
    QDockWidget* dock = nullptr;
    QList<QAction*> recentActions;
    QHash<int, QAction*> toolbarActions;
    QHash<int, QAction*> menuActions;
    QMetaObject::Connection idleConnection;
};

} // namespace velmora::app
