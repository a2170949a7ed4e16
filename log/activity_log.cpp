#include "activity_log.h"

#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QString>
#include <QTextCursor>
#include <QTextDocument>

#include <memory>
#include <mutex>

#include "gui_call.h"
#include "text_encoding.h"
#include "text_helpers.h"
#include "web_request.h"

namespace veltrox {
namespace {

// Beijing time from a server that reports GMT.
constexpr double kClockOffsetSeconds = 8 * 3600;

// A public site that answers a plain-HTTP HEAD of its root page quickly from
// mainland China, where the tool's users are, and always sends a Date header.
constexpr const char* kDefaultClockAddress = "http://www.baidu.com/";

struct LogBox {
  std::mutex mutex;
  std::shared_ptr<GuiCallChannel> channel;  // read by any thread, under the mutex
  QPointer<QPlainTextEdit> box;             // GUI thread only
  std::string clockAddress = kDefaultClockAddress;
};

LogBox& Log() {
  static LogBox* log = new LogBox;  // never destroyed: late lines may still arrive at exit
  return *log;
}

// The box's paragraphs are its lines: QTextCursor makes every CR and every LF
// a paragraph break of its own, so CR LF would show as a line plus an empty
// one. Insert a single break for each CR LF (and for a lone CR or LF).
QString BoxText(std::string_view line) {
  QString text = QString::fromUtf8(Gb18030ToUtf8(line));
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
}

void InsertIntoBox(const QString& text) {
  QPlainTextEdit* box = Log().box.data();
  if (box == nullptr) return;
  QTextCursor cursor = box->textCursor();
  cursor.movePosition(QTextCursor::End);
  box->setTextCursor(cursor);
  box->ensureCursorVisible();
  // Qt keeps no undo history for a document with undo switched off. The log box
  // is read-only to the user, so the history it drops holds nothing of theirs.
  QTextDocument* document = box->document();
  const bool undo = document->isUndoRedoEnabled();
  document->setUndoRedoEnabled(false);
  cursor.insertText(text);
  document->setUndoRedoEnabled(undo);
  box->setTextCursor(cursor);
  box->ensureCursorVisible();
}

}  // namespace

void AttachLogBox(QPlainTextEdit* box) {
  LogBox& log = Log();
  std::shared_ptr<GuiCallChannel> old;
  auto channel = box != nullptr ? std::make_shared<GuiCallChannel>(box) : nullptr;
  {
    std::lock_guard lock(log.mutex);
    old = std::move(log.channel);
    log.channel = std::move(channel);
  }
  if (old) old->Close();
  log.box = box;
}

void DetachLogBox() {
  LogBox& log = Log();
  std::shared_ptr<GuiCallChannel> old;
  {
    std::lock_guard lock(log.mutex);
    old = std::move(log.channel);
  }
  if (old) old->Close();
  log.box = nullptr;
}

std::string NetworkClockAddress() {
  LogBox& log = Log();
  std::lock_guard lock(log.mutex);
  return log.clockAddress;
}

void SetNetworkClockAddress(std::string url) {
  LogBox& log = Log();
  std::lock_guard lock(log.mutex);
  log.clockAddress = std::move(url);
}

DateTime NetworkClock(const std::optional<std::string>& url) {
  std::string responseHeaders;
  WebRequestOptions options;
  options.method = 2;  // HEAD
  options.responseHeaders = &responseHeaders;
  WebRequest(url ? *url : NetworkClockAddress(), options);
  // The first "Date:" anywhere counts, with exact case; the blank behind the colon stays.
  const std::string dateText = TextBetween(responseHeaders, "Date:", "\r\n");
  return AddSeconds(ParseInternetTime(dateText), kClockOffsetSeconds);
}

std::string BuildLogLine(std::string_view message) {
  std::string line = FormatDateTime(NetworkClock(), "yyyy/M/d", " hh:mm:ss", 1);
  line += " >> ";
  line += message;
  line += "\r\n";
  return line;
}

std::size_t WaitingLogLines() {
  LogBox& log = Log();
  std::lock_guard lock(log.mutex);
  return log.channel ? log.channel->Waiting() : 0;
}

void AppendLog(std::string_view message) {
  const QString text = BoxText(BuildLogLine(message));
  std::shared_ptr<GuiCallChannel> channel;
  {
    LogBox& log = Log();
    std::lock_guard lock(log.mutex);
    channel = log.channel;
  }
  if (channel) channel->Call([&text] { InsertIntoBox(text); });
}

}  // namespace veltrox
