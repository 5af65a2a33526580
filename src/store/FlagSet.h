// A fixed set of yes/no flags, one per property of a stored object, held in the object itself.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qv {

// What std::vector<bool> offers the change tracking, without a heap block for the usual entity of
// at most 64 properties: a scan step makes and drops thousands of objects, each with five sets.
// Flags beyond the first 64 live in a vector. Bits past size() are always clear.
class FlagSet {
public:
  class Reference {
  public:
    operator bool() const { return set_.test(index_); }
    Reference& operator=(bool value) {
      set_.set(index_, value);
      return *this;
    }
    Reference& operator=(const Reference& other) { return *this = static_cast<bool>(other); }

  private:
    friend class FlagSet;
    Reference(FlagSet& set, std::size_t index) : set_(set), index_(index) {}
    FlagSet& set_;
    std::size_t index_;
  };

  FlagSet() = default;
  FlagSet(std::size_t size, bool value) { assign(size, value); }

  std::size_t size() const { return size_; }
  bool test(std::size_t i) const { return (word(i) >> (i & 63)) & 1u; }
  bool operator[](std::size_t i) const { return test(i); }
  Reference operator[](std::size_t i) { return Reference(*this, i); }
  void set(std::size_t i, bool value) {
    const std::uint64_t bit = std::uint64_t{1} << (i & 63);
    if (value) word(i) |= bit;
    else word(i) &= ~bit;
  }

  void assign(std::size_t size, bool value) {
    size_ = size;
    more_.assign(size > 64 ? (size - 1) / 64 : 0, value ? ~std::uint64_t{0} : 0);
    first_ = value ? ~std::uint64_t{0} : 0;
    clearBeyondSize();
  }
  void resize(std::size_t size, bool value) {
    const std::size_t old = size_;
    size_ = size;
    more_.resize(size > 64 ? (size - 1) / 64 : 0, 0);
    if (value)
      for (std::size_t i = old; i < size; ++i) set(i, true);
    clearBeyondSize();
  }
  void fill(bool value) { assign(size_, value); }

  bool any() const {
    if (first_) return true;
    for (const auto w : more_)
      if (w) return true;
    return false;
  }
  std::size_t count() const {
    std::size_t n = static_cast<std::size_t>(std::popcount(first_));
    for (const auto w : more_) n += static_cast<std::size_t>(std::popcount(w));
    return n;
  }

  bool operator==(const FlagSet& other) const = default;

private:
  std::uint64_t word(std::size_t i) const { return i < 64 ? first_ : more_[(i >> 6) - 1]; }
  std::uint64_t& word(std::size_t i) { return i < 64 ? first_ : more_[(i >> 6) - 1]; }
  void clearBeyondSize() {
    auto keep = [](std::size_t bits) { return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1; };
    if (size_ <= 64) {
      first_ &= keep(size_);
      return;
    }
    more_.back() &= keep(size_ - 64 * more_.size());
  }

  std::size_t size_ = 0;
  std::uint64_t first_ = 0;
  std::vector<std::uint64_t> more_;
};

}  // namespace qv
