// Asynchronous name lookup and reverse lookup. Each lookup runs on a worker
// thread; its completion is posted to the requesting message target as
// (msg, wParam = lookup handle, lParam = error << 16), the error being a socket
// error number (0 success, 11001 host not found, ...). The receiver then takes
// the result with TakeLookupResult. A cancelled lookup never completes, also
// when its completion was already queued.
//
// Start, cancel and take results on the thread that owns the target.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/message_target.h"

namespace quillon::platform {

struct HostEntry {
  std::string name;                    // official name (reverse lookup: the name found)
  // IPv4 (dotted) and IPv6 ("2001:db8::1") addresses in the order they are
  // tried: the system's preferred one first, then the families alternate.
  std::vector<std::string> addresses;
};

// Looks up the IPv4 and IPv6 addresses of name. Returns the lookup handle
// (never 0).
uint32_t StartNameLookup(MessageTarget* target, uint32_t msg, const std::string& name);

// The same lookup, waiting for it: the socket error number (0 success).
int LookupName(const std::string& name, HostEntry& entry);

// For tests: names answered with these addresses (in this order) instead of
// asking the system; an empty map asks the system again. Any thread.
void SetNameOverridesForTesting(std::map<std::string, std::vector<std::string>> overrides);

// Looks up the name of an IPv4 address given in network byte order.
uint32_t StartAddressLookup(MessageTarget* target, uint32_t msg, uint32_t address);

// Cancels a lookup that has not been delivered yet. False when the handle is
// unknown (never started, delivered and taken, or cancelled before).
bool CancelLookup(uint32_t handle);

// The result of a delivered lookup; forgets the lookup. Empty when unknown.
HostEntry TakeLookupResult(uint32_t handle);

}  // namespace quillon::platform
