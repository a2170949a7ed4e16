// The engine's exported functions, with the C ABI the program loads them by.

#include <cstdint>
#include <cstring>
#include <string>

#include "efd_export.h"
#include "engine.h"
#include "preferences.h"


namespace {

using veltrox::engine::Engine;
using veltrox::proxy::Preferences;

constexpr const char* kKeyPreference = "fiddler.certmaker.bc.key";
constexpr const char* kCertPreference = "fiddler.certmaker.bc.cert";
constexpr std::size_t kPatternCapacity = 1024;  // the pattern buffer, its terminator included

// Nothing may throw through the C boundary.
template <class F>
auto Guarded(F f, decltype(f()) fallback) noexcept -> decltype(f()) {
  try {
    return f();
  } catch (...) {
    return fallback;
  }
}

}  // namespace

EFD_EXPORT std::int32_t EFD_CALL InitFiddler(std::int32_t port, std::uintptr_t hook) {
  return Guarded([&] { return Engine::Instance().Start(port, hook) ? 1 : 0; }, 0);
}

EFD_EXPORT void EFD_CALL CloseFiddler() {
  try {
    Engine::Instance().Stop();
  } catch (...) {
  }
}

EFD_EXPORT void EFD_CALL StartSSL(std::int32_t on) {
  try {
    Engine::Instance().SetDecryptHttps(on != 0);
  } catch (...) {
  }
}

EFD_EXPORT void EFD_CALL AutoStartFiddlerProxy(std::int32_t on) {
  try {
    Engine::Instance().SetRegisterSystemProxy(on != 0);
  } catch (...) {
  }
}

EFD_EXPORT void EFD_CALL SetBase64(const char* pattern) {
  try {
    std::string text;
    if (pattern != nullptr) text.assign(pattern, strnlen(pattern, kPatternCapacity - 1));
    Engine::Instance().SetBase64Pattern(std::move(text));
  } catch (...) {
  }
}

EFD_EXPORT const char* EFD_CALL sslGetKey() {
  thread_local std::string result;
  return Guarded(
      [&] {
        result = Preferences::GetString(kKeyPreference);
        return result.c_str();
      },
      "");
}

EFD_EXPORT const char* EFD_CALL sslGetCert() {
  thread_local std::string result;
  return Guarded(
      [&] {
        result = Preferences::GetString(kCertPreference);
        return result.c_str();
      },
      "");
}

EFD_EXPORT void EFD_CALL sslSetKey(const char* text) {
  try {
    Preferences::SetString(kKeyPreference, text != nullptr ? text : "");
  } catch (...) {
  }
}

EFD_EXPORT void EFD_CALL sslSetCert(const char* text) {
  try {
    Preferences::SetString(kCertPreference, text != nullptr ? text : "");
  } catch (...) {
  }
}

