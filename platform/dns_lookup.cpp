#include "platform/dns_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/message_queue.h"
#include "platform/winsock_errors.h"

namespace quillon::platform {

namespace {

struct Lookup {
  std::weak_ptr<MessageQueue> queue;
  uint64_t target_id = 0;
  uint32_t msg = 0;
  bool posted = false;
  HostEntry result;
};

std::mutex registry_mutex;
std::map<uint32_t, Lookup>& Registry() {
  static auto* registry = new std::map<uint32_t, Lookup>;  // outlives late workers
  return *registry;
}
uint32_t next_handle = 1;

// Called by the worker when its lookup is done: publishes the result and
// posts the completion unless the lookup was cancelled meanwhile.
void Complete(uint32_t handle, int error, HostEntry result) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  auto it = Registry().find(handle);
  if (it == Registry().end()) return;  // cancelled
  std::shared_ptr<MessageQueue> queue = it->second.queue.lock();
  if (!queue) {
    Registry().erase(it);
    return;
  }
  it->second.result = std::move(result);
  it->second.posted = true;
  queue->Post(it->second.target_id, it->second.msg, handle,
              static_cast<intptr_t>(static_cast<uint32_t>(error & 0xFFFF) << 16));
}

uint32_t Register(MessageTarget* target, uint32_t msg) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  uint32_t handle = next_handle++;
  if (next_handle == 0) next_handle = 1;
  Lookup& l = Registry()[handle];
  l.queue = MessageQueue::ForThisThread();
  l.target_id = target->Id();
  l.msg = msg;
  return handle;
}

std::mutex overrides_mutex;
std::map<std::string, std::vector<std::string>>& Overrides() {
  static auto* overrides = new std::map<std::string, std::vector<std::string>>;
  return *overrides;
}

// The families alternate after the first address (the system's choice), so
// that a broken family costs one attempt, not every address of it.
std::vector<std::string> Interleaved(const std::vector<std::pair<int, std::string>>& found) {
  std::vector<std::string> first, other;
  for (const auto& [family, text] : found) (family == found.front().first ? first : other).push_back(text);
  std::vector<std::string> result;
  for (size_t i = 0; i < first.size() || i < other.size(); ++i) {
    if (i < first.size()) result.push_back(first[i]);
    if (i < other.size()) result.push_back(other[i]);
  }
  return result;
}

void ResolveName(uint32_t handle, std::string name) {
  HostEntry entry;
  int error = LookupName(name, entry);
  Complete(handle, error, std::move(entry));
}

void ResolveAddress(uint32_t handle, uint32_t address) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = address;
  char host[NI_MAXHOST];
  int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sin), sizeof sin, host, sizeof host, nullptr, 0,
                         NI_NAMEREQD);
  int saved = errno;
  HostEntry entry;
  if (rc == 0) {
    entry.name = host;
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text);
    entry.addresses.emplace_back(text);
  }
  Complete(handle, WinsockErrorFromLookup(rc, saved), std::move(entry));
}

}  // namespace

int LookupName(const std::string& name, HostEntry& entry) {
  entry = HostEntry{};
  {
    std::lock_guard<std::mutex> lock(overrides_mutex);
    auto it = Overrides().find(name);
    if (it != Overrides().end()) {
      entry.name = name;
      entry.addresses = it->second;
      return entry.addresses.empty() ? WSAHOST_NOT_FOUND : 0;
    }
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
  int saved = errno;
  if (rc != 0) return WinsockErrorFromLookup(rc, saved);
  if (list && list->ai_canonname) entry.name = list->ai_canonname;
  std::vector<std::pair<int, std::string>> found;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    char text[INET6_ADDRSTRLEN];
    const void* raw = ai->ai_family == AF_INET6
                          ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(ai->ai_addr)->sin6_addr)
                          : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr);
    if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) ||
        !::inet_ntop(ai->ai_family, raw, text, sizeof text))
      continue;
    std::pair<int, std::string> item(ai->ai_family, text);
    if (std::find(found.begin(), found.end(), item) == found.end()) found.push_back(std::move(item));
  }
  ::freeaddrinfo(list);
  if (!found.empty()) entry.addresses = Interleaved(found);
  if (entry.name.empty()) entry.name = name;
  return 0;
}

void SetNameOverridesForTesting(std::map<std::string, std::vector<std::string>> overrides) {
  std::lock_guard<std::mutex> lock(overrides_mutex);
  Overrides() = std::move(overrides);
}

uint32_t StartNameLookup(MessageTarget* target, uint32_t msg, const std::string& name) {
  uint32_t handle = Register(target, msg);
  std::thread(ResolveName, handle, name).detach();
  return handle;
}

uint32_t StartAddressLookup(MessageTarget* target, uint32_t msg, uint32_t address) {
  uint32_t handle = Register(target, msg);
  std::thread(ResolveAddress, handle, address).detach();
  return handle;
}

bool CancelLookup(uint32_t handle) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  auto it = Registry().find(handle);
  if (it == Registry().end()) return false;
  if (it->second.posted) {
    if (auto queue = it->second.queue.lock()) queue->DropPending(it->second.target_id, it->second.msg, handle);
  }
  Registry().erase(it);
  return true;
}

HostEntry TakeLookupResult(uint32_t handle) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  auto it = Registry().find(handle);
  if (it == Registry().end()) return {};
  HostEntry result = std::move(it->second.result);
  Registry().erase(it);
  return result;
}

}  // namespace quillon::platform
