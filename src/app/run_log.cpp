#include "app/run_log.h"

#include "core/file_io.h"

#include <QBoxLayout>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>

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

void RunLog::add(Kind kind, const QString& text, const QDateTime& at) {
    log.append({at.isValid() ? at : QDateTime::currentDateTime(), kind, text});
    emit entryAdded(log.constLast());
    if (kind == Kind::Failure || kind == Kind::Warning || kind == Kind::Information) {
        emit statusChanged(text);
    }
}

void RunLog::endRun(const QString& outcome, const QDateTime& at) {
    add(Kind::Outcome, outcome, at);
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
    const QByteArray bytes = text().toUtf8();
    std::string reason;
    if (!publishFile(QFile::encodeName(path).toStdString(),
                     std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                     Durability::Synced, &reason)) {
        if (error) {
            *error = QString::fromStdString(reason);
        }
        return false;
    }
    return true;
}

void RunLog::clear() {
    log.clear();
}

LogPane::LogPane(RunLog& runLog, QWidget* parent) : QWidget(parent), log(runLog) {
    setObjectName(QStringLiteral("logPane"));
    textView = new QPlainTextEdit(this);
    textView->setObjectName(QStringLiteral("logText"));
    textView->setReadOnly(true);
    textView->setLineWrapMode(QPlainTextEdit::NoWrap);
    textView->setPlainText(runLog.text());
    const QFontMetrics metrics(textView->font());
    textView->setMinimumHeight(metrics.lineSpacing() * 4);

    auto* save = new QPushButton(QStringLiteral("&Save as text..."), this);
    auto* clear = new QPushButton(QStringLiteral("C&lear"), this);
    // The window's plain-letter keys stay commands: the buttons take no focus.
    save->setFocusPolicy(Qt::NoFocus);
    clear->setFocusPolicy(Qt::NoFocus);
    textView->setFocusPolicy(Qt::ClickFocus);
    connect(save, &QPushButton::clicked, this, &LogPane::saveAsText);
    connect(clear, &QPushButton::clicked, this, [this] {
        this->log.clear();
        textView->clear();
    });

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(save);
    buttons->addWidget(clear);
    buttons->addStretch(1);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 0, 4, 4);
    layout->addWidget(textView, 1);
    layout->addLayout(buttons);
    // Each entry as it comes, the newest in sight.
    connect(&runLog, &RunLog::entryAdded, this, [this](const RunLog::Entry& entry) {
        textView->appendPlainText(RunLog::line(entry));
        textView->moveCursor(QTextCursor::End);
        textView->ensureCursorVisible();
        // Down to the newest line, but from the start of the lines: their times.
        textView->horizontalScrollBar()->setValue(0);
    });
}

void LogPane::saveAsText() {
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Save the run log"), QStringLiteral("velmora-log.txt"),
        QStringLiteral("Text files (*.txt);;All Files (*)"));
    if (path.isEmpty()) {
        return;
    }
    QString error;
    if (!log.saveAs(path, &error)) {
        QMessageBox::warning(this, QStringLiteral("Run log - Velmora"),
                             QStringLiteral("Cannot write %1: %2").arg(path, error));
    }
}

} // namespace velmora::app
