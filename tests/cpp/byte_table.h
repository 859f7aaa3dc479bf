// Byte-for-byte checks of the records handed to the driver and the device programs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

template <class T>
std::vector<uint8_t> bytes_of(const T& v) {
  std::vector<uint8_t> b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

// Checks a record against a table of (offset, bytes) fields; every byte no field names is zero.
class ByteTable {
 public:
  explicit ByteTable(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  template <class T>
  void field(size_t offset, const T& value) {
    const std::vector<uint8_t> want = bytes_of(value);
    ASSERT_LE(offset + want.size(), bytes_.size());
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(bytes_[offset + i], want[i]) << "byte " << offset + i;
      named_.insert(offset + i);
    }
  }
  void rest_zero() const {
    for (size_t i = 0; i < bytes_.size(); ++i)
      if (!named_.count(i)) {
        EXPECT_EQ(bytes_[i], 0) << "byte " << i;
      }
  }

 private:
  std::vector<uint8_t> bytes_;
  std::set<size_t> named_;
};
