#include "engine_bridge.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "files.h"
#include "library_loading.h"
#include "rewrite_hook.h"
#include "test_support.h"

namespace veltrox {
namespace {

using testing::FakeBlock;
using testing::FakeSlots;
using testing::ScopedEnv;
using testing::TempDir;

// The test engine library (fake_engine.cpp) and its controls.
class FakeEngine {
 public:
  FakeEngine() {
    LoadedLibrary library = LoadLibraryFile(VELTROX_FAKE_ENGINE);
    handle_ = library.handle;
    EXPECT_NE(handle_, nullptr) << "fake engine: error " << library.errorCode;
  }
  void* Handle() const { return handle_; }
  std::string Calls() const { return Control<const char*()>("FakeEngineCalls")(); }
  void ClearCalls() const { Control<void()>("FakeEngineClearCalls")(); }
  // A new start of the program: the engine's settings are fresh, the machine's trust is kept.
  void Restart() const { Control<void()>("FakeEngineRestart")(); }
  void ForgetTrust() const { Control<void()>("FakeEngineForgetTrust")(); }
  void Reset() const { Control<void()>("FakeEngineReset")(); }
  void SetStoreWritable(bool writable) const { Control<void(std::int32_t)>("FakeEngineSetStoreWritable")(writable); }
  bool Raise(std::uintptr_t block, std::uintptr_t slots) const {
    return Control<std::int32_t(std::uintptr_t, std::uintptr_t)>("FakeEngineRaise")(block, slots) != 0;
  }

 private:
  template <class F>
  F* Control(const char* name) const {
    auto* f = reinterpret_cast<F*>(FindExport(handle_, name));
    if (!f) ADD_FAILURE() << name;
    return f;
  }
  void* handle_ = nullptr;
};

class EngineBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override { engine_.Reset(); }
  std::string KeyPath() const { return data_ / "kv/ssl.key"; }
  std::string CertPath() const { return data_ / "kv/ssl.cert"; }

