#include "local_process.h"

#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <unordered_map>
#include <vector>

namespace veltrox::proxy {
namespace {

// A TCP socket as the kernel knows it: its inode and the user who made it.
struct SocketIdentity {
  unsigned long inode = 0;
  uid_t uid = 0;
};

// Asks the kernel for the one TCP socket whose local end is `local` and
// remote end `remote`: a hash look-up, whatever the number of connections.
// nullopt when the kernel cannot be asked; an inode of 0 when no such socket.
std::optional<SocketIdentity> AskKernelExactly(const tcp::endpoint& local, const tcp::endpoint& remote) {
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return std::nullopt;
  timeval guard{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  // IPv6 with IPv4-mapped addresses finds IPv4 sockets as well.
  message.request.sdiag_family = AF_INET6;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  message.request.id.idiag_sport = htons(local.port());
  message.request.id.idiag_dport = htons(remote.port());
  auto asV6 = [](const asio::ip::address& address) {
    return address.is_v6() ? address.to_v6().to_bytes()
                           : asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4()).to_bytes();
  };
  auto src = asV6(local.address());
  auto dst = asV6(remote.address());
  std::memcpy(message.request.id.idiag_src, src.data(), src.size());
  std::memcpy(message.request.id.idiag_dst, dst.data(), dst.size());
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  std::optional<SocketIdentity> found;
  if (sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
      static_cast<ssize_t>(sizeof message)) {
    alignas(nlmsghdr) char buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    const auto* h = reinterpret_cast<const nlmsghdr*>(buffer);
    if (n > 0 && NLMSG_OK(h, static_cast<unsigned>(n))) {
      if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
        const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
        // A listener on the client's port would answer too; it has no remote end.
        found = SocketIdentity{};
        if (ntohs(diag->id.idiag_dport) == remote.port()) found = SocketIdentity{diag->idiag_inode, diag->idiag_uid};
      } else if (h->nlmsg_type == NLMSG_ERROR &&
                 static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error == -ENOENT) {
        found = SocketIdentity{};
      }
    }
  }
  close(fd);
  return found;
}

// The inode of the socket with local port `local` and remote port `remote`
// from one of the kernel's text tables, for a kernel without socket
// diagnostics; reads every connection of the machine.
unsigned long FindInodeInTable(const char* table, std::uint16_t local, std::uint16_t remote) {
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

// The client's end of the connection, asked of the kernel or, where it cannot
// be asked, read from its text tables; nullopt when there is none.
std::optional<SocketIdentity> FindSocket(const tcp::endpoint& clientEnd, const tcp::endpoint& serverEnd) {
  if (std::optional<SocketIdentity> socket = AskKernelExactly(clientEnd, serverEnd)) {
    if (socket->inode == 0) return std::nullopt;
    return socket;
  }
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    if (unsigned long inode = FindInodeInTable(table, clientEnd.port(), serverEnd.port())) {
      return SocketIdentity{inode, getuid()};
    }
  }
  return std::nullopt;
}

std::string NameOf(long pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name + ":" + std::to_string(pid);
}

// Socket inodes seen while looking through processes' descriptors, with their
// owner. A client that opens many connections at once has the later ones
// open already while the first is looked up, so those need no search.
class SeenSockets {
 public:
  std::optional<long> OwnerOf(unsigned long inode) {
    std::lock_guard lock(mutex_);
    auto it = owners_.find(inode);
    if (it == owners_.end()) return std::nullopt;
    return it->second;
  }
  void Note(unsigned long inode, long pid) {
    std::lock_guard lock(mutex_);
    if (owners_.size() >= kKept) owners_.clear();  // inodes of closed sockets go now and then
    owners_[inode] = pid;
  }

 private:
  static constexpr std::size_t kKept = 4096;  // a burst of new connections, not a history
  std::mutex mutex_;
  std::unordered_map<unsigned long, long> owners_;
};

// Processes that owned recent connections, most recent first.
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

// Never destroyed: hook threads may outlive exit.
SeenSockets& Seen() {
  static auto* seen = new SeenSockets;
  return *seen;
}
RecentOwners& Recent() {
  static auto* recent = new RecentOwners;
  return *recent;
}

// At most this many descriptors are read for one connection, so that a
// client holding thousands of connections costs each new one a bounded time.
constexpr int kLookBudget = 4096;

// True when process `pid` holds socket `inode`. Descriptors are read from the
// highest number down, where a client's newest connection usually is; every
// socket met on the way is noted.
bool Holds(long pid, unsigned long inode, int& budget) {
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(fdDir.c_str());
  if (dir == nullptr) return false;
  std::vector<int> numbers;
  while (dirent* entry = readdir(dir)) {
    char* end = nullptr;
    long number = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0') numbers.push_back(static_cast<int>(number));
  }
  closedir(dir);
  std::sort(numbers.begin(), numbers.end(), std::greater<>());
  for (int number : numbers) {
    if (budget-- <= 0) return false;
    char target[64];
    std::string link = fdDir + "/" + std::to_string(number);
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    unsigned long seen = 0;
    if (std::sscanf(target, "socket:[%lu]", &seen) != 1) continue;
    Seen().Note(seen, pid);
    if (seen == inode) return true;
  }
  return false;
}

// The uid that owns /proc/<pid>, or -1.
long long OwnerUid(long pid) {
  struct stat info{};
  if (stat(("/proc/" + std::to_string(pid)).c_str(), &info) != 0) return -1;
  return info.st_uid;
}

}  // namespace

std::string DescribeLocalProcess(const tcp::endpoint& client, const tcp::endpoint& server) {
  std::optional<SocketIdentity> socket = FindSocket(client, server);
  if (!socket) return {};
  // Another user's descriptors cannot be read unless this process is root.
  if (socket->uid != geteuid() && geteuid() != 0) return {};

  if (std::optional<long> pid = Seen().OwnerOf(socket->inode)) {
    // Noted in an earlier search; the inode is alive, so its owner still holds it.
    Recent().Remember(*pid);
    return NameOf(*pid);
  }
  int budget = kLookBudget;
  std::deque<long> recent = Recent().Snapshot();
  for (long pid : recent) {
    if (Holds(pid, socket->inode, budget)) {
      Recent().Remember(pid);
      return NameOf(pid);
    }
  }
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return {};
  std::string found;
  while (dirent* entry = readdir(proc)) {
    if (budget <= 0) break;
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    if (std::find(recent.begin(), recent.end(), pid) != recent.end()) continue;  // looked at already
    if (OwnerUid(pid) != static_cast<long long>(socket->uid)) continue;        // the socket's maker runs it
    if (Holds(pid, socket->inode, budget)) {
      Recent().Remember(pid);
      found = NameOf(pid);
      break;
    }
  }
  closedir(proc);
  return found;
}

}  // namespace veltrox::proxy
