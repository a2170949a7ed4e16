#include "engine_bridge.h"

#include <atomic>
#include <mutex>

#include "library_loading.h"

namespace veltrox {
namespace {

// The engine's side of the exports: booleans cross as int32_t 0 or 1, texts
// as const char* that the engine owns until its next call.
using BoolExport = std::int32_t();
using IntExport = std::int32_t();
using TextExport = const char*();
using TextArgExport = void(const char*);
using FlagExport = void(std::int32_t);
using VoidExport = void();
using InitExport = std::int32_t(std::int32_t, std::uintptr_t);

std::atomic<EngineBridge*> gInstance{nullptr};
std::mutex gConstructMutex;
int gConstructResult = 0;

}  // namespace

int EngineBridge::Construct(std::span<const EmbeddedFile> supportFiles, const std::string& runDirectory) {
  std::lock_guard lock(gConstructMutex);
  if (gInstance.load()) return gConstructResult;
  WriteSupportFiles(runDirectory, supportFiles);
  auto* bridge = new EngineBridge(nullptr, runDirectory);
  LoadedLibrary library = LoadLibraryFile(bridge->LibraryPath());
  bridge->handle_ = library.handle;
  gConstructResult = library.errorCode;
  gInstance.store(bridge);
  return gConstructResult;
}

EngineBridge* EngineBridge::Instance() { return gInstance.load(); }

void EngineBridge::Teardown() {
  std::lock_guard lock(gConstructMutex);
  delete gInstance.exchange(nullptr);
  gConstructResult = 0;
}

EngineBridge::EngineBridge(void* moduleHandle, std::string runDirectory)
    : handle_(moduleHandle), runDirectory_(std::move(runDirectory)) {}

EngineBridge::~EngineBridge() = default;

EngineBridge::EngineBridge(const EngineBridge& other) = default;

template <class Function>
Function* EngineBridge::Export(const char* name) const {
  return reinterpret_cast<Function*>(FindExport(handle_, name));
}

bool EngineBridge::CallBool(const char* name) const {
  auto* function = Export<BoolExport>(name);
  return function && function() != 0;
}

std::int32_t EngineBridge::CallInt(const char* name) const {
  auto* function = Export<IntExport>(name);
  return function ? function() : 0;
}

std::string EngineBridge::CallText(const char* name) const {
  auto* function = Export<TextExport>(name);
  if (!function) return {};
  const char* text = function();
  return text ? std::string(text) : std::string();
}

void EngineBridge::CallWithText(const char* name, std::string_view text) const {
  if (auto* function = Export<TextArgExport>(name)) function(std::string(text).c_str());
}

void EngineBridge::CallWithFlag(const char* name, bool on) const {
  if (auto* function = Export<FlagExport>(name)) function(on ? 1 : 0);
}

bool EngineBridge::removeCerts() const { return CallBool("removeCerts"); }
std::string EngineBridge::sslGetKey() const { return CallText("sslGetKey"); }
std::string EngineBridge::sslGetCert() const { return CallText("sslGetCert"); }
void EngineBridge::sslSetKey(std::string_view key) const { CallWithText("sslSetKey", key); }
void EngineBridge::sslSetCert(std::string_view cert) const { CallWithText("sslSetCert", cert); }
void EngineBridge::AutoStartFiddlerProxy(bool on) const { CallWithFlag("AutoStartFiddlerProxy", on); }
void EngineBridge::StartSSL(bool on) const { CallWithFlag("StartSSL", on); }

std::int32_t EngineBridge::InitFiddler(std::int32_t port, EngineHook* hook) const {
  auto* function = Export<InitExport>("InitFiddler");
  return function ? function(port, reinterpret_cast<std::uintptr_t>(hook)) : 0;
}

std::string EngineBridge::LibraryPath() const { return runDirectory_ + "/" + std::string(kEngineLibraryName); }

void EngineBridge::CloseFiddler() const {
  if (auto* function = Export<VoidExport>("CloseFiddler")) function();
}

void EngineBridge::SetBase64(std::string_view urlPattern) const { CallWithText("SetBase64", urlPattern); }

// The edit operations drop WriteEdit's answer: a full slot area loses the edit.
void EngineBridge::ReplaceInResponseBody(std::uintptr_t slots, std::string_view find, std::string_view replacement) {
  WriteEdit(slots, kEditReplaceInResponseBody, find, replacement);
}
void EngineBridge::SetResponseBody(std::uintptr_t slots, std::string_view text) {
  WriteEdit(slots, kEditSetResponseBody, text, kUnusedText);
}
void EngineBridge::SetResponseBodyBytes(std::uintptr_t slots, std::string_view bytes) {
  WriteEdit(slots, kEditSetResponseBodyBytes, ToBase64(bytes), kUnusedText);
}
void EngineBridge::PrependToResponseBody(std::uintptr_t slots, std::string_view text) {
  WriteEdit(slots, kEditPrependToResponseBody, text, kUnusedText);
}
void EngineBridge::AddSetCookie(std::uintptr_t slots, std::string_view value) {
  WriteEdit(slots, kEditAddSetCookie, value, kUnusedText);
}
void EngineBridge::RemoveSetCookie(std::uintptr_t slots) {
  WriteEdit(slots, kEditRemoveSetCookie, kUnusedText, kUnusedText);
}
void EngineBridge::PutResponseHeader(std::uintptr_t slots, std::string_view name, std::string_view value) {
  WriteEdit(slots, kEditPutResponseHeader, name, value);
}
void EngineBridge::SetResponseBody(std::uintptr_t slots, std::string_view text, std::string_view text2) {
  WriteEdit(slots, kEditSetResponseBody, text, text2);
}
void EngineBridge::SetRequestBody(std::uintptr_t slots, std::string_view text) {
  WriteEdit(slots, kEditSetRequestBody, text, kUnusedText);
}
void EngineBridge::SetRequestBodyBytes(std::uintptr_t slots, std::string_view bytes) {
  WriteEdit(slots, kEditSetRequestBodyBytes, ToBase64(bytes), kUnusedText);
}
void EngineBridge::SetUrl(std::uintptr_t slots, std::string_view url) {
  WriteEdit(slots, kEditSetUrl, url, kUnusedText);
}
void EngineBridge::ReplaceInUrl(std::uintptr_t slots, std::string_view find, std::string_view replacement) {
  WriteEdit(slots, kEditReplaceInUrl, find, replacement);
}
void EngineBridge::AppendQueryParameter(std::uintptr_t slots, std::string_view parameter) {
  WriteEdit(slots, kEditAppendQueryParameter, parameter, kUnusedText);
}
void EngineBridge::ReplaceInRequestBody(std::uintptr_t slots, std::string_view find, std::string_view replacement) {
  WriteEdit(slots, kEditReplaceInRequestBody, find, replacement);
}
void EngineBridge::SetRequestCookie(std::uintptr_t slots, std::string_view value) {
  WriteEdit(slots, kEditSetRequestCookie, value, kUnusedText);
}
void EngineBridge::PutRequestHeader(std::uintptr_t slots, std::string_view name, std::string_view value) {
  WriteEdit(slots, kEditPutHeaderOrReplaceInPayload, name, value);
}
void EngineBridge::ReplaceInPayload(std::uintptr_t slots, std::string_view find, std::string_view replacement) {
  WriteEdit(slots, kEditPutHeaderOrReplaceInPayload, find, replacement);
}
void EngineBridge::SetPayload(std::uintptr_t slots, std::string_view text) {
  WriteEdit(slots, kEditSetPayload, text, kUnusedText);
}

SessionInfo EngineBridge::DecodeSession(std::uintptr_t blockAddress) { return veltrox::DecodeSession(blockAddress); }

bool EngineBridge::WriteEdit(std::uintptr_t slots, std::int32_t code, std::string_view text1, std::string_view text2) {
  return veltrox::WriteEdit(slots, code, text1, text2);
}

std::string EngineBridge::ToBase64(std::string_view bytes) { return veltrox::ToBase64(bytes); }
std::string EngineBridge::FromBase64(std::string_view text) { return veltrox::FromBase64(text); }

std::int32_t EngineBridge::CreateRootCert() const { return CallInt("CreateRootCert"); }

bool EngineBridge::rootCertExists() const { return CallBool("rootCertExists"); }
bool EngineBridge::rootCertIsMachineTrusted() const { return CallBool("rootCertIsMachineTrusted"); }

}  // namespace veltrox
