#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QWidget>

class QPlainTextEdit;

namespace velmora::app {

// What happened in this session, run by run: each command with its time and
// port, the messages and notices it gave, and how it ended. The status line
// keeps the last result until the next command begins.
class RunLog : public QObject {
    Q_OBJECT
public:
    enum class Kind { Run, Message, Failure, Warning, Information, Outcome };
    struct Entry {
        QDateTime time;
        Kind kind;
        QString text;
    };

    // A command begins: "Flash on /dev/ttyUSB0".
    void beginRun(const QString& command, const QString& port = {});
    void add(Kind kind, const QString& text, const QDateTime& at = {});
    // The command has ended, its result known at `at` (now when invalid);
    // `outcome` is what the status line keeps.
    void endRun(const QString& outcome, const QDateTime& at = {});

    const QList<Entry>& entries() const { return log; }
    QString lastResult() const { return last; }
    // The log as text, one line an entry, as Save writes it.
    QString text() const;
    static QString line(const Entry& entry);
    // False with the system's reason in `error` when the file cannot be written.
    bool saveAs(const QString& path, QString* error = nullptr) const;
    void clear();

signals:
    void entryAdded(const velmora::app::RunLog::Entry& entry);
    // What the status line shows now: a notice during a run, the last result after it.
    void statusChanged(const QString& text);

private:
    QList<Entry> log;
    QString runName;
    QString last;
};

// The log pane of the main window: the run log as text, following the run
// under way, with Save as text and Clear.
class LogPane : public QWidget {
    Q_OBJECT
public:
    LogPane(RunLog& runLog, QWidget* parent);
    QPlainTextEdit* view() const { return textView; }

    // Asks for a file and writes the log there as text.
    void saveAsText();

private:
    RunLog& log;
    QPlainTextEdit* textView = nullptr;
};

} // namespace velmora::app
