#include "temp_dir.h"
#include "trust_store.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

// Every test here points the store at folders of its own: the machine's real
// NSS database and system CA directory are never read or written.

namespace veltrox {
namespace {

namespace fs = std::filesystem;

using TempDir = veltrox::testing::TempDir;

// A self-signed CA with the given common name, valid from `fromDays` to
// `untilDays` around now, as PEM.
std::string MakeCa(const std::string& commonName, long fromDays = -1, long untilDays = 30) {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  X509* cert = X509_new();
  X509_set_version(cert, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(random()));
  X509_gmtime_adj(X509_getm_notBefore(cert), fromDays * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert), untilDays * 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ca = X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, "critical,CA:TRUE");
  X509_add_ext(cert, ca, -1);
  X509_EXTENSION_free(ca);
  X509_sign(cert, key, EVP_sha256());
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  X509_free(cert);
  EVP_PKEY_free(key);
  return pem;
}

bool HaveCertutil() {
  for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin"}) {
    if (access((std::string(dir) + "/certutil").c_str(), X_OK) == 0) return true;
  }
  return false;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<fs::path> CrtFiles(const std::string& dir) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.path().extension() == ".crt") files.push_back(entry.path());
  }
  return files;
}

constexpr std::string_view kRootName = "DO_NOT_TRUST_FiddlerRoot";

class NssTrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveCertutil()) GTEST_SKIP() << "certutil (libnss3-tools) is not installed";
    locations_.nssDatabase = dir_ / "home/.pki/nssdb";
  }
  TempDir dir_{"trust"};
  TrustStoreLocations locations_;
};

TEST_F(NssTrustTest, AddingARootMakesTheDatabaseAndTrustsOnlyThatRoot) {
  TrustStore store(locations_);
  const std::string root = MakeCa(std::string(kRootName));
  const std::string other = MakeCa(std::string(kRootName));  // same name, another key

  EXPECT_FALSE(store.IsTrusted(root));
  EXPECT_FALSE(fs::exists(locations_.nssDatabase)) << "asking must not create the database";

  EXPECT_TRUE(store.Add(root));
  EXPECT_TRUE(fs::exists(fs::path(locations_.nssDatabase) / "cert9.db"));
  EXPECT_EQ(fs::status(locations_.nssDatabase).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_TRUE(store.IsTrusted(root));
  EXPECT_FALSE(store.IsTrusted(other));
  // A second store on the same folder (the next start) sees it too.
  EXPECT_TRUE(TrustStore(locations_).IsTrusted(root));

  // Adding again, or adding the other one, keeps both answers right.
  EXPECT_TRUE(store.Add(root));
  EXPECT_TRUE(store.Add(other));
  EXPECT_TRUE(store.IsTrusted(root));
  EXPECT_TRUE(store.IsTrusted(other));
}

TEST_F(NssTrustTest, RemovalTakesValidCertificatesOfThatIssuerAndNothingElse) {
  TrustStore store(locations_);
  struct Entry {
    const char* name;
    std::string pem;
    bool removed;
  } entries[] = {
      {"our valid root", MakeCa(std::string(kRootName)), true},
      {"an older valid root of ours", MakeCa(std::string(kRootName), -100, 200), true},
      {"the name in other case inside a longer one", MakeCa("Old do_not_trust_fiddlerroot copy"),
       true},
      {"an expired root of ours", MakeCa(std::string(kRootName), -30, -1), false},
      {"a root not valid yet", MakeCa(std::string(kRootName), 2, 30), false},
      {"somebody else's root", MakeCa("Corporate Root CA"), false},
  };
  for (const Entry& e : entries) ASSERT_TRUE(store.Add(e.pem)) << e.name;

  EXPECT_EQ(store.RemoveIssuedBy(kRootName), 3);
  for (const Entry& e : entries) EXPECT_EQ(store.IsTrusted(e.pem), !e.removed) << e.name;
  EXPECT_EQ(store.RemoveIssuedBy(kRootName), 0) << "nothing is left to remove";
}

TEST_F(NssTrustTest, ADatabaseWithAPasswordRefusesQuietly) {
  // A master password the tool does not know: certutil must not wait for it.
  fs::create_directories(locations_.nssDatabase);
  const std::string passwordFile = dir_ / "password";
  std::ofstream(passwordFile) << "secret\n";
  ASSERT_EQ(std::system(("certutil -N -d sql:" + locations_.nssDatabase + " -f " + passwordFile +
                         " >/dev/null 2>&1")
                            .c_str()),
            0);
  TrustStore store(locations_);
  const std::string root = MakeCa(std::string(kRootName));
  EXPECT_FALSE(store.Add(root));
  EXPECT_FALSE(store.IsTrusted(root));
}

TEST(TrustStoreUnavailableTest, MissingToolsAndUnwritablePlacesMeanNotTrusted) {
  TempDir dir{"trust"};
  std::ofstream(dir / "file") << "a file, not a folder";
  struct Case {
    const char* name;
    TrustStoreLocations locations;
  } cases[] = {
      {"no stores at all", {}},
      {"certutil missing", {dir / "nssdb", dir / "no/such/certutil", "", {}}},
      {"database beneath a file", {dir / "file/nssdb", "certutil", "", {}}},
      {"system directory beneath a file", {"", "certutil", dir / "file/ca", {"/bin/true"}}},
      {"system directory missing", {"", "certutil", dir / "missing", {"/bin/true"}}},
  };
  const std::string root = MakeCa(std::string(kRootName));
  for (const Case& c : cases) {
    TrustStore store(c.locations);
    EXPECT_FALSE(store.Add(root)) << c.name;
    EXPECT_FALSE(store.IsTrusted(root)) << c.name;
    EXPECT_EQ(store.RemoveIssuedBy(kRootName), 0) << c.name;
  }
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(TrustStoreInputTest, TextsThatHoldNoCertificateAreNeverTrusted) {
  TempDir dir{"trust"};
  TrustStoreLocations locations;
  locations.systemCaDirectory = dir.path();
  locations.updateCommand = {"/bin/true"};
  TrustStore store(locations);
  for (const std::string& text : {std::string(), std::string("garbage"),
                                  std::string("-----BEGIN CERTIFICATE-----\nAA==\n-----END CERTIFICATE-----\n")}) {
    EXPECT_FALSE(store.Add(text)) << text;
    EXPECT_FALSE(store.IsTrusted(text)) << text;
  }
  EXPECT_TRUE(CrtFiles(dir.path()).empty());
  EXPECT_EQ(store.RemoveIssuedBy(""), 0);
}

class SystemCaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "ca");
    locations_.systemCaDirectory = dir_ / "ca";
    // Stands in for update-ca-certificates and records each run.
    locations_.updateCommand = {"/bin/sh", "-c", "echo run >> '" + (dir_ / "updates") + "'"};
  }
  int Updates() {
    std::string log = Slurp(dir_ / "updates");
    return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
  }
  TempDir dir_{"trust"};
  TrustStoreLocations locations_;
};

