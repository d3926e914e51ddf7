#include "app/main_frame.h"

#include "app/commands.h"
#include "app/corvane_app.h"
#include "app/corvane_doc.h"
#include "app/form_view.h"
#include "app/pictures.h"
#include "app/run_log.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QDir>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

namespace velmora::app {

namespace {

// The accelerator table, in its stored order.
struct Accelerator {
    QKeyCombination keys;
    int command;
};

const Accelerator accelerators[] = {
    {Qt::CTRL | Qt::Key_A, AboutCommand},
    {QKeyCombination(Qt::Key_B), SetBootModeCommand},
    {Qt::CTRL | Qt::Key_C, CopyCommand},
    {QKeyCombination(Qt::Key_F), FlashCommand},
    {QKeyCombination(Qt::Key_L), OpenCommand},
    {Qt::CTRL | Qt::Key_N, NewCommand},
    {QKeyCombination(Qt::Key_S), WriteToFlashCommand},
    {Qt::CTRL | Qt::Key_S, SaveCommand},
    {Qt::CTRL | Qt::Key_V, PasteCommand},
    {Qt::ALT | Qt::Key_Backspace, UndoCommand},
    {Qt::SHIFT | Qt::Key_Delete, CutCommand},
    {QKeyCombination(Qt::Key_F6), NextPaneCommand},
    {Qt::SHIFT | Qt::Key_F6, PreviousPaneCommand},
    {Qt::CTRL | Qt::Key_Insert, CopyCommand},
    {Qt::SHIFT | Qt::Key_Insert, PasteCommand},
    {Qt::CTRL | Qt::Key_X, CutCommand},
    {Qt::CTRL | Qt::Key_Z, UndoCommand},
};

} // namespace

CMainFrame::CMainFrame(CCorvaneApp& application) : app(application) {
    setObjectName(QStringLiteral("mainFrame"));
    // A sizing border: the status line, the summary and the log get the room
    // they need; the minimum still shows the whole form.
    setWindowIcon(programWindowIcon());
    setAcceptDrops(true);
}

CMainFrame::~CMainFrame() {
    disconnect(idleConnection);
}

int CMainFrame::create(FormView* formView) {
    if (!formView) {
        return -1;
    }
    form = formView;
    setCentralWidget(form);
    createLogPane();
    createMenu();
    if (createToolBar() != 0) {
        return -1;
    }
    createStatusBar();
    createAccelerators();
    // Toolbar states are drawn from the rules whenever the program goes idle.
    if (auto* dispatcher = QAbstractEventDispatcher::instance()) {
        idleConnection = connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                                 &CMainFrame::updateCommandStates);
    }
    updateCommandStates();
    return 0;
}

QAction* CMainFrame::makeAction(int command, const QString& text, Source source) {
    auto* action = new QAction(text, this);
    action->setData(command);
    action->setStatusTip(commandText(command).prompt);
    connect(action, &QAction::triggered, this,
            [this, command, source] { routeCommand(command, source); });
    return action;
}

