#pragma once

// Loads the built efd.dll as the program does, records what the hook receives
// and leaves edits in the slots, all through raw memory in the record layout.

#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "raw_client.h"
#include "test_server.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace veltrox::engine::testing {

using Word = std::uintptr_t;

struct Exports {
  std::int32_t (*InitFiddler)(std::int32_t, std::uintptr_t) = nullptr;
  void (*CloseFiddler)() = nullptr;
  void (*StartSSL)(std::int32_t) = nullptr;
  void (*AutoStartFiddlerProxy)(std::int32_t) = nullptr;
  void (*SetBase64)(const char*) = nullptr;
  const char* (*sslGetKey)() = nullptr;
  void (*sslSetKey)(const char*) = nullptr;
  const char* (*sslGetCert)() = nullptr;
  void (*sslSetCert)(const char*) = nullptr;
};

inline const Exports& Efd() {
  static Exports exports = [] {
    Exports e;
    void* library = dlopen(EFD_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      ADD_FAILURE() << "cannot load " << EFD_LIBRARY_PATH << ": " << dlerror();
      return e;
    }
    auto find = [&](auto& slot, const char* name) {
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(library, name));
      if (slot == nullptr) ADD_FAILURE() << "missing export " << name;
    };
    find(e.InitFiddler, "InitFiddler");
    find(e.CloseFiddler, "CloseFiddler");
    find(e.StartSSL, "StartSSL");
    find(e.AutoStartFiddlerProxy, "AutoStartFiddlerProxy");
    find(e.SetBase64, "SetBase64");
    find(e.sslGetKey, "sslGetKey");
    find(e.sslSetKey, "sslSetKey");
    find(e.sslGetCert, "sslGetCert");
    find(e.sslSetCert, "sslSetCert");
    return e;
  }();
  return exports;
}

// One event as the hook saw it, copied out of the block.
struct Event {
  std::array<std::string, 7> words;  // words 1 to 7
  std::uint32_t number = 0;
  std::uint32_t type = 0;
  const std::string& Url() const { return words[0]; }
};

inline std::string TextAt(Word address) {
  return address == 0 ? std::string() : std::string(reinterpret_cast<const char*>(address));
}

inline Word ReadWord(Word base, std::size_t index) {
  Word w;
  std::memcpy(&w, reinterpret_cast<const void*>(base + index * sizeof(Word)), sizeof w);
  return w;
}

inline void WriteWord(Word base, std::size_t index, Word value) {
  std::memcpy(reinterpret_cast<void*>(base + index * sizeof(Word)), &value, sizeof value);
}

inline Event ReadEvent(Word block) {
  Event e;
  for (std::size_t i = 0; i < 7; ++i) e.words[i] = TextAt(ReadWord(block, i));
  e.number = static_cast<std::uint32_t>(ReadWord(block, 7));
  e.type = static_cast<std::uint32_t>(ReadWord(block, 8));
  return e;
}

// Texts that slots point at; they must outlive the hook call, so they live as
// long as the process (a hook may return after its test has ended).
inline const char* KeepText(std::string text) {
  static std::mutex mutex;
  static auto* texts = new std::deque<std::string>;
  std::lock_guard lock(mutex);
  texts->push_back(std::move(text));
  return texts->back().c_str();
}

// Puts an edit into slot `index` (0-based) of the slot area.
inline void PutEdit(Word slots, std::size_t index, Word code, const std::string& text1,
                    const std::string& text2 = "\x14") {
  WriteWord(slots, index * 3, code);
  WriteWord(slots, index * 3 + 1, reinterpret_cast<Word>(KeepText(text1)));
  WriteWord(slots, index * 3 + 2, reinterpret_cast<Word>(KeepText(text2)));
}

// What the hook does: the test's function gets the decoded event and the slot
// area; every event is recorded.
class HookRecorder {
 public:
  using Behaviour = std::function<void(const Event&, Word slots)>;

  static HookRecorder& Instance() {
    static auto* recorder = new HookRecorder;
    return *recorder;
  }

  static void Hook(std::uintptr_t block, std::uintptr_t slots) { Instance().Handle(block, slots); }

  void Reset(Behaviour behaviour = {}) {
    std::lock_guard lock(mutex_);
    events_.clear();
    behaviour_ = std::move(behaviour);
  }

  std::vector<Event> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

  std::vector<Event> EventsOfType(std::uint32_t type) const {
    std::vector<Event> out;
    for (auto& e : Events()) {
      if (e.type == type) out.push_back(e);
    }
    return out;
  }

