#include "local_process.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>

namespace veltrox::proxy {
namespace {

// The socket inode of the connection whose local port is `local` and remote
// port `remote` in one of the kernel's TCP tables; 0 when absent.
unsigned long FindInode(const char* table, std::uint16_t local, std::uint16_t remote) {
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // column titles
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, localAddress, remoteAddress, state, queues, timer, retransmits, uid, timeout;
    unsigned long inode = 0;
    fields >> slot >> localAddress >> remoteAddress >> state >> queues >> timer >> retransmits >> uid >> timeout >>
        inode;
    auto port = [](const std::string& address) -> long {
      std::size_t colon = address.rfind(':');
      return colon == std::string::npos ? -1 : std::strtol(address.c_str() + colon + 1, nullptr, 16);
    };
    if (port(localAddress) == local && port(remoteAddress) == remote) return inode;
  }
  return 0;
}

// "name:pid" when process `pid` holds the socket `wanted`; "" otherwise.
std::string OwnerIfHolding(long pid, const std::string& wanted) {
  std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* fds = opendir(fdDir.c_str());
  if (fds == nullptr) return {};
  std::string found;
  while (dirent* fd = readdir(fds)) {
    char target[64];
    std::string link = fdDir + "/" + fd->d_name;
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (wanted == target) {
      std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
      std::string name;
      std::getline(comm, name);
      found = name + ":" + std::to_string(pid);
      break;
    }
  }
  closedir(fds);
  return found;
}

// Processes that owned recent connections. A browser or a client opens many
// connections in a row, and reading every process's descriptors for each of
// them would cost more than the proxying itself.
class RecentOwners {
 public:
  std::deque<long> Snapshot() {
    std::lock_guard lock(mutex_);
    return pids_;
  }
  void Remember(long pid) {
    std::lock_guard lock(mutex_);
    pids_.erase(std::remove(pids_.begin(), pids_.end(), pid), pids_.end());
    pids_.push_front(pid);
    if (pids_.size() > kKept) pids_.pop_back();
  }

 private:
  static constexpr std::size_t kKept = 8;
  std::mutex mutex_;
  std::deque<long> pids_;
};

RecentOwners& Recent() {
  static RecentOwners* recent = new RecentOwners;  // never destroyed: hook threads may outlive exit
  return *recent;
}

}  // namespace

std::string DescribeLocalProcess(std::uint16_t clientPort, std::uint16_t serverPort) {
  unsigned long inode = FindInode("/proc/net/tcp", clientPort, serverPort);
  if (inode == 0) inode = FindInode("/proc/net/tcp6", clientPort, serverPort);
  if (inode == 0) return {};
  std::string wanted = "socket:[" + std::to_string(inode) + "]";
  std::deque<long> recent = Recent().Snapshot();
  for (long pid : recent) {
    std::string found = OwnerIfHolding(pid, wanted);
    if (!found.empty()) {
      Recent().Remember(pid);
      return found;
    }
  }
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return {};
  std::string found;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    if (std::find(recent.begin(), recent.end(), pid) != recent.end()) continue;  // looked at already
    found = OwnerIfHolding(pid, wanted);
    if (!found.empty()) {
      Recent().Remember(pid);
      break;
    }
  }
  closedir(proc);
  return found;
}

}  // namespace veltrox::proxy
