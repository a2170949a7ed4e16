#include "activity_log.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextCursor>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "test_server.h"
#include "text_encoding.h"

namespace veltrox {
namespace {

using testing::Reply;
using testing::TestServer;

Reply DateReply(std::vector<std::pair<std::string, std::string>> headers) {
  Reply reply;
  reply.headers = std::move(headers);
  return reply;
}

// A clock server the log points at for the length of a test, and a log box.
class ActivityLog : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.SetReply(DateReply({{"Date", "Wed, 27 May 2020 01:02:03 GMT"}}));
    SetNetworkClockAddress(server_.Url());
    box_ = std::make_unique<QPlainTextEdit>();
    box_->setObjectName(QString::fromUtf8("编辑框_日志"));
    box_->setReadOnly(true);
    AttachLogBox(box_.get());
  }
  void TearDown() override {
    DetachLogBox();
    SetNetworkClockAddress("http://127.0.0.1:9/");
  }
  std::string BoxText() const { return Utf8ToGb18030(box_->toPlainText().toStdString()); }

  TestServer server_;
  std::unique_ptr<QPlainTextEdit> box_;
};

template <typename Done>
bool ServeUntil(Done done) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!done()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

TEST_F(ActivityLog, ClockStampsFromTheDateHeader) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> headers;
    const char* stamp;
  } cases[] = {
      {"plain", {{"Date", "Wed, 27 May 2020 01:02:03 GMT"}}, "2020/5/27 09:02:03"},
      {"year carry", {{"Date", "Tue, 31 Dec 2019 20:00:00 GMT"}}, "2020/1/1 04:00:00"},
      {"month carry", {{"Date", "Thu, 28 Feb 2019 16:00:00 GMT"}}, "2019/3/1 00:00:00"},
      {"leap day", {{"Date", "Fri, 28 Feb 2020 16:00:00 GMT"}}, "2020/2/29 00:00:00"},
      {"24-hour clock", {{"Date", "Wed, 27 May 2020 05:30:00 GMT"}}, "2020/5/27 13:30:00"},
      {"lower-case header counts as missing", {{"date", "Wed, 27 May 2020 05:30:00 GMT"}}, "0100/1/1 08:00:00"},
      {"missing", {{"X-Other", "1"}}, "0100/1/1 08:00:00"},
      {"first Date: wins, even in X-Date",
       {{"X-Date", "Mon, 01 Jan 2001 00:00:00 GMT"}, {"Date", "Wed, 27 May 2020 01:02:03 GMT"}}, "2001/1/1 08:00:00"},
      {"unreadable", {{"Date", "tomorrow"}}, "0100/1/1 08:00:00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.SetReply(DateReply(c.headers));
    EXPECT_EQ(BuildLogLine("m"), std::string(c.stamp) + " >> m\r\n");
  }
  // Exactly one HEAD of the root page per line, and nothing else.
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), std::size(cases));
  for (const auto& r : requests) {
    EXPECT_EQ(r.method, "HEAD");
    EXPECT_EQ(r.target, "/");
  }
}

TEST_F(ActivityLog, UnreachableClockGivesTheFloorDate) {
  TestServer gone;
  gone.Refuse();
  EXPECT_EQ(FormatDateTime(NetworkClock(gone.Url()), "yyyy/M/d", " hh:mm:ss", 1), "0100/1/1 08:00:00");
  // An explicit address wins over the configured one.
  EXPECT_EQ(FormatDateTime(NetworkClock(server_.Url()), "yyyy/M/d", " hh:mm:ss", 1), "2020/5/27 09:02:03");
  EXPECT_EQ(NetworkClockAddress(), server_.Url());
}

