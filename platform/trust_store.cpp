#include "trust_store.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

#include "files.h"
#include "text_scan.h"

extern char** environ;

namespace veltrox {
namespace {

namespace fs = std::filesystem;

struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
using CertPtr = std::unique_ptr<X509, X509Free>;

struct CommandResult {
  int exitCode = -1;  // -1: could not be started or did not exit normally
  std::string out;
};

// Runs a program without a shell, stdin on /dev/null (a database with a
// password then fails instead of waiting for someone to type it), and
// collects its standard output.
CommandResult RunCommand(const std::vector<std::string>& args) {
  CommandResult result;
  if (args.empty()) return result;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return result;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (std::string& arg : copy) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    return result;
  }

  char buffer[4096];
  for (;;) {
    ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n > 0) {
      result.out.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

std::vector<CertPtr> ReadCertificates(std::string_view pem) {
  std::vector<CertPtr> certs;
  if (pem.size() > INT_MAX) return certs;
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (!bio) return certs;
  while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) certs.emplace_back(cert);
  BIO_free(bio);
  ERR_clear_error();
  return certs;
}

CertPtr ReadCertificate(std::string_view pem) {
  std::vector<CertPtr> certs = ReadCertificates(pem);
  return certs.empty() ? nullptr : std::move(certs.front());
}

std::string ToPem(X509* cert) {
  std::string pem;
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio && PEM_write_bio_X509(bio, cert) == 1) {
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    pem.assign(data, static_cast<std::size_t>(size));
  }
  BIO_free(bio);
  return pem;
}

std::string IssuerText(X509* cert) {
  std::string text;
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio && X509_NAME_print_ex(bio, X509_get_issuer_name(cert), 0, XN_FLAG_RFC2253) >= 0) {
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    text.assign(data, static_cast<std::size_t>(size));
  }
  BIO_free(bio);
  return text;
}

bool CurrentlyValid(X509* cert) {
  return X509_cmp_current_time(X509_get0_notBefore(cert)) < 0 &&
         X509_cmp_current_time(X509_get0_notAfter(cert)) > 0;
}

bool IssuedBy(X509* cert, std::string_view issuerName) {
  return !issuerName.empty() && ContainsText(IssuerText(cert), issuerName, true);
}

// Short hex digest that names a certificate in both stores.
std::string Fingerprint(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(cert, EVP_sha256(), digest, &length);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < 8 && i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

std::string CommonName(X509* cert) {
  char name[256] = {};
  X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, name, sizeof name);
  return name;
}

bool IsTrustFlags(std::string_view token) {
  int commas = 0;
  for (char c : token) {
    if (c == ',') {
      ++commas;
    } else if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
      return false;
    }
  }
  return commas == 2;
}

// One line of `certutil -L`: the nickname and whether it is trusted to issue
// TLS server certificates (a 'C' in the SSL field of its trust flags).
struct NssEntry {
  std::string nickname;
  bool tlsRoot = false;
};

class NssDatabase {
 public:
  NssDatabase(const std::string& directory, const std::string& certutil)
      : directory_(directory), certutil_(certutil), databaseArg_("sql:" + directory) {}

  bool Exists() const {
    std::error_code ignored;
    return !directory_.empty() && fs::exists(fs::path(directory_) / "cert9.db", ignored);
  }

  bool Create() const {
    if (Exists()) return true;
    if (directory_.empty()) return false;
    std::error_code error;
    fs::create_directories(directory_, error);
    if (error) return false;
    chmod(directory_.c_str(), 0700);
    return Run({"-N", "--empty-password"}).exitCode == 0 && Exists();
  }

  std::optional<std::vector<NssEntry>> List() const {
    CommandResult listing = Run({"-L"});
    if (listing.exitCode != 0) return std::nullopt;
    std::vector<NssEntry> entries;
    // certutil speaks UTF-8, not the tool's own text, so a plain split.
    std::string_view rest = listing.out;
    while (!rest.empty()) {
      std::size_t end = rest.find('\n');
      std::string line(rest.substr(0, end));
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
      std::size_t gap = line.rfind(' ');
      if (gap == std::string::npos || !IsTrustFlags(std::string_view(line).substr(gap + 1))) {
        continue;
      }
      std::string flags = line.substr(gap + 1);
      std::string nickname = line.substr(0, gap);
      while (!nickname.empty() && nickname.back() == ' ') nickname.pop_back();
      if (nickname.empty()) continue;
      entries.push_back({nickname, flags.substr(0, flags.find(',')).find('C') != std::string::npos});
    }
    return entries;
  }

  std::vector<CertPtr> CertificatesOf(const std::string& nickname) const {
    CommandResult pem = Run({"-L", "-n", nickname, "-a"});
    if (pem.exitCode != 0) return {};
    return ReadCertificates(pem.out);
  }

  bool AddTlsRoot(X509* cert, const std::string& nickname) const {
    // certutil reads the certificate from a file; a private one next to nothing else.
    std::string file = (fs::temp_directory_path() / "veltrox-root-XXXXXX").string();
    int fd = mkstemp(file.data());
    if (fd < 0) return false;
    close(fd);
    bool ok = WriteFileAtomically(file, ToPem(cert), 0600) &&
              Run({"-A", "-n", nickname, "-t", "C,,", "-a", "-i", file}).exitCode == 0;
    unlink(file.c_str());
    return ok;
  }

  bool Delete(const std::string& nickname) const { return Run({"-D", "-n", nickname}).exitCode == 0; }

