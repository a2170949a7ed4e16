#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "edit_slots.h"
#include "session_record.h"
#include "support_files.h"

namespace veltrox {

// The hook the engine calls for every reported request, response and
// web-socket message: the session block and the edit-slot area of the event.
using EngineHook = void(std::uintptr_t blockAddress, std::uintptr_t slotsAddress);

// The program's one owner of the engine library. Every engine operation looks
// its export up by name when it is called, so an engine that lacks one still
// loads; a missing export is not called and gives 0, false or "". Texts the
// engine returns are copied before the call returns. The record and edit
// operations need no engine and are static.
class EngineBridge {
 public:
  // Writes the support files into `runDirectory`, loads efd.dll from there and
  // installs the single instance. Returns 0, or the load error code (see
  // library_loading.h) for the start-up message; the instance is installed
  // either way. Runs once: a later call before Teardown changes nothing and
  // returns the first call's result.
  static int Construct(std::span<const EmbeddedFile> supportFiles, const std::string& runDirectory);
  // The installed instance, from any thread; null before Construct.
  static EngineBridge* Instance();
  // Releases the instance at exit. The engine is neither stopped nor unloaded:
  // closing the window stops it.
  static void Teardown();

  explicit EngineBridge(void* moduleHandle, std::string runDirectory = {});

  // The operations, in the order the tool has always listed them.
  ~EngineBridge();                     // the engine stays loaded
  EngineBridge(const EngineBridge&);   // shares the module handle
  EngineBridge& operator=(const EngineBridge&) = delete;
  bool removeCerts() const;
  std::string sslGetKey() const;
  std::string sslGetCert() const;
  void sslSetKey(std::string_view key) const;
  void sslSetCert(std::string_view cert) const;
  void AutoStartFiddlerProxy(bool on) const;
  void StartSSL(bool on) const;
  // Non-zero when the engine listens on `port` (its low 16 bits).
  std::int32_t InitFiddler(std::int32_t port, EngineHook* hook) const;
  void* ModuleHandle() const { return handle_; }
  std::string LibraryPath() const;
  void CloseFiddler() const;
  static void ReplaceInResponseBody(std::uintptr_t slotsAddress, std::string_view find, std::string_view replacement);
  void SetBase64(std::string_view urlPattern) const;
  static void SetResponseBody(std::uintptr_t slotsAddress, std::string_view text);
  static void SetResponseBodyBytes(std::uintptr_t slotsAddress, std::string_view bytes);
  static void PrependToResponseBody(std::uintptr_t slotsAddress, std::string_view text);
  static void AddSetCookie(std::uintptr_t slotsAddress, std::string_view value);
  static void RemoveSetCookie(std::uintptr_t slotsAddress);
  static void PutResponseHeader(std::uintptr_t slotsAddress, std::string_view name, std::string_view value);
  // Code 2 with both texts given; the engine reads only the first.
  static void SetResponseBody(std::uintptr_t slotsAddress, std::string_view text, std::string_view text2);
  static void SetRequestBody(std::uintptr_t slotsAddress, std::string_view text);
  static void SetRequestBodyBytes(std::uintptr_t slotsAddress, std::string_view bytes);
  static void SetUrl(std::uintptr_t slotsAddress, std::string_view url);
  static void ReplaceInUrl(std::uintptr_t slotsAddress, std::string_view find, std::string_view replacement);
  static void AppendQueryParameter(std::uintptr_t slotsAddress, std::string_view parameter);
  static void ReplaceInRequestBody(std::uintptr_t slotsAddress, std::string_view find, std::string_view replacement);
  static void SetRequestCookie(std::uintptr_t slotsAddress, std::string_view value);
  static void PutRequestHeader(std::uintptr_t slotsAddress, std::string_view name, std::string_view value);
  static void ReplaceInPayload(std::uintptr_t slotsAddress, std::string_view find, std::string_view replacement);
  static void SetPayload(std::uintptr_t slotsAddress, std::string_view text);
  static SessionInfo DecodeSession(std::uintptr_t blockAddress);
  static bool WriteEdit(std::uintptr_t slotsAddress, std::int32_t code, std::string_view text1,
                        std::string_view text2);
  static std::string ToBase64(std::string_view bytes);
  static std::string FromBase64(std::string_view text);
  std::int32_t CreateRootCert() const;
  // Trusts the engine's root and saves its key and certificate for later starts.
  std::int32_t InstallRootCert() const;
  bool rootCertExists() const;
  bool rootCertIsMachineTrusted() const;
  // Gives the engine the root saved by an earlier start, then asks whether it
  // is trusted. Without a saved key the engine's old roots are removed and the
  // answer is false.
  bool CheckRootTrust() const;

 private:
  template <class Function>
  Function* Export(const char* name) const;
  bool CallBool(const char* name) const;
  std::int32_t CallInt(const char* name) const;
  std::string CallText(const char* name) const;
  void CallWithText(const char* name, std::string_view text) const;
  void CallWithFlag(const char* name, bool on) const;

  void* handle_ = nullptr;
  std::string runDirectory_;
};

}  // namespace veltrox
