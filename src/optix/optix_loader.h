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

// What the driver's library answered to each ABI it was asked for (kSuccess when not asked).
struct AbiAnswers {
  Result abi118 = kSuccess;
  Result abi105 = kSuccess;
};

// Loads `library` (a name for the platform's search or a path) and fills the table: ABI 118
// first, ABI 105 whenever the driver refuses 118, whatever its reason (drivers that predate
// OptiX 9.1 answer with "unsupported ABI", others with a table-size or version code). Returns
// kSuccess, or the code to report: kErrorLibraryNotFound, kErrorEntrySymbolNotFound, or the
// driver's answer to ABI 118; `answers` (optional) receives both answers. The table is cleared
// first, so a failed load leaves the built-in error texts in force. The library stays loaded.
Result load_function_table(const char* library, AbiAnswers* answers = nullptr);

// Loads the default library once per process (later calls return kSuccess at once); throws
// std::runtime_error with init_failure_message on failure.
void ensure_function_table();

// "NVIDIA driver 580.95.05, CUDA 13.0" from the kernel module and the CUDA driver, with whatever
// part can be read.
std::string driver_description();

const char* error_name(Result r);
const char* error_string(Result r);
std::string init_explanation(Result r);
std::string init_failure_message(Result r);
// The same, and when the driver refused both ABIs, both of its answers and `driver`.
std::string init_failure_message(Result r, const AbiAnswers& answers, const std::string& driver);

// Diagnostics switch: VELM_OPTIX_VALIDATION set to anything but "" or "0". It turns on the
// device context's validation mode, the pipelines' exception checks (stack overflow, trace depth,
// user exceptions) and level-3 log messages, and reports the stack sizes and creation logs.
bool validation_requested();

// Writes levels 1 and 2 to standard error as "[OptiX][tag] message"; drops the others. `data`,
// when not null, points to an unsigned int that raises the highest level written (3 under the
// validation switch: the driver's performance and correctness warnings).
void log_callback(unsigned int level, const char* tag, const char* message, void* data);

// Unless r is kSuccess, throws std::runtime_error
// "OptiX: " + what + " (" + code + " " + error name + ")", followed by ": " + log when the call
// left a log.
void check(Result r, const char* what, const std::string& log = {});

// A creation call's log buffer: what the driver wrote, however long it says the log was.
struct CreationLog {
  static constexpr size_t kCapacity = 16384;
  char text[kCapacity] = {};
  size_t size = kCapacity;  // in: capacity; out: the log's full length
  std::string str() const;
};

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
// `validation` turns on the exception checks that validation_requested() asks for.
CompileOptionsForAbi pipeline_compile_options(size_t params_size, bool validation = false);
ModuleCompileOptions module_compile_options();

}  // namespace velm::optix
