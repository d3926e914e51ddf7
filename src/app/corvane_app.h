#pragma once

#include "app/app_settings.h"
#include "app/command_line.h"
#include "app/qt_operator.h"
#include "core/places.h"
#include "core/timing.h"
#include "sim/board_options.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <filesystem>
#include <memory>

namespace velmora {
class SerialPort;
}

namespace velmora::app {

class CCorvaneDoc;
class CMainFrame;
class FormView;
class LogPane;
class SingleInstance;
class SuspendRefusal;

// What a run of the application is set up with. The defaults are the
// product's; tests shorten the timing, capture the message boxes and leave
// the desktop alone.
class FontWarmUp;

struct AppOptions {
    Places places;
    Timing timing;
    // Empty: real message boxes.
    MessagePresenter presenter;
    // The options of the board started for a run when "Simulated board" is chosen.
    BoardOptions simulatedBoard;
    // Register the .mot association at start (and refuse suspend while running).
    bool desktopIntegration = true;
    // Serve files handed over by a second start of the program.
    bool singleInstance = false;
    // The font configuration being read ahead; waited for before the form is built.
    FontWarmUp* fonts = nullptr;
};

// The application object: start-up (settings, association, command line,
// the document and its window), the about, new and open commands, the
// recent-file list, and the end of the run.
class CCorvaneApp : public QObject {
    Q_OBJECT
public:
    CCorvaneApp(SerialPort& port, AppOptions appOptions = {});
    ~CCorvaneApp() override;

    // Start-up with the arguments after the program's name. True to run the
    // event loop; false to end at once (print and unregister requests, or a
    // file that could not be opened), with startupExitCode() as the result.
    bool initInstance(const QStringList& arguments);
    int startupExitCode() const { return exitCode; }
    // The end of the run: writes the recent-file list back (not after an
    // unregister) and closes the serial port.
    void exitInstance();

    // The commands the application object has handlers for, and their handlers.
    static bool handlesCommand(int command);
    void runCommand(int command);
    void onAppAbout();
    void onFileNew();
    void onFileOpen();
    // Opens a file as the document (open dialog, command line, drop, the
    // recent-file list); true when it is loaded.
    bool openDocumentFile(const QString& path);
    // A file handed over by a second start (empty: show the window): opened
    // as if chosen here, once no box or run is waiting for the operator.
    void takeHandedOver(const QString& path);

    // The main window's log pane, shown (View menu).
    void showLog();
    LogPane* logPane() const;
    // The settings dialog (View menu), and what it sets.
    void onSettings();
    // Keeps the boot files folder (empty: the default) and uses it from now on.
    bool setBootDir(const QString& folder);
    QString defaultBootDir() const;
    SingleInstance* instanceServer() const { return instance.get(); }
    // Whether the start's work after the window showed (association, suspend
    // refusal, the hand-over server) is done.
    bool startComplete() const { return shownOnce; }

signals:
    // The window is on screen and the rest of the start is done.
    void startFinished();

public:
    CMainFrame* mainFrame() const { return frame.get(); }
    CCorvaneDoc* document() const { return doc.get(); }
    FormView* formView() const;
    QtOperator& messageOperator() { return op; }
    const RecentFileList& recentFiles() const { return recent; }
    bool unregistered() const { return unregistering; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool createFrame();
    void afterShown();
    bool unregister(const CommandLineInfo& info);
    void showWindow();
    void storePortChoice(const QString& choice);
    void openPending();
    void programLoaded();

    SerialPort& serialPort;
    AppOptions options;
    QtOperator op;
    RecentFileList recent;
    std::unique_ptr<CCorvaneDoc> doc;
    std::unique_ptr<CMainFrame> frame;
    std::unique_ptr<SuspendRefusal> suspendRefusal;
    std::unique_ptr<SingleInstance> instance;
    QStringList pendingFiles;
    std::filesystem::path startBootDir;
    bool unregistering = false;
    bool shownOnce = false;
    int exitCode = 0;
};

} // namespace velmora::app
