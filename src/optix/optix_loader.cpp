#include "optix/optix_loader.h"

#include <cstdio>
#include <mutex>
#include <stdexcept>

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

Result load_function_table(const char* library) {
  g_table = FunctionTable{};
  g_abi = 0;
  void* handle = dlopen(library, RTLD_NOW);
  if (handle == nullptr) return kErrorLibraryNotFound;
  auto query = reinterpret_cast<QueryFunctionTable>(dlsym(handle, "optixQueryFunctionTable"));
  if (query == nullptr) return kErrorEntrySymbolNotFound;

  FunctionTable t118{};
  const Result first = query(kAbiVersion, 0, nullptr, nullptr, &t118, sizeof t118);
  if (first == kSuccess) {
    g_table = t118;
    g_abi = kAbiVersion;
    return kSuccess;
  }
  // Drivers that predate OptiX 9.1 refuse ABI 118 but serve 9.0's, which covers every entry
  // and structure we use (optix_abi.h lists the differences).
  if (first == kErrorUnsupportedAbiVersion) {
    FunctionTable105 t105{};
    if (query(kAbiVersionFallback, 0, nullptr, nullptr, &t105, sizeof t105) == kSuccess) {
      g_table = adopt_abi105_table(t105);
      g_abi = kAbiVersionFallback;
      return kSuccess;
    }
  }
  return first;
}

void ensure_function_table() {
  std::lock_guard<std::mutex> lock(g_load_mutex);
  if (table_loaded()) return;
  const Result r = load_function_table(default_library_name());
  if (r != kSuccess) throw std::runtime_error(init_failure_message(r));
  if (accepted_abi() == kAbiVersionFallback) {
    std::fprintf(stderr, "[OptiX] the driver does not serve ABI %d; using ABI %d (OptiX 9.0)\n",
                 kAbiVersion, kAbiVersionFallback);
    std::fflush(stderr);
  }
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

void log_callback(unsigned int level, const char* tag, const char* message, void*) {
  if (level > 2) return;
  std::fprintf(stderr, "[OptiX][%s] %s\n", tag ? tag : "", message ? message : "");
  std::fflush(stderr);
}

void check(Result r, const char* what) {
  if (r != kSuccess)
    throw std::runtime_error(std::string("OptiX: ") + what + " (" + std::to_string(r) + ")");
}

CompileOptionsForAbi pipeline_compile_options(size_t params_size) {
  CompileOptionsForAbi o;
  o.v118.uses_motion_blur = 0;
  o.v118.traversable_graph_flags = 0;  // any graph
  o.v118.num_payload_values = 2;
  o.v118.num_attribute_values = 2;
  o.v118.exception_flags = kExceptionFlagNone;
  o.v118.launch_params_variable_name = "params";
  o.v118.launch_params_size = params_size;
  o.v105.num_payload_values = 2;
  o.v105.num_attribute_values = 2;
  o.v105.exception_flags = kExceptionFlagNone;
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
