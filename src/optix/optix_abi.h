// Our own declarations of the part of the OptiX host ABI that the backend uses. OptiX is reached
// only through the function table that the display driver's library hands out; nothing here
// comes from the SDK headers. Every structure is checked against its published size and field
// offsets below, so a mistake fails the build instead of corrupting a driver call.
//
// Two ABI versions are spoken. 118 (OptiX 9.1) is the one asked for first; 105 (OptiX 9.0) is the
// fallback for drivers that answer 118 with "unsupported ABI". Where the two differ for what we
// use, both layouts are declared:
//  - the function table: 60 entries in 118, 52 in 105, and every entry from the module-destroy
//    one on sits at another index (FunctionTable105 and adopt_abi105_table);
//  - the pipeline compile options: 118 inserts the launch-parameter size (size_t) before the
//    primitive-type flags (PipelineCompileOptions105);
//  - the module compile options and pipeline link options: 118 only appends fields, so a 118
//    record with those fields zero is read correctly by a 105 driver (checked as a prefix);
//  - the triangle build input: 105 appends a displacement-micromap block; both live inside the
//    1024-byte build-input union and are zero for us.
// Everything else we use (device-context options, program-group descriptions, instance build
// input, build options and sizes, instance record, binding table, result codes and enum values)
// is identical in the two.
#pragma once

#include <cstddef>
#include <cstdint>

struct CUstream_st;
struct CUctx_st;

