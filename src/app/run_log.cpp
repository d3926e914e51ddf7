#include "app/run_log.h"

#include "core/published_file.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace velmora::app {

namespace {

QString kindLabel(RunLog::Kind kind) {
    switch (kind) {
    case RunLog::Kind::Failure:
        return QStringLiteral("failure: ");
    case RunLog::Kind::Warning:
        return QStringLiteral("warning: ");
    case RunLog::Kind::Outcome:
        return QStringLiteral("result: ");
    case RunLog::Kind::Run:
    case RunLog::Kind::Message:
    case RunLog::Kind::Information:
        break;
    }
    return {};
}

} // namespace

void RunLog::beginRun(const QString& command, const QString& port) {
    runName = port.isEmpty() ? command : command + QStringLiteral(" on ") + port;
    add(Kind::Run, runName);
    emit statusChanged(runName + QStringLiteral(" ..."));
}

void RunLog::add(Kind kind, const QString& text) {
    log.append({QDateTime::currentDateTime(), kind, text});
    emit entryAdded(log.constLast());
    if (kind == Kind::Failure || kind == Kind::Warning || kind == Kind::Information) {
        emit statusChanged(text);
    }
}

void RunLog::endRun(const QString& outcome) {
    add(Kind::Outcome, outcome);
    last = runName.isEmpty() ? outcome : runName + QStringLiteral(": ") + outcome;
    emit statusChanged(last);
}

QString RunLog::line(const Entry& entry) {
    if (entry.kind == Kind::Run) {
        return entry.time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) + QStringLiteral("  ") +
               entry.text;
    }
    return QStringLiteral("  ") + entry.time.toString(QStringLiteral("hh:mm:ss")) +
           QStringLiteral("  ") + kindLabel(entry.kind) + entry.text;
}

QString RunLog::text() const {
    QString all;
    for (const Entry& entry : log) {
        all += line(entry) + QLatin1Char('\n');
    }
    return all;
}

bool RunLog::saveAs(const QString& path, QString* error) const {
    // Written where it is named (through a link, into a FIFO), a regular
    // file whole or not at all: an earlier file stays as it was on failure.
    PublishedFile file;
    const QByteArray bytes = text().toUtf8();
    if (!file.open(QFile::encodeName(path).toStdString()) ||
        !file.write(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()))) ||
        !file.commit()) {
        if (error) {
            *error = QString::fromStdString(file.reason());
        }
        return false;
    }
    return true;
}

void RunLog::clear() {
    log.clear();
}

LogWindow::LogWindow(RunLog& log, QWidget* owner) : QDialog(owner), log(log) {
    setObjectName(QStringLiteral("logWindow"));
    setWindowTitle(QStringLiteral("Run log - Velmora"));
    textView = new QPlainTextEdit(this);
    textView->setReadOnly(true);
    textView->setLineWrapMode(QPlainTextEdit::NoWrap);
    textView->setPlainText(log.text());
    const QFontMetrics metrics(textView->font());
    textView->setMinimumSize(metrics.horizontalAdvance(QLatin1Char('x')) * 80,
                             metrics.lineSpacing() * 16);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* save =
        buttons->addButton(QStringLiteral("&Save as text..."), QDialogButtonBox::ActionRole);
    QPushButton* clear = buttons->addButton(QStringLiteral("C&lear"), QDialogButtonBox::ResetRole);
    buttons->addButton(QDialogButtonBox::Close);
    connect(save, &QPushButton::clicked, this, &LogWindow::saveAsText);
    connect(clear, &QPushButton::clicked, this, [this] {
        this->log.clear();
        textView->clear();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::hide);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(textView);
    layout->addWidget(buttons);
    connect(&log, &RunLog::entryAdded, this,
            [this](const RunLog::Entry& entry) { textView->appendPlainText(RunLog::line(entry)); });
}

void LogWindow::saveAsText() {
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Save the run log"), QStringLiteral("velmora-log.txt"),
        QStringLiteral("Text files (*.txt);;All Files (*)"));
    if (path.isEmpty()) {
        return;
    }
    QString error;
    if (!log.saveAs(path, &error)) {
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("Cannot write %1: %2").arg(path, error));
    }
}

} // namespace velmora::app
