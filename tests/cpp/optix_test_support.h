// Helpers of the OptiX C++ tests: byte-for-byte checks of the records handed to the driver and the
// device programs, and the message of an expected exception.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

using u8 = uint8_t;
using u64 = uint64_t;
using f2 = std::array<float, 2>;
using f3 = std::array<float, 3>;

template <class T>
std::vector<uint8_t> bytes_of(const T& v) {
  std::vector<uint8_t> b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

// A named field of a record: where it starts and the bytes it must hold (those of `value`, so the
// value's type gives the width: u8{1}, 2u, 3, 4.f, u64{5}, a struct, an array).
struct Field {
  template <class T>
  Field(size_t offset, const T& value) : offset(offset), bytes(bytes_of(value)) {}
  size_t offset;
  std::vector<uint8_t> bytes;
};
using Fields = std::vector<Field>;

// Every field of `common` and `fields` holds its bytes in `record`; every byte no field names is 0.
template <class T>
void expect_bytes(const T& record, const Fields& common, const Fields& fields = {}) {
  const std::vector<uint8_t> have = bytes_of(record);
  std::vector<bool> named(have.size(), false);
  for (const Fields* list : {&common, &fields})
    for (const Field& f : *list) {
      ASSERT_LE(f.offset + f.bytes.size(), have.size()) << "field at " << f.offset;
      for (size_t i = 0; i < f.bytes.size(); ++i) {
        EXPECT_EQ(have[f.offset + i], f.bytes[i]) << "byte " << f.offset + i;
        named[f.offset + i] = true;
      }
    }
  for (size_t i = 0; i < have.size(); ++i)
    if (!named[i]) {
      EXPECT_EQ(have[i], 0) << "byte " << i;
    }
}

// What `run` throws as an E; other outcomes are described so that a comparison fails.
template <class E, class F>
std::string message_of(F&& run) {
  try {
    run();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("wrong exception type: ") + e.what();
  }
  return "no exception";
}
