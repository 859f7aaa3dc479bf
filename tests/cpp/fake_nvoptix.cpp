// Stand-ins for the driver's OptiX library, built in four variants by the tests:
//   FAKE_NVOPTIX_ACCEPT118  serves ABI 118 (and only a 480-byte table);
//   FAKE_NVOPTIX_ACCEPT105  answers 118 with "unsupported ABI" and serves 105 (a 416-byte table),
//                           as drivers before OptiX 9.1 do;
//   FAKE_NVOPTIX_REJECT     answers every ABI with "unsupported ABI";
//   FAKE_NVOPTIX_NOSYMBOL   exports no optixQueryFunctionTable.
// Entry i of a served table is a function that returns 9000 + i, so a test can tell which slot of
// the driver's table ended up where; the error-name and error-text entries return fixed strings.
#include <cstddef>
#include <cstdint>
#include <utility>

namespace {

using Entry = void (*)();

template <int I>
int32_t slot() {
  return 9000 + I;
}
template <int... I>
constexpr void fill(Entry* out, std::integer_sequence<int, I...>) {
  ((out[I] = reinterpret_cast<Entry>(&slot<I>)), ...);
}

const char* fake_name(int32_t) { return "FAKE_ERROR_NAME"; }
const char* fake_text(int32_t) { return "fake error text"; }

template <int N>
int32_t serve(void* table, size_t size) {
  if (size != N * sizeof(Entry)) return 7802;
  Entry* t = static_cast<Entry*>(table);
  fill(t, std::make_integer_sequence<int, N>{});
  t[0] = reinterpret_cast<Entry>(&fake_name);
  t[1] = reinterpret_cast<Entry>(&fake_text);
  return 0;
}

}  // namespace

#if !defined(FAKE_NVOPTIX_NOSYMBOL)
extern "C" __attribute__((visibility("default"))) int32_t optixQueryFunctionTable(
    int abi, unsigned int, void*, const void**, void* table, size_t size) {
#if defined(FAKE_NVOPTIX_ACCEPT118)
  return abi == 118 ? serve<60>(table, size) : 7801;
#elif defined(FAKE_NVOPTIX_ACCEPT105)
  return abi == 105 ? serve<52>(table, size) : 7801;
#else
  (void)abi, (void)table, (void)size;
  return 7801;
#endif
}
#endif
