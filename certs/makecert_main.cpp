// makecert.exe: writes a new interception root key and certificate to files.

#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

#include "bc_make_cert.h"
#include "files.h"

namespace {

constexpr int kWritten = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr std::string_view kHelp =
    "Usage: makecert.exe --key FILE --cert FILE [--rsa] [--days N] [--force]\n"
    "       makecert.exe --help\n"
    "\n"
    "Makes a new root certificate authority for HTTPS interception, with the\n"
    "common name DO_NOT_TRUST_FiddlerRoot, and writes it as PEM:\n"
    "  --key FILE    the private key (PKCS#8), written with mode 0600\n"
    "  --cert FILE   the certificate\n"
    "  --rsa         an RSA 2048 key instead of ECDSA P-256\n"
    "  --days N      validity in days, 2 to 7300 (default 3650)\n"
    "  --force       replace files that already exist\n"
    "\n"
    "Existing files are left alone unless --force is given. Each file is written\n"
    "whole or not at all.\n"
    "\n"
    "Exit status: 0 both files written, 1 the root could not be made or written,\n"
    "2 the command line was not understood.\n";

int Usage(std::string_view problem) {
  std::fprintf(stderr, "makecert.exe: %.*s\nTry 'makecert.exe --help'.\n",
               static_cast<int>(problem.size()), problem.data());
  return kUsage;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string keyPath;
  std::string certPath;
  bool force = false;
  veltrox::bc::RootOptions options;

  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return !into.empty();
    };
    if (arg == "--help" || arg == "-h") {
      std::fwrite(kHelp.data(), 1, kHelp.size(), stdout);
      return kWritten;
    } else if (arg == "--key") {
      if (!value(keyPath)) return Usage("--key needs a file name");
    } else if (arg == "--cert") {
      if (!value(certPath)) return Usage("--cert needs a file name");
    } else if (arg == "--rsa") {
      options.keyKind = veltrox::bc::KeyKind::Rsa2048;
    } else if (arg == "--force") {
      force = true;
    } else if (arg == "--days") {
      std::string text;
      int days = 0;
      if (!value(text)) return Usage("--days needs a number");
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), days);
      if (ec != std::errc() || end != text.data() + text.size() || days < 2 || days > 7300) {
        return Usage("--days takes a whole number from 2 to 7300");
      }
      options.validity = std::chrono::days(days);
    } else {
      return Usage("unknown argument '" + std::string(arg) + "'");
    }
  }
  if (keyPath.empty() || certPath.empty()) return Usage("both --key and --cert are needed");
  if (keyPath == certPath) return Usage("the key and the certificate need different files");
  if (!force) {
    for (const std::string* path : {&keyPath, &certPath}) {
      if (Exists(*path)) {
        std::fprintf(stderr, "makecert.exe: %s exists; give --force to replace it\n",
                     path->c_str());
        return kFailed;
      }
    }
  }

  std::string error;
  std::optional<veltrox::bc::RootCa> root = veltrox::bc::CreateRootCa(options, &error);
  if (!root) {
    std::fprintf(stderr, "makecert.exe: %s\n", error.c_str());
    return kFailed;
  }
  std::string keyPem = veltrox::bc::KeyToPem(root->key.get());
  std::string certPem = veltrox::bc::CertToPem(root->cert.get());

  // A replaced key file keeps the mode it had; make sure it is private before
  // the new key lands in it.
  if (Exists(keyPath)) chmod(keyPath.c_str(), 0600);
  if (!veltrox::WriteFileAtomically(keyPath, keyPem, 0600)) {
    std::fprintf(stderr, "makecert.exe: cannot write %s\n", keyPath.c_str());
    return kFailed;
  }
  if (!veltrox::WriteFileAtomically(certPath, certPem, 0644)) {
    std::fprintf(stderr, "makecert.exe: cannot write %s\n", certPath.c_str());
    return kFailed;
  }
  std::printf("wrote %s and %s\n", keyPath.c_str(), certPath.c_str());
  return kWritten;
}
