// The C library's locale (LC_ALL) switched for the life of a test object. The
// test programs start in the C locale whatever the environment says.
#pragma once

#include <string>

namespace quillon::testing {

// The locales the tests use; scripts/setup generates them.
inline constexpr const char* kTestLocales[] = {"C", "de_DE.UTF-8"};

class ScopedLocale {
 public:
  // A locale that the system lacks is a test failure, not a skip: ok() is
  // then false and the locale stays as it was.
  explicit ScopedLocale(const std::string& name);
  ~ScopedLocale();
  ScopedLocale(const ScopedLocale&) = delete;
  ScopedLocale& operator=(const ScopedLocale&) = delete;

  bool ok() const { return ok_; }

 private:
  std::string previous_;
  bool ok_ = false;
};

}  // namespace quillon::testing
