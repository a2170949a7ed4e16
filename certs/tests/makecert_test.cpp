#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bc_make_cert.h"
#include "test_support.h"

extern char** environ;

namespace veltrox {
namespace {

using veltrox::testing::TempDir;

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ToolRun Makecert(const TempDir& dir, const std::vector<std::string>& args) {
  std::vector<std::string> all{MAKECERT_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);

  const std::string outPath = dir / "stdout";
  const std::string errPath = dir / "stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ToolRun run;
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = Slurp(outPath);
  run.err = Slurp(errPath);
  return run;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mode & 0777;
}

TEST(MakecertTest, HelpSaysHowToUseIt) {
  TempDir dir;
  ToolRun run = Makecert(dir, {"--help"});
  EXPECT_EQ(run.exitCode, 0);
  for (const char* part : {"Usage: makecert.exe", "--key FILE", "--cert FILE", "--force",
                           "Exit status"}) {
    EXPECT_NE(run.out.find(part), std::string::npos) << part;
  }
}

TEST(MakecertTest, CommandLinesItDoesNotUnderstandExitWithTwoAndWriteNothing) {
  TempDir dir;
  const std::string key = dir / "root.key";
  const std::string cert = dir / "root.cert";
  const std::vector<std::string> cases[] = {
      {},
      {"--key", key},
      {"--cert", cert},
      {"--key", key, "--cert"},
      {"--key", key, "--cert", cert, "--bogus"},
      {"--key", key, "--cert", cert, "--days", "1"},
      {"--key", key, "--cert", cert, "--days", "12x"},
      {"--key", key, "--cert", key},
      {"--key", "", "--cert", cert},
  };
  for (const auto& args : cases) {
    ToolRun run = Makecert(dir, args);
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_EQ(run.exitCode, 2) << shown;
    EXPECT_NE(run.err.find("--help"), std::string::npos) << shown;
    EXPECT_FALSE(std::filesystem::exists(key)) << shown;
    EXPECT_FALSE(std::filesystem::exists(cert)) << shown;
  }
}

TEST(MakecertTest, WritesAPrivateKeyAndTheRootCertificate) {
  struct Case {
    const char* name;
    std::vector<std::string> extra;
    int keyType;
  } cases[] = {
      {"default", {}, EVP_PKEY_EC},
      {"rsa for 30 days", {"--rsa", "--days", "30"}, EVP_PKEY_RSA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::vector<std::string> args{"--key", dir / "root.key", "--cert", dir / "root.cert"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    ToolRun run = Makecert(dir, args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ModeOf(dir / "root.key"), 0600u);
    bc::KeyPtr key = bc::KeyFromPem(Slurp(dir / "root.key"));
    bc::CertPtr cert = bc::CertFromPem(Slurp(dir / "root.cert"));
    ASSERT_TRUE(key);
    ASSERT_TRUE(cert);
    EXPECT_TRUE(bc::KeyMatchesCert(key.get(), cert.get()));
    EXPECT_EQ(EVP_PKEY_get_base_id(key.get()), c.keyType);
    EXPECT_EQ(veltrox::testing::CommonNameOf(cert.get()), "DO_NOT_TRUST_FiddlerRoot");
    EXPECT_EQ(X509_check_ca(cert.get()), 1);
  }
}

TEST(MakecertTest, ExistingFilesAreReplacedOnlyWithForce) {
  TempDir dir;
  const std::string key = dir / "root.key";
  const std::string cert = dir / "root.cert";
  { std::ofstream(key) << "old key"; }
  chmod(key.c_str(), 0644);
  const std::vector<std::string> args{"--key", key, "--cert", cert};

  ToolRun refused = Makecert(dir, args);
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
  EXPECT_EQ(Slurp(key), "old key");
  EXPECT_FALSE(std::filesystem::exists(cert));

  std::vector<std::string> forced = args;
  forced.push_back("--force");
  ToolRun replaced = Makecert(dir, forced);
  ASSERT_EQ(replaced.exitCode, 0) << replaced.err;
  EXPECT_TRUE(bc::KeyFromPem(Slurp(key)));
  // A replaced key file does not keep a readable mode.
  EXPECT_EQ(ModeOf(key), 0600u);
}

TEST(MakecertTest, AnUnwritablePlaceExitsWithOne) {
  TempDir dir;
  { std::ofstream(dir / "file") << "x"; }
  // A path beneath a regular file cannot be created, even by root.
  ToolRun run = Makecert(dir, {"--key", dir / "file/root.key", "--cert", dir / "root.cert"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("cannot write"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "root.cert"));
}

}  // namespace
}  // namespace veltrox