namespace velm::optix {

constexpr int kAbiVersion = 118;          // OptiX 9.1
constexpr int kAbiVersionFallback = 105;  // OptiX 9.0

using Result = int32_t;  // OptixResult
using DevicePtr = uint64_t;  // CUdeviceptr
using TraversableHandle = uint64_t;
using Stream = CUstream_st*;
using CudaContext = CUctx_st*;

struct DeviceContextImpl;
struct ModuleImpl;
struct ProgramGroupImpl;
struct PipelineImpl;
using DeviceContext = DeviceContextImpl*;
using Module = ModuleImpl*;
using ProgramGroup = ProgramGroupImpl*;
using Pipeline = PipelineImpl*;

// ---- result codes -------------------------------------------------------------------------------
constexpr Result kSuccess = 0;
constexpr Result kErrorInvalidValue = 7001;
constexpr Result kErrorCudaNotInitialized = 7052;
constexpr Result kErrorNotCompatible = 7400;
constexpr Result kErrorUnsupportedAbiVersion = 7801;
constexpr Result kErrorFunctionTableSizeMismatch = 7802;
constexpr Result kErrorInvalidEntryFunctionOptions = 7803;
constexpr Result kErrorLibraryNotFound = 7804;
constexpr Result kErrorEntrySymbolNotFound = 7805;
constexpr Result kErrorLibraryUnloadFailure = 7806;

// ---- enum values --------------------------------------------------------------------------------
constexpr uint32_t kValidationModeOff = 0;
constexpr uint32_t kValidationModeAll = 0xFFFFFFFFu;
constexpr uint32_t kCompileOptimizationDefault = 0;
constexpr uint32_t kCompileDebugLevelNone = 0x2350;
constexpr uint32_t kExceptionFlagNone = 0;
constexpr uint32_t kExceptionFlagStackOverflow = 1u << 0;
constexpr uint32_t kExceptionFlagTraceDepth = 1u << 1;
constexpr uint32_t kExceptionFlagUser = 1u << 2;
constexpr uint32_t kProgramGroupKindRaygen = 0x2421;
constexpr uint32_t kProgramGroupKindMiss = 0x2422;
constexpr uint32_t kProgramGroupKindHitgroup = 0x2424;
constexpr uint32_t kBuildInputTypeTriangles = 0x2141;
constexpr uint32_t kBuildInputTypeInstances = 0x2143;
constexpr uint32_t kVertexFormatFloat3 = 0x2121;
constexpr uint32_t kIndicesFormatUnsignedInt3 = 0x2103;
constexpr uint32_t kGeometryFlagNone = 0;
constexpr uint32_t kBuildFlagAllowUpdate = 1u << 0;
constexpr uint32_t kBuildFlagPreferFastTrace = 1u << 2;
constexpr uint32_t kBuildOperationBuild = 0x2161;
constexpr uint32_t kBuildOperationUpdate = 0x2162;
constexpr size_t kSbtRecordHeaderSize = 32;
constexpr size_t kSbtRecordAlignment = 16;
constexpr size_t kAccelBufferAlignment = 128;

using LogCallback = void (*)(unsigned int level, const char* tag, const char* message, void* data);

// ---- option records -----------------------------------------------------------------------------
struct DeviceContextOptions {
  LogCallback log_callback;
  void* log_callback_data;
  int32_t log_callback_level;
  uint32_t validation_mode;
};
static_assert(sizeof(DeviceContextOptions) == 24);
static_assert(offsetof(DeviceContextOptions, log_callback_level) == 16);
static_assert(offsetof(DeviceContextOptions, validation_mode) == 20);

struct ModuleCompileOptions {
  int32_t max_register_count;
  uint32_t opt_level;
  uint32_t debug_level;
  const void* bound_values;
  uint32_t num_bound_values;
  uint32_t num_payload_types;
  const void* payload_types;
  Module base_module;  // 118 only; a 105 driver reads the 40 bytes before it
};
static_assert(sizeof(ModuleCompileOptions) == 48);
static_assert(offsetof(ModuleCompileOptions, debug_level) == 8);
static_assert(offsetof(ModuleCompileOptions, bound_values) == 16);
static_assert(offsetof(ModuleCompileOptions, num_bound_values) == 24);
static_assert(offsetof(ModuleCompileOptions, num_payload_types) == 28);
static_assert(offsetof(ModuleCompileOptions, payload_types) == 32);
static_assert(offsetof(ModuleCompileOptions, base_module) == 40);

struct PipelineCompileOptions {
  int32_t uses_motion_blur;
  uint32_t traversable_graph_flags;
  int32_t num_payload_values;
  int32_t num_attribute_values;
  uint32_t exception_flags;
  const char* launch_params_variable_name;
  size_t launch_params_size;  // 118 only: must equal the size of the `params` variable
  uint32_t uses_primitive_type_flags;
  int32_t allow_opacity_micromaps;
  int32_t allow_clustered_geometry;
};
static_assert(sizeof(PipelineCompileOptions) == 56);
static_assert(offsetof(PipelineCompileOptions, exception_flags) == 16);
static_assert(offsetof(PipelineCompileOptions, launch_params_variable_name) == 24);
static_assert(offsetof(PipelineCompileOptions, launch_params_size) == 32);
static_assert(offsetof(PipelineCompileOptions, uses_primitive_type_flags) == 40);
static_assert(offsetof(PipelineCompileOptions, allow_clustered_geometry) == 48);

struct PipelineCompileOptions105 {
  int32_t uses_motion_blur;
  uint32_t traversable_graph_flags;
  int32_t num_payload_values;
  int32_t num_attribute_values;
  uint32_t exception_flags;
  const char* launch_params_variable_name;
  uint32_t uses_primitive_type_flags;
  int32_t allow_opacity_micromaps;
  int32_t allow_clustered_geometry;
};
static_assert(sizeof(PipelineCompileOptions105) == 48);
static_assert(offsetof(PipelineCompileOptions105, launch_params_variable_name) == 24);
static_assert(offsetof(PipelineCompileOptions105, uses_primitive_type_flags) == 32);
static_assert(offsetof(PipelineCompileOptions105, allow_clustered_geometry) == 40);

struct PipelineLinkOptions {
  uint32_t max_trace_depth;  // the whole 105 record
  uint32_t max_continuation_callable_depth;
  uint32_t max_direct_callable_depth_from_state;
  uint32_t max_direct_callable_depth_from_traversal;
  uint32_t max_traversable_graph_depth;
};
static_assert(sizeof(PipelineLinkOptions) == 20);
static_assert(offsetof(PipelineLinkOptions, max_traversable_graph_depth) == 16);

// ---- program groups -----------------------------------------------------------------------------
struct ProgramGroupSingleModule {
  Module module;
  const char* entry_function_name;
};
struct ProgramGroupHitgroup {
  Module module_ch;
  const char* entry_function_name_ch;
  Module module_ah;
  const char* entry_function_name_ah;
  Module module_is;
  const char* entry_function_name_is;
};
struct ProgramGroupCallables {
  Module module_dc;
  const char* entry_function_name_dc;
  Module module_cc;
  const char* entry_function_name_cc;
};
struct ProgramGroupDesc {
  uint32_t kind;
  uint32_t flags;
  union {
    ProgramGroupSingleModule raygen;
    ProgramGroupSingleModule miss;
    ProgramGroupSingleModule exception;
    ProgramGroupCallables callables;
    ProgramGroupHitgroup hitgroup;
  };
};
static_assert(sizeof(ProgramGroupSingleModule) == 16);
static_assert(sizeof(ProgramGroupHitgroup) == 48);
static_assert(sizeof(ProgramGroupCallables) == 32);
static_assert(sizeof(ProgramGroupDesc) == 56);
static_assert(offsetof(ProgramGroupDesc, raygen) == 8);
static_assert(offsetof(ProgramGroupDesc, hitgroup) == 8);

// The stack each kind of program of a group needs, in bytes: continuation stacks of ray
// generation, miss, closest hit, any hit, intersection and continuation callables, and the
// direct stack of direct callables.
struct StackSizes {
  uint32_t css_rg;
  uint32_t css_ms;
  uint32_t css_ch;
  uint32_t css_ah;
  uint32_t css_is;
  uint32_t css_cc;
  uint32_t dss_dc;
};
static_assert(sizeof(StackSizes) == 28);

struct ProgramGroupOptions {
  const void* payload_type;
};
static_assert(sizeof(ProgramGroupOptions) == 8);

// ---- acceleration structures --------------------------------------------------------------------
struct BuildInputTriangleArray {
  const DevicePtr* vertex_buffers;  // host array of one device pointer per motion key
  uint32_t num_vertices;
  uint32_t vertex_format;
  uint32_t vertex_stride;
  DevicePtr index_buffer;
  uint32_t num_index_triplets;
  uint32_t index_format;
  uint32_t index_stride;
  DevicePtr pre_transform;
  const uint32_t* flags;  // one geometry-flags word per binding-table record
  uint32_t num_sbt_records;
  DevicePtr sbt_index_offset_buffer;
  uint32_t sbt_index_offset_size;
  uint32_t sbt_index_offset_stride;
  uint32_t primitive_index_offset;
  uint32_t transform_format;
  uint64_t opacity_micromap[6];  // unused, zero
};
static_assert(sizeof(BuildInputTriangleArray) == 144);
static_assert(offsetof(BuildInputTriangleArray, num_vertices) == 8);
static_assert(offsetof(BuildInputTriangleArray, vertex_stride) == 16);
static_assert(offsetof(BuildInputTriangleArray, index_buffer) == 24);
static_assert(offsetof(BuildInputTriangleArray, num_index_triplets) == 32);
static_assert(offsetof(BuildInputTriangleArray, index_stride) == 40);
static_assert(offsetof(BuildInputTriangleArray, pre_transform) == 48);
static_assert(offsetof(BuildInputTriangleArray, flags) == 56);
static_assert(offsetof(BuildInputTriangleArray, num_sbt_records) == 64);
static_assert(offsetof(BuildInputTriangleArray, sbt_index_offset_buffer) == 72);
static_assert(offsetof(BuildInputTriangleArray, primitive_index_offset) == 88);
static_assert(offsetof(BuildInputTriangleArray, opacity_micromap) == 96);

struct BuildInputInstanceArray {
  DevicePtr instances;
  uint32_t num_instances;
  uint32_t instance_stride;  // 0: packed records
};
static_assert(sizeof(BuildInputInstanceArray) == 16);

struct BuildInput {
  uint32_t type;
  union {
    BuildInputTriangleArray triangle_array;
    BuildInputInstanceArray instance_array;
    char pad[1024];
  };
};
static_assert(sizeof(BuildInput) == 1032);
static_assert(offsetof(BuildInput, triangle_array) == 8);

struct MotionOptions {
  uint16_t num_keys;
  uint16_t flags;
  float time_begin;
  float time_end;
};
struct AccelBuildOptions {
  uint32_t build_flags;
  uint32_t operation;
  MotionOptions motion_options;
};
static_assert(sizeof(AccelBuildOptions) == 20);
static_assert(offsetof(AccelBuildOptions, motion_options) == 8);

struct AccelBufferSizes {
  size_t output_size;
  size_t temp_size;
  size_t temp_update_size;
};
static_assert(sizeof(AccelBufferSizes) == 24);

struct AccelEmitDesc;  // never passed (null)

// The instance record of an instance build input, 80 bytes, 16-byte aligned on the device.
struct Instance {
  float transform[12];  // row-major 3x4
  uint32_t instance_id;
  uint32_t sbt_offset;
  uint32_t visibility_mask;
  uint32_t flags;
  TraversableHandle traversable;
  uint32_t pad[2];
};
static_assert(sizeof(Instance) == 80);
static_assert(offsetof(Instance, instance_id) == 48);
static_assert(offsetof(Instance, sbt_offset) == 52);
static_assert(offsetof(Instance, visibility_mask) == 56);
static_assert(offsetof(Instance, flags) == 60);
static_assert(offsetof(Instance, traversable) == 64);

struct ShaderBindingTable {
  DevicePtr raygen_record;
  DevicePtr exception_record;
  DevicePtr miss_record_base;
  uint32_t miss_record_stride;
  uint32_t miss_record_count;
  DevicePtr hitgroup_record_base;
  uint32_t hitgroup_record_stride;
  uint32_t hitgroup_record_count;
  DevicePtr callables_record_base;
  uint32_t callables_record_stride;
  uint32_t callables_record_count;
};
static_assert(sizeof(ShaderBindingTable) == 64);
static_assert(offsetof(ShaderBindingTable, miss_record_base) == 16);
static_assert(offsetof(ShaderBindingTable, miss_record_count) == 28);
static_assert(offsetof(ShaderBindingTable, hitgroup_record_base) == 32);
static_assert(offsetof(ShaderBindingTable, hitgroup_record_count) == 44);
static_assert(offsetof(ShaderBindingTable, callables_record_base) == 48);

// ---- the function table -------------------------------------------------------------------------
// Entries we call are typed; the others are kept as untyped slots so the layout stays whole. The
// pipeline compile options are passed as `const void*` because their layout depends on the ABI
// the driver accepted (see compile_options_for_abi in optix_loader.h).
using UnusedEntry = void (*)();

struct FunctionTable {
  const char* (*get_error_name)(Result);                                      // 0
  const char* (*get_error_string)(Result);                                    // 1
  Result (*device_context_create)(CudaContext, const DeviceContextOptions*,   // 2
                                  DeviceContext*);
  Result (*device_context_destroy)(DeviceContext);                            // 3
  UnusedEntry unused_4_11[8];  // context property, log callback, cache settings
  Result (*module_create)(DeviceContext, const ModuleCompileOptions*,         // 12
                          const void* pipeline_compile_options, const char* input,
                          size_t input_size, char* log, size_t* log_size, Module*);
  UnusedEntry unused_13_17[5];  // module tasks, compilation state, cancellation
  Result (*module_destroy)(Module);                                           // 18
  UnusedEntry unused_19_23[5];  // built-in IS module, task execution and serialisation
  Result (*program_group_create)(DeviceContext, const ProgramGroupDesc*,      // 24
                                 unsigned int count, const ProgramGroupOptions*, char* log,
                                 size_t* log_size, ProgramGroup*);
  Result (*program_group_destroy)(ProgramGroup);                              // 25
  Result (*program_group_get_stack_size)(ProgramGroup, StackSizes*, Pipeline);  // 26
  Result (*pipeline_create)(DeviceContext, const void* pipeline_compile_options,  // 27
                            const PipelineLinkOptions*, const ProgramGroup*, unsigned int count,
                            char* log, size_t* log_size, Pipeline*);
  Result (*pipeline_destroy)(Pipeline);                                       // 28
  UnusedEntry unused_29;  // stack size from call depths
  Result (*pipeline_set_stack_size)(Pipeline, unsigned int direct_from_traversal,  // 30
                                    unsigned int direct_from_state, unsigned int continuation,
                                    unsigned int max_traversable_depth);
  UnusedEntry unused_31;  // pipeline symbol copy
  Result (*accel_compute_memory_usage)(DeviceContext, const AccelBuildOptions*,  // 32
                                       const BuildInput*, unsigned int count, AccelBufferSizes*);
  Result (*accel_build)(DeviceContext, Stream, const AccelBuildOptions*,      // 33
                        const BuildInput*, unsigned int count, DevicePtr temp, size_t temp_size,
                        DevicePtr output, size_t output_size, TraversableHandle*,
                        const AccelEmitDesc*, unsigned int num_emitted);
  UnusedEntry unused_34_47[14];  // relocation, compaction, micromaps, clusters
  Result (*sbt_record_pack_header)(ProgramGroup, void* header);               // 48
  Result (*launch)(Pipeline, Stream, DevicePtr params, size_t params_size,    // 49
                   const ShaderBindingTable*, unsigned int width, unsigned int height,
                   unsigned int depth);
  UnusedEntry unused_50_59[10];  // cooperative vectors, denoiser
};
static_assert(sizeof(FunctionTable) == 480, "the ABI 118 table has 60 entries");
static_assert(offsetof(FunctionTable, module_create) == 12 * 8);
static_assert(offsetof(FunctionTable, module_destroy) == 18 * 8);
static_assert(offsetof(FunctionTable, program_group_create) == 24 * 8);
static_assert(offsetof(FunctionTable, program_group_destroy) == 25 * 8);
static_assert(offsetof(FunctionTable, program_group_get_stack_size) == 26 * 8);
static_assert(offsetof(FunctionTable, pipeline_create) == 27 * 8);
static_assert(offsetof(FunctionTable, pipeline_destroy) == 28 * 8);
static_assert(offsetof(FunctionTable, pipeline_set_stack_size) == 30 * 8);
static_assert(offsetof(FunctionTable, accel_compute_memory_usage) == 32 * 8);
static_assert(offsetof(FunctionTable, accel_build) == 33 * 8);
static_assert(offsetof(FunctionTable, sbt_record_pack_header) == 48 * 8);
static_assert(offsetof(FunctionTable, launch) == 49 * 8);

// The ABI 105 table: the same entries up to module creation, then without the cancellation,
// task-serialisation, call-depth and symbol-copy entries, and with two displacement-micromap
// entries where 118 has two reserved slots.
struct FunctionTable105 {
  decltype(FunctionTable::get_error_name) get_error_name;                  // 0
  decltype(FunctionTable::get_error_string) get_error_string;              // 1
  decltype(FunctionTable::device_context_create) device_context_create;    // 2
  decltype(FunctionTable::device_context_destroy) device_context_destroy;  // 3
  UnusedEntry unused_4_11[8];
  decltype(FunctionTable::module_create) module_create;                    // 12
  UnusedEntry unused_13_14[2];  // module tasks, compilation state
  decltype(FunctionTable::module_destroy) module_destroy;                  // 15
  UnusedEntry unused_16_17[2];  // built-in IS module, task execution
  decltype(FunctionTable::program_group_create) program_group_create;      // 18
  decltype(FunctionTable::program_group_destroy) program_group_destroy;    // 19
  decltype(FunctionTable::program_group_get_stack_size) program_group_get_stack_size;  // 20
  decltype(FunctionTable::pipeline_create) pipeline_create;                // 21
  decltype(FunctionTable::pipeline_destroy) pipeline_destroy;              // 22
  decltype(FunctionTable::pipeline_set_stack_size) pipeline_set_stack_size;  // 23
  decltype(FunctionTable::accel_compute_memory_usage) accel_compute_memory_usage;  // 24
  decltype(FunctionTable::accel_build) accel_build;                        // 25
  UnusedEntry unused_26_39[14];
  decltype(FunctionTable::sbt_record_pack_header) sbt_record_pack_header;  // 40
  decltype(FunctionTable::launch) launch;                                  // 41
  UnusedEntry unused_42_51[10];
};
static_assert(sizeof(FunctionTable105) == 416, "the ABI 105 table has 52 entries");
static_assert(offsetof(FunctionTable105, module_create) == 12 * 8);
static_assert(offsetof(FunctionTable105, module_destroy) == 15 * 8);
static_assert(offsetof(FunctionTable105, program_group_create) == 18 * 8);
static_assert(offsetof(FunctionTable105, program_group_get_stack_size) == 20 * 8);
static_assert(offsetof(FunctionTable105, pipeline_create) == 21 * 8);
static_assert(offsetof(FunctionTable105, pipeline_set_stack_size) == 23 * 8);
static_assert(offsetof(FunctionTable105, accel_compute_memory_usage) == 24 * 8);
static_assert(offsetof(FunctionTable105, accel_build) == 25 * 8);
static_assert(offsetof(FunctionTable105, sbt_record_pack_header) == 40 * 8);
static_assert(offsetof(FunctionTable105, launch) == 41 * 8);

// The driver library's one export.
using QueryFunctionTable = Result (*)(int abi, unsigned int num_options, void* option_keys,
                                      const void** option_values, void* table, size_t table_size);

// Copies the entries we use from a 105 table into their 118 places; the rest stay null.
inline FunctionTable adopt_abi105_table(const FunctionTable105& t) {
  FunctionTable out{};
  out.get_error_name = t.get_error_name;
  out.get_error_string = t.get_error_string;
  out.device_context_create = t.device_context_create;
  out.device_context_destroy = t.device_context_destroy;
  out.module_create = t.module_create;
  out.module_destroy = t.module_destroy;
  out.program_group_create = t.program_group_create;
  out.program_group_destroy = t.program_group_destroy;
  out.program_group_get_stack_size = t.program_group_get_stack_size;
  out.pipeline_create = t.pipeline_create;
  out.pipeline_destroy = t.pipeline_destroy;
  out.pipeline_set_stack_size = t.pipeline_set_stack_size;
  out.accel_compute_memory_usage = t.accel_compute_memory_usage;
  out.accel_build = t.accel_build;
  out.sbt_record_pack_header = t.sbt_record_pack_header;
  out.launch = t.launch;
  return out;
}

}  // namespace velm::optix
