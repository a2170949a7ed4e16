// A stand-in engine library for the bridge's tests: it exports the engine's
// names with the engine's calling convention, answers like a small engine
// would (a root that can be created, trusted and handed back), records every
// call it receives, and can raise an event through the hook it was given.

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Engine {
  std::mutex mutex;
  std::string calls;
  // Preferences of one loaded engine.
  std::string key;
  std::string cert;
  int sslFlag = 0;
  int proxyFlag = 0;
  std::uintptr_t hook = 0;
  int made = 0;
  // The machine's trusted roots: outlive a restart of the program.
  std::set<std::string> trusted;
  bool storeWritable = true;
  std::string base64Pattern;
};

Engine& State() {
  static auto* engine = new Engine;
  return *engine;
}

void Record(const std::string& call) {
  Engine& e = State();
  std::lock_guard lock(e.mutex);
  e.calls += call;
  e.calls += ';';
}

const char* Keep(std::string text) {
  thread_local std::string held;
  held = std::move(text);
  return held.c_str();
}

}  // namespace

// --- the engine's exports

FAKE_EXPORT std::int32_t InitFiddler(std::int32_t port, std::uintptr_t hook) {
  Record("InitFiddler(" + std::to_string(port) + ")");
  Engine& e = State();
  std::lock_guard lock(e.mutex);
  e.hook = hook;
  return (port & 0xFFFF) != 0 ? 1 : 0;
}
FAKE_EXPORT void StartSSL(std::int32_t on) {
  Record("StartSSL(" + std::to_string(on) + ")");
  State().sslFlag = on;
}
FAKE_EXPORT void AutoStartFiddlerProxy(std::int32_t on) {
  Record("AutoStartFiddlerProxy(" + std::to_string(on) + ")");
  State().proxyFlag = on;
}
FAKE_EXPORT void CloseFiddler() { Record("CloseFiddler"); }
FAKE_EXPORT std::int32_t rootCertIsTrusted() {
  Record("rootCertIsTrusted");
  Engine& e = State();
  return !e.cert.empty() && e.trusted.count(e.cert) ? 1 : 0;
}
FAKE_EXPORT std::int32_t CreateRootCert() {
  Record("CreateRootCert");
  Engine& e = State();
  ++e.made;
  e.key = "-----KEY " + std::to_string(e.made) + "-----";
  e.cert = "-----CERT " + std::to_string(e.made) + "-----";
  return 1;
}
FAKE_EXPORT std::int32_t InstCert() {
  Record("InstCert");
  Engine& e = State();
  if (!e.storeWritable || e.cert.empty()) return -1;
  e.trusted.insert(e.cert);
  return 1;
}
FAKE_EXPORT std::int32_t removeCerts() {
  Record("removeCerts");
  State().trusted.clear();
  return 1;
}
FAKE_EXPORT const char* sslGetKey() {
  Record("sslGetKey");
  return Keep(State().key);
}
FAKE_EXPORT const char* sslGetCert() {
  Record("sslGetCert");
  return Keep(State().cert);
}
FAKE_EXPORT void sslSetKey(const char* key) {
  Record(std::string("sslSetKey(") + key + ")");
  State().key = key;
}
FAKE_EXPORT void sslSetCert(const char* cert) {
  Record(std::string("sslSetCert(") + cert + ")");
  State().cert = cert;
}
FAKE_EXPORT std::int32_t rootCertExists() {
  Record("rootCertExists");
  return !State().cert.empty();
}
FAKE_EXPORT std::int32_t rootCertIsMachineTrusted() {
  Record("rootCertIsMachineTrusted");
  return !State().cert.empty();
}
FAKE_EXPORT void SetBase64(const char* pattern) {
  Record(std::string("SetBase64(") + pattern + ")");
  State().base64Pattern = pattern;
}

// --- test controls

FAKE_EXPORT const char* FakeEngineCalls() {
  Engine& e = State();
  std::lock_guard lock(e.mutex);
  return Keep(e.calls);
}
FAKE_EXPORT void FakeEngineClearCalls() {
  Engine& e = State();
  std::lock_guard lock(e.mutex);
  e.calls.clear();
}
// A new program start: the engine's settings are gone, the machine's trust stays.
FAKE_EXPORT void FakeEngineRestart() {
  Engine& e = State();
  std::lock_guard lock(e.mutex);
  e.calls.clear();
  e.key.clear();
  e.cert.clear();
  e.sslFlag = e.proxyFlag = 0;
  e.hook = 0;
  e.storeWritable = true;
}
FAKE_EXPORT void FakeEngineForgetTrust() { State().trusted.clear(); }
// A new machine: nothing made, nothing trusted.
FAKE_EXPORT void FakeEngineReset() {
  FakeEngineRestart();
  FakeEngineForgetTrust();
  State().made = 0;
}
FAKE_EXPORT void FakeEngineSetStoreWritable(std::int32_t writable) { State().storeWritable = writable != 0; }
// Raises one event through the hook given to InitFiddler, as the engine does.
FAKE_EXPORT std::int32_t FakeEngineRaise(std::uintptr_t block, std::uintptr_t slots) {
  std::uintptr_t hook;
  {
    Engine& e = State();
    std::lock_guard lock(e.mutex);
    hook = e.hook;
  }
  if (hook == 0) return 0;
  reinterpret_cast<void (*)(std::uintptr_t, std::uintptr_t)>(hook)(block, slots);
  return 1;
}