void CMainFrame::createMenu() {
    load = menuBar()->addMenu(QStringLiteral("&Load"));
    menuActions.insert(OpenCommand,
                       makeAction(OpenCommand, QStringLiteral("Open..."), Source::Menu));
    load->addAction(menuActions.value(OpenCommand));
    // The recent files go between Open... and Exit each time the menu opens.
    connect(load, &QMenu::aboutToShow, this, &CMainFrame::updateRecentFiles);
    load->addSeparator();
    menuActions.insert(ExitCommand, makeAction(ExitCommand, QStringLiteral("Exit"), Source::Menu));
    load->addAction(menuActions.value(ExitCommand));

    // Every programming command with its key. The bar item's mnemonic Alt+F
    // opens it; F there (or the key F anywhere) runs Flash.
    flash = menuBar()->addMenu(QStringLiteral("&Flash"));
    flash->menuAction()->setStatusTip(commandText(FlashCommand).prompt);
    struct Entry {
        int command;
        const char* text;
    };
    const Entry entries[] = {
        {FlashCommand, "&Flash\tF"},
        {AllFlashCommand, "&All flash"},
        {WriteCommandCommand, "&Write command"},
        {WriteToFlashCommand, "Write &Data To Flash ROM\tS"},
        {SetBootModeCommand, "Flash A&ction Setting\tB"},
    };
    for (const Entry& entry : entries) {
        QAction* action = makeAction(entry.command, QString::fromLatin1(entry.text), Source::Menu);
        action->setToolTip(buttonTooltip(entry.command));
        flash->addAction(action);
        menuActions.insert(entry.command, action);
    }
    flash->setToolTipsVisible(true);
    // Drawn from the rules as it opens: Write Data To Flash ROM greys out
    // while a transfer is pending.
    connect(flash, &QMenu::aboutToShow, this, [this] {
        for (QAction* action : flash->actions()) {
            action->setEnabled(commandEnabled(action->data().toInt()));
        }
    });

    // What the window adds beside the programming commands: the log pane and
    // the settings.
    view = menuBar()->addMenu(QStringLiteral("&View"));
    QAction* logAction = dock->toggleViewAction();
    logAction->setText(QStringLiteral("Run &log"));
    logAction->setObjectName(QStringLiteral("runLogAction"));
    logAction->setStatusTip(QStringLiteral("Show or hide what each run said and how it ended"));
    view->addAction(logAction);
    QAction* settingsAction = view->addAction(QStringLiteral("&Settings..."));
    settingsAction->setObjectName(QStringLiteral("settingsAction"));
    settingsAction->setStatusTip(QStringLiteral("Choose the boot files folder"));
    connect(settingsAction, &QAction::triggered, this, [this] { app.onSettings(); });

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    menuActions.insert(AboutCommand,
                       makeAction(AboutCommand, QStringLiteral("&About Brenlow.."), Source::Menu));
    help->addAction(menuActions.value(AboutCommand));
}

int CMainFrame::createToolBar() {
    tools = new QToolBar(QStringLiteral("Toolbar"), this);
    tools->setObjectName(QStringLiteral("toolBar"));
    // Docked at the top for good, above the form its buttons act on.
    tools->setMovable(false);
    tools->setFloatable(false);
    tools->setAllowedAreas(Qt::TopToolBarArea);
    tools->setIconSize(QSize(32, 30));
    tools->setToolButtonStyle(Qt::ToolButtonIconOnly);
    struct Button {
        int command;
        const char* text;
        bool checkable;
    };
    const Button buttons[] = {
        {OpenCommand, "Open", false},   {FlashCommand, "F", true},
        {AllFlashCommand, "ALL", true}, {WriteCommandCommand, "W", true},
        {AboutCommand, "?", false},
    };
    bool first = true;
    for (const Button& button : buttons) {
        if (!first) {
            tools->addSeparator();
        }
        first = false;
        QAction* action =
            makeAction(button.command, QString::fromLatin1(button.text), Source::Toolbar);
        action->setIcon(toolbarPicture(button.command));
        action->setCheckable(button.checkable);
        // What each does and how F, ALL and W differ.
        action->setToolTip(buttonTooltip(button.command));
        tools->addAction(action);
        toolbarActions.insert(button.command, action);
        QWidget* widget = tools->widgetForAction(action);
        if (!widget) {
            return -1;
        }
        widget->setObjectName(QStringLiteral("button%1").arg(button.command));
    }
    addToolBar(Qt::TopToolBarArea, tools);
    return 0;
}

void CMainFrame::createStatusBar() {
    // One pane, the message line: prompts while a menu item or button is
    // pointed at (temporary messages), "Ready" otherwise.
    statusBar()->setSizeGripEnabled(false);
    ready = new QLabel(readyPrompt(), statusBar());
    ready->setObjectName(QStringLiteral("readyLine"));
    ready->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusBar()->addWidget(ready, 1);
    // After a command the line keeps its result, and shows the notices of a
    // run while it goes on.
    connect(&app.messageOperator().log(), &RunLog::statusChanged, ready,
            [this](const QString& text) {
                ready->setText(text);
                // A long result is cut on the line: the whole of it on pointing.
                ready->setToolTip(text);
            });
}

void CMainFrame::createLogPane() {
    dock = new QDockWidget(QStringLiteral("Run log"), this);
    dock->setObjectName(QStringLiteral("logDock"));
    dock->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable);
    dock->setAllowedAreas(Qt::BottomDockWidgetArea | Qt::TopDockWidgetArea);
    pane = new LogPane(app.messageOperator().log(), dock);
    dock->setWidget(pane);
    addDockWidget(Qt::BottomDockWidgetArea, dock);
}

void CMainFrame::showLogPane(bool shown) {
    dock->setVisible(shown);
}

