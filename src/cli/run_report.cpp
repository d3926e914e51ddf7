#include "cli/run_report.h"

#include "serial/wire_tap.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sys/time.h>

#ifndef VELMORA_VERSION
#define VELMORA_VERSION "0.0.0"
#endif

namespace velmora::cli {

namespace {

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

std::string formatTime(const timeval& now, int fractionDigits) {
    std::tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    char whole[32];
    std::strftime(whole, sizeof whole, "%Y-%m-%dT%H:%M:%S", &parts);
    char fraction[24];
    if (fractionDigits == 6) {
        std::snprintf(fraction, sizeof fraction, ".%06ld", static_cast<long>(now.tv_usec));
    } else {
        std::snprintf(fraction, sizeof fraction, ".%03ld", static_cast<long>(now.tv_usec / 1000));
    }
    return std::string(whole) + fraction + "Z";
}

std::string timeNow(int fractionDigits) {
    timeval now{};
    gettimeofday(&now, nullptr);
    return formatTime(now, fractionDigits);
}

} // namespace

const char* toolVersion() {
    return VELMORA_VERSION;
}

std::string isoTimeNow() {
    return timeNow(3);
}

std::string commandLineOfThisProcess() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string words((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!words.empty() && words.back() == '\0') {
        words.pop_back();
    }
    for (char& c : words) {
        if (c == '\0') {
            c = ' ';
        }
    }
    return words;
}

bool RunReport::takeImage(const std::string& path) {
    QFile file(text(path));
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        return false;
    }
    imageSize = file.size();
    imageSha256 = hash.result().toHex().toStdString();
    return true;
}

bool RunReport::write(const std::string& path) const {
    QJsonArray boardList;
    for (const BoardRecord& board : boards) {
        QJsonArray messages;
        for (const std::string& message : board.messages) {
            messages.append(text(message));
        }
        boardList.append(QJsonObject{
            {"port", text(board.port)},
            {"start", text(board.startTime)},
            {"end", text(board.endTime)},
            {"seconds", board.seconds},
            {"result", board.programmed ? "programmed" : "failed"},
            {"messages", messages},
            {"bytesSent", static_cast<qint64>(board.bytesSent)},
            {"bytesReceived", static_cast<qint64>(board.bytesReceived)},
        });
    }
    QJsonObject image{{"file", text(imageFile)}};
    if (imageSize >= 0) {
        image["size"] = static_cast<qint64>(imageSize);
        image["sha256"] = text(imageSha256);
    }
    QJsonObject root{
        {"tool", "velmora-cli"}, {"version", toolVersion()}, {"command", text(command)},
        {"image", image},        {"boards", boardList},
    };
    QSaveFile file(text(path)); // a reader never sees half a report
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write(QJsonDocument(root).toJson(QJsonDocument::Indented));
    return file.commit();
}

bool RunReport::readBoards(const std::string& path, std::vector<BoardRecord>& boards) {
    QFile file(text(path));
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject()) {
        return false;
    }
    for (const QJsonValue& entry : document.object()["boards"].toArray()) {
        QJsonObject object = entry.toObject();
        BoardRecord board;
        board.port = object["port"].toString().toStdString();
        board.startTime = object["start"].toString().toStdString();
        board.endTime = object["end"].toString().toStdString();
        board.seconds = object["seconds"].toDouble();
        board.programmed = object["result"].toString() == "programmed";
        for (const QJsonValue& message : object["messages"].toArray()) {
            board.messages.push_back(message.toString().toStdString());
        }
        board.bytesSent = object["bytesSent"].toInteger();
        board.bytesReceived = object["bytesReceived"].toInteger();
        boards.push_back(std::move(board));
    }
    return true;
}

RunRecorder::RunRecorder(Operator& inner, std::string port)
    : inner(inner), started(std::chrono::steady_clock::now()) {
    record.port = std::move(port);
    record.startTime = isoTimeNow();
    setWireObserver([this](const std::string& device, WireDirection direction, int baud,
                           const std::uint8_t* bytes, int count) {
        std::lock_guard lock(wireMutex);
        bool sent = direction == WireDirection::Sent;
        (sent ? record.bytesSent : record.bytesReceived) += count;
        if (transcript == nullptr) {
            return;
        }
        std::fprintf(transcript, "%s %s %s %d", timeNow(6).c_str(), sent ? "TX" : "RX",
                     device.c_str(), baud);
        for (int i = 0; i < count; ++i) {
            std::fprintf(transcript, " %02X", bytes[i]);
        }
        std::fputc('\n', transcript);
    });
}

RunRecorder::~RunRecorder() {
    setWireObserver({});
    if (transcript != nullptr) {
        std::fclose(transcript);
    }
}

bool RunRecorder::openTranscript(const std::string& path) {
    std::lock_guard lock(wireMutex);
    transcript = std::fopen(path.c_str(), "w");
    if (transcript != nullptr) {
        std::fprintf(transcript,
                     "# velmora-cli %s wire transcript, port %s\n"
                     "# time (UTC) direction device baud bytes (hex)\n",
                     toolVersion(), record.port.c_str());
    }
    return transcript != nullptr;
}

void RunRecorder::showMessage(std::string_view text, Icon icon) {
    record.messages.emplace_back(text);
    {
        std::lock_guard lock(wireMutex);
        if (transcript != nullptr) { // where in the exchange the operator was told
            std::fprintf(transcript, "%s message %.*s\n", timeNow(6).c_str(),
                         static_cast<int>(text.size()), text.data());
        }
    }
    inner.showMessage(text, icon);
}

void RunRecorder::notify(std::string_view text, Notice kind) {
    record.messages.emplace_back(text);
    {
        std::lock_guard lock(wireMutex);
        if (transcript != nullptr) {
            std::fprintf(transcript, "%s notice %.*s\n", timeNow(6).c_str(),
                         static_cast<int>(text.size()), text.data());
        }
    }
    inner.notify(text, kind);
}

int RunRecorder::runExchange(Exchange& exchange) {
    return inner.runExchange(exchange);
}

void RunRecorder::pause(int passes) {
    inner.pause(passes);
}

BoardRecord RunRecorder::finish(bool programmed) {
    std::lock_guard lock(wireMutex);
    record.programmed = programmed;
    record.endTime = isoTimeNow();
    record.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (transcript != nullptr) {
        std::fflush(transcript);
    }
    return record;
}

} // namespace velmora::cli
