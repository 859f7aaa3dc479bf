// What the "programs" stand-in driver (fake_nvoptix.cpp) records of the program and pipeline
// calls made to it, and the failure it is told to give; reached through the library's
// fake_nvoptix_record().
#pragma once

#include <cstdint>

struct FakePipelineCall {
  uint32_t groups;
  uint32_t max_trace_depth;
  uint32_t exception_flags;  // of the compile options it was given (ABI 118 layout)
  uint32_t stack[4];         // the stack-size call: direct x2, continuation, traversable depth
};

struct FakeRecord {
  int32_t fail_slot = -1;  // table slot whose next call fails
  int32_t fail_code = 0;
  const char* fail_log = "";
  int32_t modules = 0;
  int32_t pipelines = 0;
  FakePipelineCall pipeline[16] = {};
};

using FakeRecordFn = FakeRecord* (*)();