void CMainFrame::updateRecentFiles() {
    for (QAction* action : std::as_const(recentActions)) {
        load->removeAction(action);
        action->deleteLater();
    }
    recentActions.clear();
    const QStringList files = app.recentFiles().entries();
    if (files.isEmpty()) {
        return;
    }
    QAction* exitAction = menuActions.value(ExitCommand);
    const QFontMetrics metrics(load->font());
    int number = 1;
    for (const QString& file : files) {
        const QString shown = metrics.elidedText(QDir::toNativeSeparators(file), Qt::ElideMiddle,
                                                 metrics.horizontalAdvance(QLatin1Char('x')) * 50);
        auto* action = new QAction(QStringLiteral("&%1 %2").arg(number++).arg(shown), load);
        action->setData(file);
        action->setStatusTip(QStringLiteral("Open ") + file);
        connect(action, &QAction::triggered, this, [this, file] { app.openDocumentFile(file); });
        load->insertAction(exitAction, action);
        recentActions << action;
    }
    auto* separator = new QAction(load);
    separator->setSeparator(true);
    load->insertAction(exitAction, separator);
    recentActions << separator;
}

void CMainFrame::createAccelerators() {
    for (const Accelerator& accelerator : accelerators) {
        auto* shortcut = new QShortcut(QKeySequence(accelerator.keys), this);
        // Keys act only while the main window is the active window.
        shortcut->setContext(Qt::WindowShortcut);
        const int command = accelerator.command;
        connect(shortcut, &QShortcut::activated, this,
                [this, command] { routeCommand(command, Source::Key); });
    }
}

QString CMainFrame::statusLine() const {
    const QString message = statusBar()->currentMessage();
    return message.isEmpty() ? ready->text() : message;
}

void CMainFrame::setDocumentTitle(const QString& title) {
    setWindowTitle(title + QStringLiteral(" - ") + windowTitleField());
}

bool CMainFrame::commandEnabled(int command) const {
    if (FormView::handlesCommand(command)) {
        return form && form->view().isEnabled(command);
    }
    // A command with a handler is enabled; one without is not.
    return CCorvaneDoc::handlesCommand(command) || CCorvaneApp::handlesCommand(command);
}

bool CMainFrame::commandChecked(int command) const {
    return FormView::handlesCommand(command) && form && form->view().isChecked(command);
}

CMainFrame::Handler CMainFrame::routeCommand(int command, Source source) {
    // Menus and keys are put to the rule first; a disabled command is dropped
    // without a word. Buttons are drawn disabled by the same rule.
    if (source != Source::Toolbar && !commandEnabled(command)) {
        emit commandRouted(command, Handler::Dropped);
        return Handler::Dropped;
    }
    if (FormView::handlesCommand(command) && form) {
        emit commandRouted(command, Handler::View);
        form->runCommand(command);
        return Handler::View;
    }
    if (CCorvaneDoc::handlesCommand(command) && app.document()) {
        emit commandRouted(command, Handler::Document);
        app.document()->onFileSave();
        return Handler::Document;
    }
    if (CCorvaneApp::handlesCommand(command)) {
        emit commandRouted(command, Handler::Application);
        app.runCommand(command);
        return Handler::Application;
    }
    emit commandRouted(command, Handler::Dropped);
    return Handler::Dropped;
}

void CMainFrame::updateCommandStates() {
    for (auto it = toolbarActions.cbegin(); it != toolbarActions.cend(); ++it) {
        QAction* action = it.value();
        const bool enabled = commandEnabled(it.key());
        if (action->isEnabled() != enabled) {
            action->setEnabled(enabled);
        }
        if (action->isCheckable()) {
            const bool checked = commandChecked(it.key());
            if (action->isChecked() != checked) {
                action->setChecked(checked);
            }
        }
    }
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event) {
    const QMimeData* dropped = event->mimeData();
    if (dropped->hasUrls() && !dropped->urls().isEmpty() && dropped->urls().first().isLocalFile()) {
        event->acceptProposedAction();
    }
}

void CMainFrame::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || !urls.first().isLocalFile()) {
        return;
    }
    event->acceptProposedAction();
    const QString path = urls.first().toLocalFile();
    activateWindow();
    // Opened once the drop is over, as if chosen with Open.
    QTimer::singleShot(0, this, [this, path] { app.openDocumentFile(path); });
}

} // namespace velmora::app