  FakeEngine engine_;
  EngineBridge bridge_{engine_.Handle(), "/opt/veltrox"};
  TempDir data_;
  ScopedEnv dataHome_{"XDG_DATA_HOME", data_.Path().string()};
};

TEST_F(EngineBridgeTest, EachOperationReachesItsExport) {
  struct Case {
    const char* name;
    std::function<std::string(const EngineBridge&)> call;  // the operation's result as text
    std::string calls;
    std::string result;
  } cases[] = {
      {"removeCerts", [](auto& b) { return std::to_string(b.removeCerts()); }, "removeCerts;", "1"},
      {"sslSetKey", [](auto& b) { b.sslSetKey("K"); return std::string(); }, "sslSetKey(K);", ""},
      {"sslSetCert", [](auto& b) { b.sslSetCert("C"); return std::string(); }, "sslSetCert(C);", ""},
      {"AutoStartFiddlerProxy", [](auto& b) { b.AutoStartFiddlerProxy(true); return std::string(); },
       "AutoStartFiddlerProxy(1);", ""},
      {"StartSSL off", [](auto& b) { b.StartSSL(false); return std::string(); }, "StartSSL(0);", ""},
      {"InitFiddler", [](auto& b) { return std::to_string(b.InitFiddler(7788, RewriteHook)); }, "InitFiddler(7788);",
       "1"},
      {"InitFiddler refused", [](auto& b) { return std::to_string(b.InitFiddler(65536, RewriteHook)); },
       "InitFiddler(65536);", "0"},
      {"CloseFiddler", [](auto& b) { b.CloseFiddler(); return std::string(); }, "CloseFiddler;", ""},
      {"SetBase64", [](auto& b) { b.SetBase64("/upload"); return std::string(); }, "SetBase64(/upload);", ""},
      {"CreateRootCert", [](auto& b) { return std::to_string(b.CreateRootCert()); }, "CreateRootCert;", "1"},
      {"rootCertExists", [](auto& b) { return std::to_string(b.rootCertExists()); }, "rootCertExists;", "1"},
      {"rootCertIsMachineTrusted", [](auto& b) { return std::to_string(b.rootCertIsMachineTrusted()); },
       "rootCertIsMachineTrusted;", "1"},
      {"sslGetKey", [](auto& b) { return b.sslGetKey(); }, "sslGetKey;", "-----KEY 1-----"},
      {"sslGetCert", [](auto& b) { return b.sslGetCert(); }, "sslGetCert;", "-----CERT 1-----"},
  };
  for (const Case& c : cases) {
    engine_.ClearCalls();
    EXPECT_EQ(c.call(bridge_), c.result) << c.name;
    EXPECT_EQ(engine_.Calls(), c.calls) << c.name;
  }
}

TEST_F(EngineBridgeTest, TextResultsAreCopiesAndTextArgumentsArriveWhole) {
  std::string key(5000, 'k');
  bridge_.sslSetKey(key);
  bridge_.sslSetCert("cert");
  std::string gotKey = bridge_.sslGetKey();
  std::string gotCert = bridge_.sslGetCert();  // the engine reuses its text buffer
  EXPECT_EQ(gotKey, key);
  EXPECT_EQ(gotCert, "cert");
}

TEST_F(EngineBridgeTest, TheEngineCallsTheHookItWasGiven) {
  InstallRewriteDependencies(
      [](std::string_view url) -> std::optional<std::pair<std::string, std::string>> {
        if (url == "http://127.0.0.1/a") return std::pair(std::string(url), std::string("http://remote/a"));
        return std::nullopt;
      },
      nullptr);
  ASSERT_EQ(bridge_.InitFiddler(7788, RewriteHook), 1);
  FakeBlock block(kTypeSend);
  block.Text(kWordUrl, "http://127.0.0.1/a");
  FakeSlots slots;
  ASSERT_TRUE(engine_.Raise(block.Address(), slots.Address()));
  InstallRewriteDependencies(nullptr, nullptr);
  ASSERT_EQ(slots.Used(), 1u);
  EXPECT_STREQ(slots.At(0).text1, "http://remote/a");
}

TEST_F(EngineBridgeTest, MissingExportsAreNotCalled) {
  // A library without any of the engine's names, and a bridge with no library
  // at all while the fake engine's names are visible process-wide.
  LoadedLibrary other = LoadLibraryFile(VELTROX_LOADABLE_LIBRARY);
  ASSERT_NE(other.handle, nullptr);
  void* global = dlopen(VELTROX_FAKE_ENGINE, RTLD_NOW | RTLD_GLOBAL | RTLD_NOLOAD);
  ASSERT_NE(global, nullptr);
  ASSERT_NE(dlsym(RTLD_DEFAULT, "InitFiddler"), nullptr);

  for (void* handle : {other.handle, static_cast<void*>(nullptr)}) {
    EngineBridge bridge(handle, data_.Path().string());
    engine_.ClearCalls();
    EXPECT_FALSE(bridge.removeCerts());
    EXPECT_EQ(bridge.sslGetKey(), "");
    EXPECT_EQ(bridge.sslGetCert(), "");
    bridge.sslSetKey("k");
    bridge.sslSetCert("c");
    bridge.AutoStartFiddlerProxy(true);
    bridge.StartSSL(true);
    EXPECT_EQ(bridge.InitFiddler(7788, RewriteHook), 0);
    bridge.CloseFiddler();
    bridge.SetBase64("x");
    EXPECT_EQ(bridge.CreateRootCert(), 0);
    EXPECT_FALSE(bridge.rootCertExists());
    EXPECT_FALSE(bridge.rootCertIsMachineTrusted());
    EXPECT_EQ(bridge.InstallRootCert(), 0);
    EXPECT_FALSE(bridge.CheckRootTrust());
    EXPECT_EQ(engine_.Calls(), "");
  }
  dlclose(global);
}

TEST_F(EngineBridgeTest, CopiesShareTheLibraryAndNothingUnloadsIt) {
  {
    auto* copy = new EngineBridge(bridge_);
    EXPECT_EQ(copy->ModuleHandle(), bridge_.ModuleHandle());
    EXPECT_EQ(copy->LibraryPath(), "/opt/veltrox/efd.dll");
    delete copy;
  }
  engine_.ClearCalls();
  bridge_.CloseFiddler();
  EXPECT_EQ(engine_.Calls(), "CloseFiddler;");
}

// The start command: trust check, a new root when untrusted, then the engine.
std::int32_t StartLikeTheWindow(const EngineBridge& bridge) {
  if (!bridge.CheckRootTrust()) {
    bridge.CreateRootCert();
    bridge.InstallRootCert();
  }
  bridge.StartSSL(true);
  bridge.AutoStartFiddlerProxy(true);
  return bridge.InitFiddler(65536 + 7788, RewriteHook);
}

TEST_F(EngineBridgeTest, FirstStartMakesAndSavesARootSecondStartReusesIt) {
  ASSERT_EQ(StartLikeTheWindow(bridge_), 1);
  EXPECT_EQ(engine_.Calls(),
            "removeCerts;CreateRootCert;InstCert;sslGetKey;sslGetCert;StartSSL(1);AutoStartFiddlerProxy(1);"
            "InitFiddler(" + std::to_string(65536 + 7788) + ");");
  EXPECT_EQ(ReadWholeFile(KeyPath()), "-----KEY 1-----");
  EXPECT_EQ(ReadWholeFile(CertPath()), "-----CERT 1-----");
  struct stat key {}, folder {};
  ASSERT_EQ(stat(KeyPath().c_str(), &key), 0);
  ASSERT_EQ(stat((data_ / "kv").c_str(), &folder), 0);
  EXPECT_EQ(key.st_mode & 0777, 0600u);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);

