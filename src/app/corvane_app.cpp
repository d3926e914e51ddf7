#include "app/corvane_app.h"

#include "app/about_dialog.h"
#include "app/commands.h"
#include "app/corvane_doc.h"
#include "app/font_warm_up.h"
#include "app/form_view.h"
#include "app/main_frame.h"
#include "app/pictures.h"
#include "app/port_chooser.h"
#include "app/run_log.h"
#include "app/settings_dialog.h"
#include "app/single_instance.h"
#include "desktop/desktop_integration.h"
#include "desktop/suspend_inhibitor.h"
#include "serial/port_names.h"
#include "serial/serial_port.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTimer>
#include <QWindow>

namespace velmora::app {

// Refuses the system's suspend while the program runs.
class SuspendRefusal {
    desktop::SuspendInhibitor inhibitor;
};

CCorvaneApp::CCorvaneApp(SerialPort& port, AppOptions appOptions)
    : serialPort(port), options(std::move(appOptions)),
      op(this->options.timing, this->options.presenter),
      startBootDir(this->options.places.bootDir) {}

CCorvaneApp::~CCorvaneApp() {
    frame.reset();
}

FormView* CCorvaneApp::formView() const {
    return frame ? frame->formView() : nullptr;
}

bool CCorvaneApp::handlesCommand(int command) {
    switch (command) {
    case AboutCommand:
    case NewCommand:
    case OpenCommand:
    case ExitCommand:
        return true;
    default:
        return false;
    }
}

void CCorvaneApp::runCommand(int command) {
    switch (command) {
    case AboutCommand:
        onAppAbout();
        break;
    case NewCommand:
        onFileNew();
        break;
    case OpenCommand:
        onFileOpen();
        break;
    case ExitCommand:
        if (frame) {
            frame->close();
        }
        break;
    default:
        break;
    }
}

bool CCorvaneApp::initInstance(const QStringList& arguments) {
    // The per-user settings: the recent-file list of four entries, and the
    // boot files folder when one was chosen in the window.
    {
        auto store = settings::open();
        recent.read(*store);
        const QString bootDir = store->value(settings::bootDirKey()).toString();
        if (!bootDir.isEmpty()) {
            options.places.bootDir = bootDir.toStdString();
        }
    }
    QGuiApplication::setWindowIcon(programWindowIcon());
    doc = std::make_unique<CCorvaneDoc>(op, options.places);
    doc->program().setLoadedHandler([this] { programLoaded(); });

    const CommandLineInfo info = CommandLineInfo::parse(arguments);
    switch (info.shellCommand) {
    case CommandLineInfo::AppUnregister:
        exitCode = unregister(info) ? 0 : 1;
        return false;
    case CommandLineInfo::FilePrint:
    case CommandLineInfo::FilePrintTo:
        // No printing: the file is opened with the window hidden, and the run ends.
        if (!createFrame()) {
            exitCode = 1;
            return false;
        }
        exitCode = !info.fileName.isEmpty() && openDocumentFile(info.fileName) ? 0 : 1;
        frame.reset();
        return false;
    case CommandLineInfo::FileOpen:
        if (!createFrame()) {
            exitCode = 1;
            return false;
        }
        if (!openDocumentFile(info.fileName)) {
            // The document has said why; the program does not start.
            frame.reset();
            exitCode = 1;
            return false;
        }
        break;
    case CommandLineInfo::FileNew:
    case CommandLineInfo::FileDde:
        if (!createFrame()) {
            exitCode = 1;
            return false;
        }
        onFileNew();
        break;
    }
    showWindow();
    return true;
}

bool CCorvaneApp::createFrame() {
    if (options.fonts) {
        options.fonts->wait(); // read once, before the window measures any text
    }
    frame = std::make_unique<CMainFrame>(*this);
    auto* form =
        new FormView(op, serialPort, options.places, options.timing, options.simulatedBoard);
    if (frame->create(form) != 0) {
        frame.reset();
        return false;
    }
    op.setOwner(frame.get());
    // The port chosen last time; port 1 the first time.
    PortChooser& chooser = form->portChooser();
    {
        auto store = settings::open();
        QString stored = store->value(settings::portChoiceKey()).toString();
        if (stored.isEmpty()) {
            stored = QString::fromStdString(portDevice(CCorvaneView::directPort));
            form->setDefaultChoice(stored);
        }
        chooser.setChoice(stored);
    }
    // Kept once a run has used it, not while it is being typed.
    connect(form, &FormView::portUsed, this, &CCorvaneApp::storePortChoice);
    return true;
}

void CCorvaneApp::storePortChoice(const QString& choice) {
    if (unregistering) {
        return;
    }
    auto store = settings::open();
    store->setValue(settings::portChoiceKey(), choice);
}

void CCorvaneApp::showWindow() {
    frame->show();
    frame->raise();
    frame->activateWindow();
    frame->formView()->setFocus(Qt::ActiveWindowFocusReason);
    // The rest of the start waits until the window is on screen.
    QWindow* window = frame->windowHandle();
    if (window && !window->isExposed()) {
        window->installEventFilter(this);
    } else {
        QTimer::singleShot(0, this, &CCorvaneApp::afterShown);
    }
}

bool CCorvaneApp::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Expose && frame && watched == frame->windowHandle() &&
        frame->windowHandle()->isExposed()) {
        watched->removeEventFilter(this);
        // Once this expose has been painted.
        QTimer::singleShot(0, this, &CCorvaneApp::afterShown);
    }
    return QObject::eventFilter(watched, event);
}

