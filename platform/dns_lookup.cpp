#include "platform/dns_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

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

void ResolveName(uint32_t handle, std::string name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
  int saved = errno;
  HostEntry entry;
  if (rc == 0) {
    if (list && list->ai_canonname) entry.name = list->ai_canonname;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
      char text[INET_ADDRSTRLEN];
      auto* sin = reinterpret_cast<sockaddr_in*>(ai->ai_addr);
      ::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
      entry.addresses.emplace_back(text);
    }
    ::freeaddrinfo(list);
    if (entry.name.empty()) entry.name = name;
  }
  Complete(handle, WinsockErrorFromLookup(rc, saved), std::move(entry));
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