TEST_F(SystemCaTest, AddWritesACrtFileAndRunsTheUpdate) {
  TrustStore store(locations_);
  const std::string root = MakeCa(std::string(kRootName));
  EXPECT_FALSE(store.IsTrusted(root));
  EXPECT_TRUE(store.Add(root));
  auto files = CrtFiles(locations_.systemCaDirectory);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].filename().string().find(' '), std::string::npos);
  EXPECT_EQ(Slurp(files[0].string()), root);
  EXPECT_EQ(Updates(), 1);
  EXPECT_TRUE(store.IsTrusted(root));
  EXPECT_FALSE(store.IsTrusted(MakeCa(std::string(kRootName))));
}

TEST_F(SystemCaTest, AFailedUpdateLeavesNoFileBehind) {
  locations_.updateCommand = {"/bin/false"};
  TrustStore store(locations_);
  const std::string root = MakeCa(std::string(kRootName));
  EXPECT_FALSE(store.Add(root));
  EXPECT_TRUE(CrtFiles(locations_.systemCaDirectory).empty());
  EXPECT_FALSE(store.IsTrusted(root));
}

TEST_F(SystemCaTest, RemovalDeletesMatchingFilesAnywhereBelowAndUpdatesOnce) {
  const std::string ca = locations_.systemCaDirectory;
  fs::create_directories(ca + "/nested");
  std::ofstream(ca + "/mine.crt") << MakeCa(std::string(kRootName));
  std::ofstream(ca + "/nested/mine-too.crt") << MakeCa(std::string(kRootName));
  std::ofstream(ca + "/expired.crt") << MakeCa(std::string(kRootName), -30, -1);
  std::ofstream(ca + "/corporate.crt") << MakeCa("Corporate Root CA");
  std::ofstream(ca + "/notes.txt") << MakeCa(std::string(kRootName));  // not a CA file
  std::ofstream(ca + "/broken.crt") << "not a certificate";

  TrustStore store(locations_);
  EXPECT_EQ(store.RemoveIssuedBy(kRootName), 2);
  EXPECT_EQ(Updates(), 1);
  for (const char* kept : {"expired.crt", "corporate.crt", "notes.txt", "broken.crt"}) {
    EXPECT_TRUE(fs::exists(ca + "/" + kept)) << kept;
  }
  EXPECT_FALSE(fs::exists(ca + "/mine.crt"));
  EXPECT_FALSE(fs::exists(ca + "/nested/mine-too.crt"));

  EXPECT_EQ(store.RemoveIssuedBy(kRootName), 0);
  EXPECT_EQ(Updates(), 1) << "no change, no update";
}

TEST(TrustStoreDefaultTest, ASubstituteHomeNeverReachesTheMachineStore) {
  TempDir dir{"trust"};
  const char* saved = std::getenv("HOME");
  std::string previous = saved ? saved : "";
  setenv("HOME", dir.path().c_str(), 1);
  TrustStoreLocations locations = TrustStoreLocations::Default();
  if (saved) {
    setenv("HOME", previous.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
  EXPECT_EQ(locations.nssDatabase, dir.path() + "/.pki/nssdb");
  EXPECT_EQ(locations.systemCaDirectory, "");
  EXPECT_TRUE(locations.updateCommand.empty());
}

}  // namespace
}  // namespace veltrox