  engine_.Restart();
  ASSERT_EQ(StartLikeTheWindow(bridge_), 1);
  EXPECT_EQ(engine_.Calls(),
            "sslSetKey(-----KEY 1-----);sslSetCert(-----CERT 1-----);rootCertIsTrusted;StartSSL(1);"
            "AutoStartFiddlerProxy(1);InitFiddler(" + std::to_string(65536 + 7788) + ");");
  EXPECT_EQ(ReadWholeFile(KeyPath()), "-----KEY 1-----");
}

TEST_F(EngineBridgeTest, SavedRootThatIsNoLongerTrustedIsReplaced) {
  StartLikeTheWindow(bridge_);
  engine_.Restart();
  engine_.ForgetTrust();  // someone removed it from the browsers' store
  StartLikeTheWindow(bridge_);
  EXPECT_EQ(engine_.Calls().substr(0, engine_.Calls().find("StartSSL")),
            "sslSetKey(-----KEY 1-----);sslSetCert(-----CERT 1-----);rootCertIsTrusted;CreateRootCert;InstCert;"
            "sslGetKey;sslGetCert;");
  EXPECT_EQ(ReadWholeFile(KeyPath()), "-----KEY 2-----");
}

TEST_F(EngineBridgeTest, SavedFilesAreReadAsText) {
  std::filesystem::create_directories(data_.Path() / "kv");
  struct Case {
    const char* name;
    std::optional<std::string> key;
    std::optional<std::string> cert;
    std::string calls;
  } cases[] = {
      {"no key file", std::nullopt, "C", "removeCerts;"},
      {"key without certificate", "K", std::nullopt, "sslSetKey(K);sslSetCert();rootCertIsTrusted;"},
      {"empty key", "", "C", "sslSetKey();sslSetCert(C);rootCertIsTrusted;"},
      {"text ends at a zero byte", std::string("K1\0junk", 7), std::string("C1\0", 3),
       "sslSetKey(K1);sslSetCert(C1);rootCertIsTrusted;"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(KeyPath());
    std::filesystem::remove(CertPath());
    if (c.key) std::ofstream(KeyPath(), std::ios::binary) << *c.key;
    if (c.cert) std::ofstream(CertPath(), std::ios::binary) << *c.cert;
    engine_.ClearCalls();
    EXPECT_FALSE(bridge_.CheckRootTrust()) << c.name;
    EXPECT_EQ(engine_.Calls(), c.calls) << c.name;
  }
}

TEST_F(EngineBridgeTest, InstallKeepsTheKeyPrivateAndMakesItsFolders) {
  // A key left readable by an older copy is closed up.
  std::filesystem::create_directories(data_.Path() / "kv");
  std::ofstream(KeyPath()) << "old";
  chmod(KeyPath().c_str(), 0644);
  bridge_.CreateRootCert();
  EXPECT_EQ(bridge_.InstallRootCert(), 1);
  struct stat key {};
  ASSERT_EQ(stat(KeyPath().c_str(), &key), 0);
  EXPECT_EQ(key.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadWholeFile(KeyPath()), "-----KEY 1-----");

  // A new account without ~/.local/share yet.
  ScopedEnv fresh("XDG_DATA_HOME", data_ / "new/share");
  EXPECT_EQ(bridge_.InstallRootCert(), 1);
  EXPECT_EQ(ReadWholeFile(data_ / "new/share/kv/ssl.cert"), "-----CERT 1-----");
}

TEST_F(EngineBridgeTest, UntrustableRootIsStillSaved) {
  engine_.SetStoreWritable(false);
  bridge_.CreateRootCert();
  engine_.ClearCalls();
  EXPECT_EQ(bridge_.InstallRootCert(), -1);
  EXPECT_EQ(engine_.Calls(), "InstCert;sslGetKey;sslGetCert;");
  EXPECT_EQ(ReadWholeFile(KeyPath()), "-----KEY 1-----");
}

}  // namespace
}  // namespace veltrox
