// Stand-ins for the driver's OptiX library, built in five variants by the tests:
//   FAKE_NVOPTIX_ACCEPT118  serves ABI 118 (and only a 480-byte table);
//   FAKE_NVOPTIX_ACCEPT105  answers 118 with "unsupported ABI" and serves 105 (a 416-byte table),
//                           as drivers before OptiX 9.1 do;
//   FAKE_NVOPTIX_ODD118     answers 118 with a table-size mismatch and serves 105;
//   FAKE_NVOPTIX_REJECT     answers 118 with "unsupported ABI" and 105 with a table-size mismatch;
//   FAKE_NVOPTIX_NOSYMBOL   exports no optixQueryFunctionTable;
//   FAKE_NVOPTIX_PROGRAMS   serves 118 with working module, program-group, pipeline and header
//                           entries that record what they are given (fake_nvoptix.h).
// Entry i of a served table is otherwise a function that returns 9000 + i, so a test can tell
// which slot of the driver's table ended up where; the error-name and error-text entries return
// fixed strings.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "fake_nvoptix.h"

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

#if defined(FAKE_NVOPTIX_PROGRAMS)
// Handles are small integers. A program group's stack sizes are 16 bytes per character of its
// entry-point name, in the slot of its kind, so each pipeline's maximum is known in advance.
FakeRecord g_record;
uint32_t g_group_stack[64][3];  // raygen, miss, closest hit

int32_t answer(int slot, char* log, size_t* log_size) {
  if (slot != g_record.fail_slot) {
    if (log_size && *log_size) log[0] = '\0';
    return 0;
  }
  g_record.fail_slot = -1;
  if (log != nullptr) {
    std::strncpy(log, g_record.fail_log, *log_size);
    *log_size = std::strlen(g_record.fail_log) + 1;
  }
  return g_record.fail_code;
}

int32_t module_create(void*, const void*, const void*, const char*, size_t, char* log,
                      size_t* log_size, void** out) {
  const int32_t r = answer(12, log, log_size);
  if (r == 0) *out = reinterpret_cast<void*>(static_cast<uintptr_t>(++g_record.modules));
  return r;
}

int32_t group_create(void*, const uint32_t* desc, unsigned, const void*, char* log,
                     size_t* log_size, void** out) {
  static uintptr_t groups = 0;
  const int32_t r = answer(24, log, log_size);
  if (r != 0) return r;
  // kind, flags, then the first module and its entry-point name.
  const char* entry = *reinterpret_cast<const char* const*>(desc + 4);
  const uint32_t kind = desc[0] == 0x2421 ? 0 : desc[0] == 0x2422 ? 1 : 2;
  const uintptr_t g = ++groups % 63 + 1;  // never null
  std::memset(g_group_stack[g], 0, sizeof g_group_stack[g]);
  g_group_stack[g][kind] = 16 * static_cast<uint32_t>(std::strlen(entry));
  *out = reinterpret_cast<void*>(g);
  return 0;
}

int32_t group_stack_size(void* group, uint32_t* sizes, void*) {
  const uint32_t* s = g_group_stack[reinterpret_cast<uintptr_t>(group)];
  std::memset(sizes, 0, 7 * sizeof(uint32_t));
  sizes[0] = s[0];  // ray generation
  sizes[1] = s[1];  // miss
  sizes[2] = s[2];  // closest hit
  return answer(26, nullptr, nullptr);
}

int32_t pipeline_create(void*, const void* options, const uint32_t* link, void* const*,
                        unsigned count, char* log, size_t* log_size, void** out) {
  const int32_t r = answer(27, log, log_size);
  if (r != 0) return r;
  FakePipelineCall& c = g_record.pipeline[g_record.pipelines++ % 16];
  c = FakePipelineCall{};
  c.groups = count;
  c.max_trace_depth = link[0];
  std::memcpy(&c.exception_flags, static_cast<const char*>(options) + 16, 4);
  *out = reinterpret_cast<void*>(static_cast<uintptr_t>(g_record.pipelines));
  return 0;
}

int32_t set_stack_size(void* pipeline, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  FakePipelineCall& call = g_record.pipeline[(reinterpret_cast<uintptr_t>(pipeline) - 1) % 16];
  const uint32_t args[4] = {a, b, c, d};
  std::memcpy(call.stack, args, sizeof args);
  return answer(30, nullptr, nullptr);
}

int32_t destroy(void*) { return 0; }
int32_t pack_header(void*, void* header) {
  std::memset(header, 0, 32);
  return 0;
}
#endif

template <int N>
int32_t serve(void* table, size_t size) {
  if (size != N * sizeof(Entry)) return 7802;
  Entry* t = static_cast<Entry*>(table);
  fill(t, std::make_integer_sequence<int, N>{});
  t[0] = reinterpret_cast<Entry>(&fake_name);
  t[1] = reinterpret_cast<Entry>(&fake_text);
#if defined(FAKE_NVOPTIX_PROGRAMS)
  const std::pair<int, Entry> working[] = {
      {12, reinterpret_cast<Entry>(&module_create)},
      {18, reinterpret_cast<Entry>(&destroy)},
      {24, reinterpret_cast<Entry>(&group_create)},
      {25, reinterpret_cast<Entry>(&destroy)},
      {26, reinterpret_cast<Entry>(&group_stack_size)},
      {27, reinterpret_cast<Entry>(&pipeline_create)},
      {28, reinterpret_cast<Entry>(&destroy)},
      {30, reinterpret_cast<Entry>(&set_stack_size)},
      {48, reinterpret_cast<Entry>(&pack_header)},
  };
  for (const auto& [i, entry] : working) t[i] = entry;
#endif
  return 0;
}

}  // namespace

#if defined(FAKE_NVOPTIX_PROGRAMS)
extern "C" __attribute__((visibility("default"))) FakeRecord* fake_nvoptix_record() {
  return &g_record;
}
#endif

#if !defined(FAKE_NVOPTIX_NOSYMBOL)
extern "C" __attribute__((visibility("default"))) int32_t optixQueryFunctionTable(
    int abi, unsigned int, void*, const void**, void* table, size_t size) {
#if defined(FAKE_NVOPTIX_ACCEPT118) || defined(FAKE_NVOPTIX_PROGRAMS)
  return abi == 118 ? serve<60>(table, size) : 7801;
#elif defined(FAKE_NVOPTIX_ACCEPT105)
  return abi == 105 ? serve<52>(table, size) : 7801;
#elif defined(FAKE_NVOPTIX_ODD118)
  return abi == 105 ? serve<52>(table, size) : 7802;
#else
  (void)table, (void)size;
  return abi == 118 ? 7801 : 7802;
#endif
}
#endif