 private:
  CommandResult Run(std::vector<std::string> args) const {
    args.insert(args.begin(), {certutil_, "-d", databaseArg_});
    return RunCommand(args);
  }

  std::string directory_;
  std::string certutil_;
  std::string databaseArg_;
};

std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

bool SameDirectory(const std::string& a, const std::string& b) {
  std::error_code error;
  return !a.empty() && !b.empty() && fs::equivalent(a, b, error) && !error;
}

std::vector<fs::path> SystemCaFiles(const std::string& directory) {
  std::vector<fs::path> files;
  std::error_code error;
  if (directory.empty() || !fs::is_directory(directory, error)) return files;
  for (auto it = fs::recursive_directory_iterator(directory, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_regular_file(error) && it->path().extension() == ".crt") files.push_back(it->path());
  }
  return files;
}

bool SystemCaWritable(const std::string& directory) {
  return !directory.empty() && access(directory.c_str(), W_OK) == 0;
}

}  // namespace

TrustStoreLocations TrustStoreLocations::Default() {
  TrustStoreLocations locations;
  std::string home = HomeDirectory();
  if (!home.empty()) locations.nssDatabase = home + "/.pki/nssdb";
  const std::string systemDirectory = "/usr/local/share/ca-certificates";
  const passwd* account = getpwuid(geteuid());
  if (account && account->pw_dir && SameDirectory(home, account->pw_dir) &&
      SystemCaWritable(systemDirectory)) {
    locations.systemCaDirectory = systemDirectory;
    std::error_code ignored;
    locations.updateCommand = {fs::exists("/usr/sbin/update-ca-certificates", ignored)
                                   ? "/usr/sbin/update-ca-certificates"
                                   : "update-ca-certificates"};
  }
  return locations;
}

TrustStore::TrustStore(TrustStoreLocations locations) : locations_(std::move(locations)) {}

bool TrustStore::IsTrusted(std::string_view certPem) const {
  CertPtr cert = ReadCertificate(certPem);
  if (!cert) return false;

  NssDatabase nss(locations_.nssDatabase, locations_.certutil);
  if (nss.Exists()) {
    if (auto entries = nss.List()) {
      for (const NssEntry& entry : *entries) {
        if (!entry.tlsRoot) continue;
        for (const CertPtr& held : nss.CertificatesOf(entry.nickname)) {
          if (X509_cmp(held.get(), cert.get()) == 0) return true;
        }
      }
    }
  }
  for (const fs::path& file : SystemCaFiles(locations_.systemCaDirectory)) {
    std::optional<std::string> text = ReadWholeFile(file.string());
    CertPtr held = text ? ReadCertificate(*text) : nullptr;
    if (held && X509_cmp(held.get(), cert.get()) == 0) return true;
  }
  return false;
}

bool TrustStore::Add(std::string_view certPem) {
  CertPtr cert = ReadCertificate(certPem);
  if (!cert) return false;
  const std::string name = CommonName(cert.get());
  const std::string tag = (name.empty() ? std::string("root") : name) + " " + Fingerprint(cert.get());

  NssDatabase nss(locations_.nssDatabase, locations_.certutil);
  if (nss.Create()) nss.AddTlsRoot(cert.get(), tag);

  const std::string& directory = locations_.systemCaDirectory;
  if (SystemCaWritable(directory)) {
    // update-ca-certificates takes *.crt files whose names carry no blanks.
    std::string file = directory + "/veltrox-" + Fingerprint(cert.get()) + ".crt";
    if (WriteFileAtomically(file, ToPem(cert.get()), 0644) && !locations_.updateCommand.empty() &&
        RunCommand(locations_.updateCommand).exitCode != 0) {
      // The system did not take it: leave no file that claims otherwise.
      unlink(file.c_str());
    }
  }
  return IsTrusted(certPem);
}

int TrustStore::RemoveIssuedBy(std::string_view issuerName) {
  if (issuerName.empty()) return 0;
  int removed = 0;

  NssDatabase nss(locations_.nssDatabase, locations_.certutil);
  if (nss.Exists()) {
    if (auto entries = nss.List()) {
      for (const NssEntry& entry : *entries) {
        std::vector<CertPtr> held = nss.CertificatesOf(entry.nickname);
        bool anyValidMatch = false;
        bool allMatch = !held.empty();
        for (const CertPtr& cert : held) {
          bool match = IssuedBy(cert.get(), issuerName);
          anyValidMatch = anyValidMatch || (match && CurrentlyValid(cert.get()));
          allMatch = allMatch && match;
        }
        // certutil deletes by nickname: a nickname shared with a certificate
        // of another issuer is left alone rather than taking that one too.
        if (anyValidMatch && allMatch) {
          for (std::size_t i = 0; i < held.size() && nss.Delete(entry.nickname); ++i) ++removed;
        }
      }
    }
  }

  const std::string& directory = locations_.systemCaDirectory;
  bool systemChanged = false;
  if (SystemCaWritable(directory)) {
    for (const fs::path& file : SystemCaFiles(directory)) {
      std::optional<std::string> text = ReadWholeFile(file.string());
      CertPtr held = text ? ReadCertificate(*text) : nullptr;
      if (held && IssuedBy(held.get(), issuerName) && CurrentlyValid(held.get()) &&
          unlink(file.c_str()) == 0) {
        ++removed;
        systemChanged = true;
      }
    }
  }
  if (systemChanged && !locations_.updateCommand.empty()) RunCommand(locations_.updateCommand);
  return removed;
}

}  // namespace veltrox
