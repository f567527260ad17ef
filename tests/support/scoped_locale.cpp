#include "tests/support/scoped_locale.h"

#include <gtest/gtest.h>

#include <clocale>

namespace quillon::testing {

ScopedLocale::ScopedLocale(const std::string& name) : previous_(std::setlocale(LC_ALL, nullptr)) {
  ok_ = std::setlocale(LC_ALL, name.c_str()) != nullptr;
  if (!ok_) ADD_FAILURE() << "the locale " << name << " is missing; scripts/setup generates it";
}

ScopedLocale::~ScopedLocale() { std::setlocale(LC_ALL, previous_.c_str()); }

}  // namespace quillon::testing