TEST_F(ActivityLog, AppendOnTheGuiThread) {
  box_->setPlainText("typed");
  QTextCursor start = box_->textCursor();
  start.movePosition(QTextCursor::Start);
  box_->setTextCursor(start);
  AppendLog(Gb(u8"[系统] 欢迎使用"));
  AppendLog("");
  AppendLog("two\r\nlines");
  EXPECT_EQ(BoxText(), "typed" + Gb(u8"2020/5/27 09:02:03 >> [系统] 欢迎使用") +
                           "\n2020/5/27 09:02:03 >> \n2020/5/27 09:02:03 >> two\nlines\n");
  // Each CR LF is one line break: the lines read back without empty ones between them.
  EXPECT_EQ(box_->document()->blockCount(), 5);
  EXPECT_EQ(box_->textCursor().position(), box_->document()->characterCount() - 1);
  EXPECT_FALSE(box_->document()->isUndoAvailable());
}

TEST_F(ActivityLog, ClearedBoxStartsWithTheNextLine) {
  AppendLog("old");
  box_->clear();
  AppendLog("new");
  EXPECT_EQ(BoxText(), "2020/5/27 09:02:03 >> new\n");
}

TEST_F(ActivityLog, CaretStaysInViewAsTheLogGrows) {
  box_->resize(300, 120);
  box_->show();
  for (int i = 0; i < 60; ++i) AppendLog("line " + std::to_string(i));
  QScrollBar* bar = box_->verticalScrollBar();
  EXPECT_GT(bar->value(), 0);  // it had to scroll
  EXPECT_TRUE(box_->viewport()->rect().contains(box_->cursorRect()));
}

TEST_F(ActivityLog, ManyThreadsLogWholeLines) {
  constexpr int kThreads = 8;
  constexpr int kLines = 25;
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([t, &finished] {
      for (int i = 0; i < kLines; ++i) {
        AppendLog(Gb(u8"线程") + std::to_string(t) + " line " + std::to_string(i) + Gb(u8" 完"));
      }
      ++finished;
    });
  }
  ASSERT_TRUE(ServeUntil([&] { return finished.load() == kThreads; }));
  for (auto& w : workers) w.join();

  const QStringList lines = box_->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), kThreads * kLines);
  const QRegularExpression shape(QString::fromUtf8(
      "^\\d{4}/\\d{1,2}/\\d{1,2} \\d{2}:\\d{2}:\\d{2} >> 线程(\\d+) line (\\d+) 完$"));
  std::map<int, int> nextLine;  // each thread's lines arrive in its own order
  for (const QString& line : lines) {
    const QRegularExpressionMatch m = shape.match(line);
    ASSERT_TRUE(m.hasMatch()) << line.toStdString();
    const int thread = m.captured(1).toInt();
    EXPECT_EQ(m.captured(2).toInt(), nextLine[thread]++);
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(nextLine[t], kLines);
}

TEST_F(ActivityLog, LateLinesAreDroppedOnceTheBoxIsGone) {
  enum class How { Detach, DestroyBox };
  for (How how : {How::Detach, How::DestroyBox}) {
    SCOPED_TRACE(static_cast<int>(how));
    if (!box_) {
      box_ = std::make_unique<QPlainTextEdit>();
      AttachLogBox(box_.get());
    }
    std::atomic<bool> returned{false};
    std::thread worker([&] {
      AppendLog("waiting");
      returned = true;
    });
    // The GUI thread does not serve it, so the line waits.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (WaitingLogLines() == 0 && std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(WaitingLogLines(), 1u);
    if (how == How::Detach) {
      DetachLogBox();
    } else {
      box_.reset();
    }
    worker.join();
    EXPECT_TRUE(returned);
    QCoreApplication::processEvents();
    if (box_) EXPECT_EQ(box_->toPlainText(), "");
    // Later lines, from any thread, return without a box to write into.
    AppendLog("after");
    std::thread late([] { AppendLog("late"); });
    late.join();
    EXPECT_EQ(WaitingLogLines(), 0u);
    box_.reset();
  }
}

}  // namespace
}  // namespace veltrox