void CCorvaneApp::afterShown() {
    if (shownOnce || !frame) {
        return;
    }
    shownOnce = true;
    // The ports on this machine, looked for once the window is up.
    frame->formView()->portChooser().refresh();
    // The .mot association, written at every start; silent when it cannot be.
    if (options.desktopIntegration) {
        desktop::registerDesktopAssociation(QCoreApplication::applicationFilePath());
        suspendRefusal = std::make_unique<SuspendRefusal>();
    }
    if (options.singleInstance) {
        instance = std::make_unique<SingleInstance>();
        connect(instance.get(), &SingleInstance::fileHandedOver, this,
                &CCorvaneApp::takeHandedOver);
        instance->listen();
    }
    emit startFinished();
}

void CCorvaneApp::takeHandedOver(const QString& path) {
    pendingFiles.append(path);
    openPending();
}

void CCorvaneApp::openPending() {
    if (pendingFiles.isEmpty() || !frame) {
        return;
    }
    // Not into a message box or a run that waits for the operator: later.
    if (QApplication::activeModalWidget() || op.exchangeRunning() ||
        frame->formView()->view().busy) {
        QTimer::singleShot(100, this, &CCorvaneApp::openPending);
        return;
    }
    const QString path = pendingFiles.takeFirst();
    frame->showNormal();
    frame->raise();
    frame->activateWindow();
    if (!path.isEmpty()) {
        openDocumentFile(path);
    }
    if (!pendingFiles.isEmpty()) {
        QTimer::singleShot(0, this, &CCorvaneApp::openPending);
    }
}

void CCorvaneApp::showLog() {
    if (frame) {
        frame->showLogPane(true);
    }
}

LogPane* CCorvaneApp::logPane() const {
    return frame ? frame->logPane() : nullptr;
}

QString CCorvaneApp::defaultBootDir() const {
    return QString::fromStdString(startBootDir.string());
}

void CCorvaneApp::onSettings() {
    if (!frame) {
        return;
    }
    const QString stored = settings::open()->value(settings::bootDirKey()).toString();
    SettingsDialog dialog(stored, defaultBootDir(), frame.get());
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    if (!setBootDir(dialog.bootDir())) {
        op.showMessage("The boot files folder cannot be changed while a run is under way.");
    }
}

bool CCorvaneApp::setBootDir(const QString& folder) {
    const std::filesystem::path used =
        folder.isEmpty() ? startBootDir : std::filesystem::path(folder.toStdString());
    if (!frame || !frame->formView()->setBootDir(used)) {
        return false;
    }
    options.places.bootDir = used;
    auto store = settings::open();
    if (folder.isEmpty()) {
        store->remove(settings::bootDirKey());
    } else {
        store->setValue(settings::bootDirKey(), folder);
    }
    op.log().add(RunLog::Kind::Information,
                 QStringLiteral("Boot files folder: ") + QString::fromStdString(used.string()));
    return true;
}

bool CCorvaneApp::unregister(const CommandLineInfo& info) {
    unregistering = true;
    bool removed = settings::removeAll();
    removed = desktop::unregisterDesktopAssociation() == 1 && removed;
    if (!info.runEmbedded) {
        op.showMessage(removed ? "The file association and the settings of Velmora(3062 series) "
                                 "have been removed."
                               : "Not all of the file association and the settings of "
                                 "Velmora(3062 series) could be removed.");
    }
    return removed;
}

void CCorvaneApp::exitInstance() {
    if (!unregistering) {
        auto store = settings::open();
        recent.write(*store);
    }
    instance.reset();
    frame.reset();
    serialPort.close();
}

void CCorvaneApp::onAppAbout() {
    CAboutDialog about(frame.get());
    about.exec();
}

void CCorvaneApp::onFileNew() {
    if (doc->onNewDocument() && frame) {
        frame->setDocumentTitle(doc->title());
        frame->formView()->showNothingLoaded();
    }
}

void CCorvaneApp::onFileOpen() {
    QFileDialog dialog(frame.get(), QStringLiteral("Open"));
    dialog.setObjectName(QStringLiteral("openDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({QStringLiteral("mot Files (*.mot)"), QStringLiteral("All Files (*.*)")});
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return;
    }
    openDocumentFile(dialog.selectedFiles().constFirst());
}

bool CCorvaneApp::openDocumentFile(const QString& path) {
    if (op.exchangeRunning()) {
        // Not while a run is writing the loaded image.
        return false;
    }
    op.log().beginRun(QStringLiteral("Load ") + QFileInfo(path).absoluteFilePath());
    const RunRecord& load = doc->program().lastLoad();
    op.beginRecord(&load);
    const bool loaded = doc->onOpenDocument(path) != 0;
    op.endRecord();
    if (!loaded) {
        QString outcome = QStringLiteral("not loaded");
        if (load.stage != RunStage::None) {
            outcome += QStringLiteral(" at ") + QString::fromStdString(stageText(load));
        }
        if (!load.cause.empty()) {
            outcome += QStringLiteral(" (") + QString::fromStdString(load.cause) + QLatin1Char(')');
        }
        op.log().endRun(outcome, op.lastBoxTime());
        return false;
    }
    op.log().endRun(QStringLiteral("loaded"), op.lastBoxTime());
    recent.add(path);
    return true;
}

void CCorvaneApp::programLoaded() {
    if (!frame) {
        return;
    }
    // Before the reminder: the caption names the file it asks about, and the
    // form shows what will be written, with the load's warnings.
    frame->setDocumentTitle(doc->title());
    LoadedProgram program;
    program.path = doc->pathName();
    program.image = summarizeImage(doc->program().image());
    for (const RunEntry& entry : doc->program().lastLoad().entries) {
        if (entry.notice && entry.kind == Notice::Warning) {
            program.warnings << QString::fromStdString(entry.text);
        }
    }
    frame->formView()->showLoaded(program);
}

} // namespace velmora::app
