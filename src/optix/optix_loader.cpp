#include "optix/optix_loader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <regex>
#include <stdexcept>

#include "optix/device_buffer.h"
#include "optix/ptx_version.h"

#if defined(_WIN32)
#error "the Windows driver-library search is not implemented"
#else
#include <dlfcn.h>
#endif

namespace velm::optix {

namespace {

// The one piece of process-wide mutable state: the driver's table and the ABI it was given for.
FunctionTable g_table{};
int g_abi = 0;
std::mutex g_load_mutex;

struct BuiltinText {
  Result code;
  const char* name;
  const char* text;
};
constexpr BuiltinText kBuiltinTexts[] = {
    {kSuccess, "OPTIX_SUCCESS", "Success"},
    {kErrorInvalidValue, "OPTIX_ERROR_INVALID_VALUE", "Invalid value"},
    {kErrorUnsupportedAbiVersion, "OPTIX_ERROR_UNSUPPORTED_ABI_VERSION", "Unsupported ABI version"},
    {kErrorFunctionTableSizeMismatch, "OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH",
     "Function table size mismatch"},
    {kErrorInvalidEntryFunctionOptions, "OPTIX_ERROR_INVALID_ENTRY_FUNCTION_OPTIONS",
     "Invalid options to entry function"},
    {kErrorLibraryNotFound, "OPTIX_ERROR_LIBRARY_NOT_FOUND", "Library not found"},
    {kErrorEntrySymbolNotFound, "OPTIX_ERROR_ENTRY_SYMBOL_NOT_FOUND", "Entry symbol not found"},
    {kErrorLibraryUnloadFailure, "OPTIX_ERROR_LIBRARY_UNLOAD_FAILURE",
     "Library could not be unloaded"},
};
constexpr const char* kUnknownResult = "Unknown OptixResult code";

const BuiltinText* builtin(Result r) {
  for (const BuiltinText& t : kBuiltinTexts)
    if (t.code == r) return &t;
  return nullptr;
}

}  // namespace

const FunctionTable& table() { return g_table; }
int accepted_abi() { return g_abi; }
bool table_loaded() { return g_abi != 0; }

const char* default_library_name() { return "libnvoptix.so.1"; }

Result load_function_table(const char* library, AbiAnswers* answers) {
  AbiAnswers local;
  AbiAnswers& a = answers ? *answers : local;
  a = AbiAnswers{};
  g_table = FunctionTable{};
  g_abi = 0;
  void* handle = dlopen(library, RTLD_NOW);
  if (handle == nullptr) return kErrorLibraryNotFound;
  auto query = reinterpret_cast<QueryFunctionTable>(dlsym(handle, "optixQueryFunctionTable"));
  if (query == nullptr) return kErrorEntrySymbolNotFound;

  FunctionTable t118{};
  a.abi118 = query(kAbiVersion, 0, nullptr, nullptr, &t118, sizeof t118);
  if (a.abi118 == kSuccess) {
    g_table = t118;
    g_abi = kAbiVersion;
    return kSuccess;
  }
  // Drivers that predate OptiX 9.1 refuse ABI 118 but serve 9.0's, which covers every entry
  // and structure we use (optix_abi.h lists the differences). Whatever the refusal says, 105 is
  // worth asking for.
  FunctionTable105 t105{};
  a.abi105 = query(kAbiVersionFallback, 0, nullptr, nullptr, &t105, sizeof t105);
  if (a.abi105 == kSuccess) {
    g_table = adopt_abi105_table(t105);
    g_abi = kAbiVersionFallback;
    return kSuccess;
  }
  return a.abi118;
}

void ensure_function_table() {
  std::lock_guard<std::mutex> lock(g_load_mutex);
  if (table_loaded()) return;
  AbiAnswers answers;
  const Result r = load_function_table(default_library_name(), &answers);
  if (r != kSuccess)
    throw std::runtime_error(init_failure_message(r, answers, driver_description()));
  if (accepted_abi() == kAbiVersionFallback) {
    std::fprintf(stderr,
                 "[OptiX] the driver does not serve ABI %d (it answered %d, %s); using ABI %d "
                 "(OptiX 9.0)\n",
                 kAbiVersion, answers.abi118, error_name(answers.abi118), kAbiVersionFallback);
    std::fflush(stderr);
  }
  if (validation_requested()) {
    std::fprintf(stderr, "[OptiX] ABI %d accepted by %s\n", accepted_abi(),
                 driver_description().c_str());
    std::fflush(stderr);
  }
}

std::string driver_description() {
  std::string kernel_module;
  std::ifstream version("/proc/driver/nvidia/version");
  std::string line;
  if (std::getline(version, line)) {
    // "NVRM version: NVIDIA UNIX x86_64 Kernel Module  580.95.05  <date>"
    std::smatch m;
    if (std::regex_search(line, m, std::regex(R"(Kernel Module\s+(\S+))"))) kernel_module = m[1];
  }
  const int cuda = cuda_driver_version();
  std::string out = "NVIDIA driver ";
  out += kernel_module.empty() ? "(version unknown)" : kernel_module;
  out += cuda > 0 ? ", CUDA " + cuda_version_text(cuda) : ", CUDA driver version unknown";
  return out;
}

bool validation_requested() {
  const char* v = std::getenv("VELM_OPTIX_VALIDATION");
  return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

const char* error_name(Result r) {
  if (g_table.get_error_name != nullptr) return g_table.get_error_name(r);
  const BuiltinText* t = builtin(r);
  return t ? t->name : kUnknownResult;
}

const char* error_string(Result r) {
  if (g_table.get_error_string != nullptr) return g_table.get_error_string(r);
  const BuiltinText* t = builtin(r);
  return t ? t->text : kUnknownResult;
}

std::string init_explanation(Result r) {
  switch (r) {
    case kErrorLibraryNotFound:
      return std::string("OPTIX_ERROR_LIBRARY_NOT_FOUND \u2014 ") + default_library_name() +
             " not found. Reinstall the NVIDIA display driver (not just CUDA).";
    case kErrorEntrySymbolNotFound:
      return "OPTIX_ERROR_ENTRY_SYMBOL_NOT_FOUND \u2014 driver is too old for the OptiX SDK this "
             "build was compiled against. Update to the latest NVIDIA Studio/Game Ready driver "
             "(R580+).";
    case kErrorFunctionTableSizeMismatch:
      return "OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH \u2014 driver/SDK ABI mismatch. Update to "
             "the latest NVIDIA driver (R580+).";
    case kErrorCudaNotInitialized:
      return "OPTIX_ERROR_CUDA_NOT_INITIALIZED \u2014 CUDA context not ready.";
    case kErrorNotCompatible:
      return "OPTIX_ERROR_NOT_COMPATIBLE \u2014 driver does not support OptiX. Install/update the "
             "NVIDIA display driver.";
    case kErrorUnsupportedAbiVersion:
      return "OPTIX_ERROR_UNSUPPORTED_ABI_VERSION \u2014 driver does not support the OptiX 9.1 "
             "ABI. Update to the latest NVIDIA driver (R580+).";
    default:
      return "(unrecognized OptiX init error code)";
  }
}

std::string init_failure_message(Result r) {
  return "Failed to initialize OptiX (code " + std::to_string(r) + "): " + init_explanation(r);
}

std::string init_failure_message(Result r, const AbiAnswers& answers, const std::string& driver) {
  std::string m = init_failure_message(r);
  if (answers.abi118 == kSuccess || answers.abi105 == kSuccess) return m;
  const auto answer = [](int abi, Result code) {
    return "ABI " + std::to_string(abi) + " with " + std::to_string(code) + " (" +
           error_name(code) + ")";
  };
  return m + " The driver answered " + answer(kAbiVersion, answers.abi118) + " and " +
         answer(kAbiVersionFallback, answers.abi105) + "; " + driver + ".";
}

void log_callback(unsigned int level, const char* tag, const char* message, void* data) {
  const unsigned highest = data ? *static_cast<const unsigned*>(data) : 2u;
  if (level > highest) return;
  std::fprintf(stderr, "[OptiX][%s] %s\n", tag ? tag : "", message ? message : "");
  std::fflush(stderr);
}

void check(Result r, const char* what, const std::string& log) {
  if (r == kSuccess) return;
  std::string m =
      std::string("OptiX: ") + what + " (" + std::to_string(r) + " " + error_name(r) + ")";
  const size_t end = log.find_last_not_of(" \n");
  if (end != std::string::npos) m += ": " + log.substr(0, end + 1);
  throw std::runtime_error(m);
}

std::string CreationLog::str() const {
  std::string s(text, strnlen(text, kCapacity));
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  if (size > kCapacity) s += " [log truncated: " + std::to_string(size) + " bytes]";
  return s;
}

CompileOptionsForAbi pipeline_compile_options(size_t params_size, bool validation) {
  const uint32_t exceptions =
      validation ? kExceptionFlagStackOverflow | kExceptionFlagTraceDepth | kExceptionFlagUser
                 : kExceptionFlagNone;
  CompileOptionsForAbi o;
  o.v118.uses_motion_blur = 0;
  o.v118.traversable_graph_flags = 0;  // any graph
  o.v118.num_payload_values = 2;
  o.v118.num_attribute_values = 2;
  o.v118.exception_flags = exceptions;
  o.v118.launch_params_variable_name = "params";
  o.v118.launch_params_size = params_size;
  o.v105.num_payload_values = 2;
  o.v105.num_attribute_values = 2;
  o.v105.exception_flags = exceptions;
  o.v105.launch_params_variable_name = "params";
  return o;
}

ModuleCompileOptions module_compile_options() {
  ModuleCompileOptions o{};
  o.max_register_count = 0;
  o.opt_level = kCompileOptimizationDefault;
  o.debug_level = kCompileDebugLevelNone;
  return o;
}

}  // namespace velm::optix