  bool WaitForEvents(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
  }

 private:
  void Handle(std::uintptr_t block, std::uintptr_t slots) {
    Event event = ReadEvent(block);
    Behaviour behaviour;
    {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
      behaviour = behaviour_;
    }
    arrived_.notify_all();
    if (behaviour) behaviour(event, slots);
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<Event> events_;
  Behaviour behaviour_;
};

// The project's test server on a port whose digits hold no "443": the engine
// leaves sessions whose URL contains "443" unreported, so a server that drew
// such a port would make a test fail by chance.
class OriginServer {
 public:
  using Handler = veltrox::testing::TestServer::Handler;
  OriginServer() : OriginServer(nullptr) {}
  explicit OriginServer(Handler handler) {
    do {
      server_ = handler ? std::make_unique<veltrox::testing::TestServer>(handler)
                        : std::make_unique<veltrox::testing::TestServer>();
    } while (!ReportablePort(server_->Port()));
  }
  std::uint16_t Port() const { return server_->Port(); }
  std::string Url(std::string_view path = "/") const { return server_->Url(path); }
  std::vector<veltrox::testing::RecordedRequest> Requests() const { return server_->Requests(); }
  std::size_t RequestCount() const { return server_->RequestCount(); }
  std::size_t ConnectionCount() const { return server_->ConnectionCount(); }

 private:
  std::unique_ptr<veltrox::testing::TestServer> server_;
};


using veltrox::testing::FreePort;

inline HookRecorder& Recorder() { return HookRecorder::Instance(); }

// Starts the engine with the recording hook on a free port; 0 when it would not.
inline std::uint16_t StartEngine() {
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::uint16_t port = FreePort();
    if (Efd().InitFiddler(port, reinterpret_cast<std::uintptr_t>(&HookRecorder::Hook)) == 1) return port;
  }
  ADD_FAILURE() << "the engine did not start";
  return 0;
}

// A fixture whose engine runs with the recording hook for each test.
class RunningEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Recorder().Reset();
    port_ = StartEngine();
    ASSERT_NE(port_, 0);
  }
  void TearDown() override {
    Efd().CloseFiddler();
    Recorder().Reset();
    Efd().SetBase64("");
  }

  std::uint16_t port_ = 0;
};

struct CurlResult {
  int exitCode = -1;
  int status = 0;
  std::string headers;  // the last response's header block
  std::string body;
  std::string Header(const std::string& name) const {
    std::string lower;
    for (char c : headers) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string key = "\r\n";
    for (char c : name) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    key += ":";
    std::size_t at = lower.find(key);
    if (at == std::string::npos) return {};
    std::size_t begin = at + key.size();
    std::size_t end = headers.find("\r\n", begin);
    std::string value = headers.substr(begin, end - begin);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    return value;
  }
};

inline std::string ShellQuote(const std::string& arg) {
  std::string out = "'";
  for (char c : arg) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

// Runs curl through the proxy on `proxyPort`; `args` follow the proxy option.
inline CurlResult Curl(std::uint16_t proxyPort, const std::vector<std::string>& args) {
  char headerFile[] = "/tmp/engine-test-headers-XXXXXX";
  int fd = mkstemp(headerFile);
  close(fd);
  std::string command = "curl -s --max-time 30 -x http://127.0.0.1:" + std::to_string(proxyPort) + " -D " +
                        ShellQuote(headerFile);
  for (const auto& a : args) command += " " + ShellQuote(a);
  CurlResult result;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[65536];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.body.append(buffer, n);
  int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  FILE* headers = fopen(headerFile, "rb");
  std::string all;
  while (headers != nullptr && (n = fread(buffer, 1, sizeof buffer, headers)) > 0) all.append(buffer, n);
  if (headers != nullptr) fclose(headers);
  unlink(headerFile);
  // Interim answers (100 Continue) come first; the last header block is the response's.
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t end = all.find("\r\n\r\n", pos);
    if (end == std::string::npos) end = all.size();
    std::string block = all.substr(pos, end - pos);
    if (block.starts_with("HTTP/")) result.headers = block + "\r\n";
    pos = end + 4;
  }
  if (!result.headers.empty()) std::sscanf(result.headers.c_str(), "HTTP/%*s %d", &result.status);
  return result;
}

// A one-shot gate that a test opens; waiting threads give up after a long
// while so that a fault fails the test instead of hanging it.
class Gate {
 public:
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  bool Wait(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

}  // namespace veltrox::engine::testing
