// Sets the German locale (decimal comma, "1.234,5") for as long as the scope lives, as a user
// interface toolkit does at start-up, and puts the previous locale back after. Numbers that go on
// the wire or into files must come out the same under it.
#pragma once

#include <clocale>
#include <string>

#include <gtest/gtest.h>

namespace qv::test {

class DecimalCommaLocale {
public:
  DecimalCommaLocale() : previous_(std::setlocale(LC_ALL, nullptr)) {
    active_ = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    // scripts/install-deps installs locales-all, which holds it.
    EXPECT_TRUE(active_) << "the de_DE.UTF-8 locale is not installed";
    if (active_) {
      EXPECT_EQ(std::localeconv()->decimal_point, std::string(","));
    }
  }
  ~DecimalCommaLocale() { std::setlocale(LC_ALL, previous_.c_str()); }
  DecimalCommaLocale(const DecimalCommaLocale&) = delete;
  DecimalCommaLocale& operator=(const DecimalCommaLocale&) = delete;

  bool active() const { return active_; }

private:
  std::string previous_;
  bool active_ = false;
};

}  // namespace qv::test
