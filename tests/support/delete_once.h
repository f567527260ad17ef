// For the tests in which an event's handler destroys the object that fires
// it (the lifetime rule, base/lifetime.h).
#pragma once

#include <functional>

namespace quillon::testing {

// A handler body that deletes the sender the first time it runs and sets
// `freed`; later calls (another armed event of the dying object) do nothing.
template <class T>
std::function<void(T*)> DeleteOnce(bool& freed) {
  return [&freed](T* sender) {
    if (freed) return;
    freed = true;
    delete sender;
  };
}

}  // namespace quillon::testing
