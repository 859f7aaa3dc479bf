// The process-wide OptiX function table: loading the driver's OptiX library, negotiating the ABI,
// error names and texts (the driver's when loaded, built-in ones otherwise), the explanations of
// initialisation failures, the log callback and the OptiX result checker.
#pragma once

#include <string>

#include "optix/optix_abi.h"

namespace velm::optix {

// The table every OptiX call goes through. Entries are null until a load succeeds.
const FunctionTable& table();
// ABI version the driver accepted (kAbiVersion or kAbiVersionFallback), 0 before a load.
int accepted_abi();
bool table_loaded();

// The driver's library as the platform's loader finds it.
const char* default_library_name();

// Loads `library` (a name for the platform's search or a path) and fills the table: ABI 118
// first, ABI 105 when the driver answers 118 with kErrorUnsupportedAbiVersion. Returns kSuccess,
// or the code to report: kErrorLibraryNotFound, kErrorEntrySymbolNotFound, or the driver's answer
// to ABI 118. The table is cleared first, so a failed load leaves the built-in error texts in
// force. The library stays loaded.
Result load_function_table(const char* library);

// Loads the default library once per process (later calls return kSuccess at once); throws
// std::runtime_error "Failed to initialize OptiX (code N): <explanation>" on failure.
void ensure_function_table();

const char* error_name(Result r);
const char* error_string(Result r);
std::string init_explanation(Result r);
std::string init_failure_message(Result r);

// Writes levels 1 and 2 to standard error as "[OptiX][tag] message"; drops the others.
void log_callback(unsigned int level, const char* tag, const char* message, void* data);

// "OptiX: " + what + " (" + code + ")" as std::runtime_error, unless r is kSuccess.
void check(Result r, const char* what);

// The pipeline compile options in the layout of the accepted ABI. `params_size` is the size of
// the launch-parameter record the programs declare; ABI 118 checks it, 105 has no such field.
struct CompileOptionsForAbi {
  PipelineCompileOptions v118{};
  PipelineCompileOptions105 v105{};
  const void* get(int abi) const {
    return abi == kAbiVersionFallback ? static_cast<const void*>(&v105)
                                      : static_cast<const void*>(&v118);
  }
};
CompileOptionsForAbi pipeline_compile_options(size_t params_size);
ModuleCompileOptions module_compile_options();

}  // namespace velm::optix
