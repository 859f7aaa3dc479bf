// OptiX backend without a GPU: the driver-table negotiation through stand-in libraries, the
// error texts, the checkers, the growth rule, the records handed to the driver byte for byte, and
// the device programs' files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <dlfcn.h>

#include <cstdlib>

#include "fake_nvoptix.h"
#include "optix/device_buffer.h"
#include "optix/optix_loader.h"
#include "optix/pipelines.h"
#include "optix/programs.h"
#include "optix/ptx_version.h"
#include "optix/records.h"
#include "optix/table_ledger.h"
#include "optix_test_support.h"

namespace velm::optix {
namespace {

std::string fake(const char* kind) {
  return std::string(VELM_FAKE_NVOPTIX_DIR) + "/libfake_nvoptix_" + kind + ".so";
}

// What an entry of the loaded table returns when called: 9000 + its slot in the driver's table.
int32_t slot_of(const void* entry) {
  return reinterpret_cast<int32_t (*)()>(const_cast<void*>(entry))();
}

// Leaves the process with no table loaded, so the built-in texts apply.
void unload() { load_function_table("/nonexistent/libnvoptix.so.1"); }

// ---- loading and ABI negotiation ---------------------------------------------------------------

TEST(OptixLoader, RefusalsGiveTheCodeToReportAndClearTheTable) {
  const struct {
    std::string library;
    Result code;
    AbiAnswers answers;
  } cases[] = {
      {"/nonexistent/libnvoptix.so.1", kErrorLibraryNotFound, {}},
      {fake("nosymbol"), kErrorEntrySymbolNotFound, {}},
      // refuses 118 and 105: the first answer is the one to report
      {fake("reject"), kErrorUnsupportedAbiVersion, {7801, 7802}},
  };
  for (const auto& [library, code, expected] : cases) {
    load_function_table(fake("accept118").c_str());
    ASSERT_TRUE(table_loaded());
    AbiAnswers answers{1, 1};
    EXPECT_EQ(load_function_table(library.c_str(), &answers), code) << library;
    EXPECT_EQ(answers.abi118, expected.abi118) << library;
    EXPECT_EQ(answers.abi105, expected.abi105) << library;
    EXPECT_FALSE(table_loaded());
    EXPECT_EQ(accepted_abi(), 0);
    EXPECT_EQ(table().get_error_name, nullptr);
    EXPECT_EQ(table().launch, nullptr);
    EXPECT_STREQ(error_name(kErrorInvalidValue), "OPTIX_ERROR_INVALID_VALUE");
  }
}

TEST(OptixLoader, EntriesLandInTheirAbi118Places) {
  const char* names[] = {"context create", "context destroy", "module create", "module destroy",
                         "group create", "group destroy", "group stack size", "pipeline create",
                         "pipeline destroy", "stack size", "accel memory", "accel build",
                         "pack header", "launch"};
  // The slots of those entries in the driver's table, for each ABI it may serve. Whatever the
  // driver's reason for refusing 118, 105 is asked for.
  const struct {
    const char* kind;
    int abi;
    int slots[14];
  } cases[] = {
      {"accept118", 118, {2, 3, 12, 18, 24, 25, 26, 27, 28, 30, 32, 33, 48, 49}},
      {"accept105", 105, {2, 3, 12, 15, 18, 19, 20, 21, 22, 23, 24, 25, 40, 41}},
      {"odd118", 105, {2, 3, 12, 15, 18, 19, 20, 21, 22, 23, 24, 25, 40, 41}},
  };
  const FunctionTable& t = table();
  const auto p = [](auto entry) { return reinterpret_cast<const void*>(entry); };
  for (const auto& c : cases) {
    ASSERT_EQ(load_function_table(fake(c.kind).c_str()), kSuccess) << c.kind;
    EXPECT_EQ(accepted_abi(), c.abi);
    const void* entries[] = {
        p(t.device_context_create), p(t.device_context_destroy), p(t.module_create),
        p(t.module_destroy), p(t.program_group_create), p(t.program_group_destroy),
        p(t.program_group_get_stack_size), p(t.pipeline_create), p(t.pipeline_destroy),
        p(t.pipeline_set_stack_size),
        p(t.accel_compute_memory_usage), p(t.accel_build), p(t.sbt_record_pack_header),
        p(t.launch)};
    for (int i = 0; i < 14; ++i) {
      ASSERT_NE(entries[i], nullptr) << c.kind << " " << names[i];
      EXPECT_EQ(slot_of(entries[i]), 9000 + c.slots[i]) << c.kind << " " << names[i];
    }
    // Once loaded, the driver's own texts are used.
    EXPECT_STREQ(error_name(kErrorInvalidValue), "FAKE_ERROR_NAME");
    EXPECT_STREQ(error_string(kErrorInvalidValue), "fake error text");
    // The compile options go out in the accepted ABI's layout.
    const CompileOptionsForAbi o = pipeline_compile_options(1008);
    EXPECT_EQ(o.get(c.abi), c.abi == 105 ? static_cast<const void*>(&o.v105)
                                         : static_cast<const void*>(&o.v118));
    EXPECT_EQ(o.v118.launch_params_size, 1008u);
    EXPECT_STREQ(o.v105.launch_params_variable_name, "params");
    EXPECT_EQ(o.v105.num_payload_values, 2);
    EXPECT_EQ(o.v105.num_attribute_values, 2);
  }
  unload();
}

TEST(OptixLoader, BuiltinErrorNamesAndTexts) {
  unload();
  const struct {
    Result code;
    const char* name;
    const char* text;
  } cases[] = {
      {0, "OPTIX_SUCCESS", "Success"},
      {7001, "OPTIX_ERROR_INVALID_VALUE", "Invalid value"},
      {7801, "OPTIX_ERROR_UNSUPPORTED_ABI_VERSION", "Unsupported ABI version"},
      {7802, "OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH", "Function table size mismatch"},
      {7803, "OPTIX_ERROR_INVALID_ENTRY_FUNCTION_OPTIONS", "Invalid options to entry function"},
      {7804, "OPTIX_ERROR_LIBRARY_NOT_FOUND", "Library not found"},
      {7805, "OPTIX_ERROR_ENTRY_SYMBOL_NOT_FOUND", "Entry symbol not found"},
      {7806, "OPTIX_ERROR_LIBRARY_UNLOAD_FAILURE", "Library could not be unloaded"},
      {7002, "Unknown OptixResult code", "Unknown OptixResult code"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(error_name(c.code), c.name);
    EXPECT_STREQ(error_string(c.code), c.text);
  }
}

TEST(OptixLoader, InitFailureMessages) {
  const std::pair<Result, std::string> cases[] = {
      {7804, "OPTIX_ERROR_LIBRARY_NOT_FOUND \u2014 libnvoptix.so.1 not found. Reinstall the "
             "NVIDIA display driver (not just CUDA)."},
      {7805, "OPTIX_ERROR_ENTRY_SYMBOL_NOT_FOUND \u2014 driver is too old for the OptiX SDK this "
             "build was compiled against. Update to the latest NVIDIA Studio/Game Ready driver "
             "(R580+)."},
      {7802, "OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH \u2014 driver/SDK ABI mismatch. Update to "
             "the latest NVIDIA driver (R580+)."},
      {7052, "OPTIX_ERROR_CUDA_NOT_INITIALIZED \u2014 CUDA context not ready."},
      {7400, "OPTIX_ERROR_NOT_COMPATIBLE \u2014 driver does not support OptiX. Install/update the "
             "NVIDIA display driver."},
      {7801, "OPTIX_ERROR_UNSUPPORTED_ABI_VERSION \u2014 driver does not support the OptiX 9.1 "
             "ABI. Update to the latest NVIDIA driver (R580+)."},
      {7001, "(unrecognized OptiX init error code)"},
  };
  for (const auto& [code, text] : cases) {
    EXPECT_EQ(init_explanation(code), text);
    EXPECT_EQ(init_failure_message(code),
              "Failed to initialize OptiX (code " + std::to_string(code) + "): " + text);
  }
  // A driver that refuses both ABIs is named with both answers.
  unload();
  const std::string base = init_failure_message(7801);
  EXPECT_EQ(init_failure_message(7801, {7801, 7802}, "NVIDIA driver 570.1, CUDA 12.8"),
            base + " The driver answered ABI 118 with 7801 (OPTIX_ERROR_UNSUPPORTED_ABI_VERSION) "
                   "and ABI 105 with 7802 (OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH); NVIDIA "
                   "driver 570.1, CUDA 12.8.");
  EXPECT_EQ(init_failure_message(7804, {}, "NVIDIA driver 570.1, CUDA 12.8"),
            init_failure_message(7804));
}

TEST(OptixLoader, LogCallbackWritesLevelsOneAndTwoAndWarningsWhenAsked) {
  const unsigned warnings = 3;
  const std::string upto2 = "[OptiX][TAG] level 0\n[OptiX][TAG] level 1\n[OptiX][TAG] level 2\n";
  for (const auto& [data, expected] : {std::pair<const unsigned*, std::string>{nullptr, upto2},
                                       {&warnings, upto2 + "[OptiX][TAG] level 3\n"}}) {
    testing::internal::CaptureStderr();
    for (unsigned level = 0; level <= 4; ++level)
      log_callback(level, "TAG", ("level " + std::to_string(level)).c_str(),
                   const_cast<unsigned*>(data));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
  }
}

TEST(OptixLoader, ValidationSwitch) {
  for (const auto& [value, on] : {std::pair<const char*, bool>{nullptr, false}, {"", false},
                                  {"0", false}, {"1", true}}) {
    if (value) setenv("VELM_OPTIX_VALIDATION", value, 1);
    else unsetenv("VELM_OPTIX_VALIDATION");
    EXPECT_EQ(validation_requested(), on) << (value ? value : "unset");
    EXPECT_EQ(pipeline_compile_options(1008, validation_requested()).v105.exception_flags,
              on ? 7u : 0u);
  }
  unsetenv("VELM_OPTIX_VALIDATION");
}

TEST(OptixCheckers, Messages) {
  EXPECT_NO_THROW(check(kSuccess, "gas build"));
  EXPECT_NO_THROW(check_cuda(0, "mesh verts"));
  unload();
  EXPECT_EQ(message_of<std::runtime_error>([] { check(7001, "gas build"); }),
            "OptiX: gas build (7001 OPTIX_ERROR_INVALID_VALUE)");
  EXPECT_EQ(message_of<std::runtime_error>([] { check(7001, "pipeline", "bad link\n"); }),
            "OptiX: pipeline (7001 OPTIX_ERROR_INVALID_VALUE): bad link");
  EXPECT_EQ(cuda_error_string(2), "out of memory");  // cudaErrorMemoryAllocation
  EXPECT_EQ(message_of<std::runtime_error>([] { check_cuda(2, "mesh verts"); }),
            "CUDA: mesh verts - out of memory");
}

TEST(OptixBuffers, GrowthRule) {
  const size_t cases[][3] = {
      // capacity, need, new capacity
      {0, 0, 0}, {0, 100, 100}, {100, 0, 100}, {100, 100, 100}, {100, 50, 100},
      {100, 101, 150}, {100, 400, 400}, {1, 2, 2}, {3, 4, 4},
  };
  for (const auto& c : cases) EXPECT_EQ(grown_capacity(c[0], c[1]), c[2]) << c[0] << "," << c[1];
}

// ---- records, byte for byte ---------------------------------------------------------------------

void describe(SceneDescription& d) {
  HostMesh tri;
  tri.vertices = {{0, 0, 0}, {2, 0, 0}, {0, 2, 0}};
  tri.triangles = {{0, 1, 2}};
  HostMesh quad;
  quad.vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 1}, {0, 1, 1}};
  quad.triangles = {{0, 1, 2}, {0, 2, 3}};
  quad.material_id = 7;
  d.add_mesh(tri);
  d.add_mesh(quad);
  d.add_instance(1, 10, 0, 0, 2);
  d.add_instance(0, 0, 0, 5, 1);
  d.add_instance(1, 0, 0, 0, 1);
  d.set_num_bands(3);
  d.add_material(0, 4, {0.5f});
  d.add_material(13, 8, {});
  d.set_sky(12);
  d.set_hw_sky(20, 0.1f, 0.2f, 0.9f);
  d.set_measurement_plane(1.5f);
  d.set_sensor(1, 64, 32, 3.f, 4.f, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, 90.f,
               2, true);
  d.set_thermal_mode(true, {10.f, 11.f, 12.f});
  d.set_sif_only_mode(true);
}

// In member order: IAS, materials, spectral parameters, emitter, thermal wavelengths, 2 meshes,
// 5 primitives, temperatures, instance prefix, emissivities, SIF spectra, instance mesh ids,
// instance transforms, mesh triangle counts, 3 lookup instances, 2 largest mesh triangles, mesh
// vertex and index pointers.
const SceneDeviceState kDevice{0x1111, 0x2222, 0x3333, 0x4444, 0x5555, 2, 5, 0x6666, 0x7777,
                               0x8888, 0x9999, 0xaaaa, 0xbbbb, 0xcccc, 3, 2, 0xdddd, 0xeeee};

TEST(OptixRecords, LaunchSceneBlockFollowsItsTable) {
  SceneDescription d(Flavor::OptiX);
  describe(d);
  const SceneBounds b = d.compute_bounds();
  for (int repetitions : {0, 2}) {
    SCOPED_TRACE(repetitions);
    d.set_repetitive(repetitions, 30.f, 40.f);
    const bool tile = repetitions > 0;  // the domain is the tile's, at the scene's heights
    expect_bytes(make_launch_scene_block(d, b, kDevice),
                 {{0, u64{0x1111}}, {8, u64{0x2222}}, {16, 2u}, {24, u64{0x3333}},
                  {32, u64{0x4444}}, {40, 1u}, {44, d.sensor()}, {184, 3},
                  {216, f3{tile ? 0.f : b.lo[0], tile ? 0.f : b.lo[1], b.lo[2]}},
                  {228, f3{tile ? 30.f : b.hi[0], tile ? 40.f : b.hi[1], b.hi[2]}},
                  {240, 12}, {244, 20}, {248, f3{0.1f, 0.2f, 0.9f}}, {260, repetitions},
                  {264, f2{30.f, 40.f}}, {280, 2u}, {284, u8{1}}, {288, u64{0x5555}},
                  {296, u8{1}}, {300, 1.5f}, {352, 5u}, {360, u64{0x6666}}, {368, u64{0x7777}},
                  {376, u64{0x8888}}, {384, u64{0x9999}}, {392, 0}, {396, u8{1}},
                  {400, u64{0xaaaa}}, {408, u64{0xbbbb}}, {416, u64{0xcccc}}, {424, 3u},
                  {428, 2u}, {432, u64{0xdddd}}, {440, u64{0xeeee}}});
  }
  // The sensor block holds the field of view in radians and the caller's matrix in order.
  EXPECT_FLOAT_EQ(d.sensor().fov, 90.f * 3.1415927f / 180.f);
  EXPECT_EQ(d.sensor().camera_to_world[15], 16.f);
}

TEST(OptixRecords, InstanceRecords) {
  SceneDescription d(Flavor::OptiX);
  describe(d);
  const std::vector<Instance> records = make_instance_records(d.instances(), {0xa0, 0xb0});
  ASSERT_EQ(records.size(), 3u);
  for (uint32_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    const InstanceRecord& src = d.instances()[i];
    expect_bytes(records[i], {{0, src.transform}, {48, i}, {52, uint32_t{2 * src.mesh_id}},
                              {56, 255u}, {64, u64{src.mesh_id == 0 ? 0xa0u : 0xb0u}}});
  }
  EXPECT_THROW(make_instance_records(d.instances(), {0xa0}), std::logic_error);
}

SbtHeader header_of(uint8_t fill) {
  SbtHeader h;
  std::memset(h.bytes, fill, sizeof h.bytes);
  return h;
}

TEST(OptixRecords, BindingTableRecords) {
  const SbtHeader h = header_of(0x5a);
  static_assert(sizeof(RaygenRecord) == 48 && sizeof(MissRecord) == 48);
  expect_bytes(make_raygen_record(h), {{0, h}});
  expect_bytes(make_miss_record(h), {{0, h}});
  expect_bytes(make_microwave_miss_record(h), {{0, h}, {32, f3{2.725f, 2.725f, 2.725f}}});

  const SbtHeader radiance = header_of(0x11), shadow = header_of(0x22);
  const std::vector<MeshHitData> meshes = {make_mesh_hit_data(0x100, 0, 0x300, 4),
                                           make_mesh_hit_data(0x400, 0x500, 0x600, 9)};
  const auto hits = make_hit_records(radiance, shadow, meshes, 0);
  ASSERT_EQ(hits.size(), 4u);
  for (size_t r = 0; r < hits.size(); ++r) {
    SCOPED_TRACE(r);
    const MeshHitData& m = meshes[r / 2];
    expect_bytes(hits[r], {{0, r % 2 ? shadow : radiance}, {32, m.vertices}, {40, m.normals},
                           {56, m.indices}, {64, m.material_id}});
  }
  // Tables that need at least one pair get header-only records when there is no mesh.
  EXPECT_TRUE(make_hit_records(radiance, shadow, {}, 0).empty());
  const auto padded = make_hit_records(radiance, radiance, {}, 1);
  ASSERT_EQ(padded.size(), 2u);
  for (const HitgroupRecord& rec : padded) expect_bytes(rec, {{0, radiance}});
  EXPECT_EQ(make_hit_records(radiance, shadow, meshes, 1).size(), 4u);
}

TEST(OptixRecords, PerPrimitiveTables) {
  SceneDescription d(Flavor::OptiX);
  describe(d);
  const std::vector<uint64_t> sums = d.primitive_prefix_sums();
  const std::vector<uint32_t> prefix(sums.begin(), sums.end());
  // Instance 0: the quad scaled by 2 (two triangles of 2 * sqrt(2) m^2 each); instance 1: the
  // triangle (2 m^2); instance 2: the quad unscaled (sqrt(2) / 2 each).
  const std::vector<float> areas = primitive_areas(d, prefix);
  const float expected[] = {2.f * std::sqrt(2.f), 2.f * std::sqrt(2.f), 2.f,
                            std::sqrt(2.f) / 2.f, std::sqrt(2.f) / 2.f};
  ASSERT_EQ(areas.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_NEAR(areas[i], expected[i], 1e-5f) << i;
  EXPECT_EQ(primitive_material_ids(d, prefix), (std::vector<int32_t>{7, 7, 0, 7, 7}));
  EXPECT_TRUE(primitive_areas(d, {}).empty());
  EXPECT_TRUE(primitive_material_ids(d, {}).empty());
}

// ---- device programs ---------------------------------------------------------------------------

TEST(OptixPrograms, EveryModuleHoldsItsEntryPointsAndParametersAndNoSharedFunctions) {
  for (const ProgramModule& m : kProgramModules) {
    const std::string ptx = read_ptx(VELM_PTX_DIR, m.name);
    for (const char* entry : m.entries)
      if (entry) {
        EXPECT_NE(ptx.find(std::string(".visible .entry ") + entry + "()"), std::string::npos)
            << m.name << ": " << entry;
      }
    const bool microwave = std::strstr(m.name, "_mw") || std::strstr(m.name, "passive") ||
                           std::strstr(m.name, "active");
    const std::string params = std::string(".visible .const .align 8 .b8 params[") +
                               (microwave ? "280" : "1008") + "]";
    EXPECT_NE(ptx.find(params), std::string::npos) << m.name;
    // Helpers are inlined: device functions of their own would be symbols shared by the modules
    // of a pipeline.
    EXPECT_EQ(ptx.find(".func"), std::string::npos) << m.name;
  }
}

TEST(OptixPrograms, MissingFileIsNamedWithItsPath) {
  EXPECT_EQ(ptx_path("/some/dir", "miss"), "/some/dir/miss.ptx");
  EXPECT_EQ(message_of<std::runtime_error>([] { read_ptx("/nonexistent/ptx", "miss"); }),
            "Cannot open PTX: /nonexistent/ptx/miss.ptx");
}


TEST(OptixPrograms, PtxIsaAgainstTheDriversCudaVersion) {
  // The newest ISA a driver compiles, by its CUDA version (the PTX ISA release history).
  const std::pair<int, const char*> limits[] = {
      {11080, "7.8"}, {12000, "8.0"}, {12040, "8.4"}, {12060, "8.5"}, {12070, "8.6"},
      {12080, "8.7"}, {12090, "8.8"}, {13000, "9.0"}, {13010, "9.1"}};
  for (const auto& [cuda, isa] : limits) EXPECT_EQ(newest_isa_of_driver(cuda).str(), isa) << cuda;
  EXPECT_FALSE(newest_isa_of_driver(0).known());      // no driver: left to the driver
  EXPECT_FALSE(newest_isa_of_driver(99000).known());  // newer than we know: no limit

  // The files of this build carry the ISA of the nvcc that wrote them, which is recorded.
  const std::string nvcc = recorded_nvcc_version(VELM_PTX_DIR);
  ASSERT_FALSE(nvcc.empty());
  const int nvcc_cuda = 1000 * std::stoi(nvcc) + 10 * std::stoi(nvcc.substr(nvcc.find('.') + 1));
  for (const ProgramModule& m : kProgramModules) {
    const std::string ptx = read_ptx(VELM_PTX_DIR, m.name);
    const PtxIsa isa = ptx_isa_of(ptx);
    EXPECT_EQ(isa.str(), newest_isa_of_driver(nvcc_cuda).str()) << m.name;
    EXPECT_NO_THROW(check_ptx_for_driver(m.name, ptx, nvcc_cuda, nvcc));
  }
  EXPECT_FALSE(ptx_isa_of("this is not PTX\n").known());
  EXPECT_NO_THROW(check_ptx_for_driver("x.ptx", "this is not PTX\n", 12080, ""));

  const std::string newer =
      "//\n// Generated by NVIDIA NVVM Compiler\n//\n\n.version 9.1\n.target sm_75\n";
  EXPECT_EQ(message_of<std::runtime_error>(
                [&] { check_ptx_for_driver("/p/miss.ptx", newer, 13000, "13.1.80"); }),
            "The device programs are PTX ISA 9.1 (/p/miss.ptx, written by nvcc 13.1.80), which "
            "the NVIDIA driver cannot compile: the driver supports CUDA 13.0, whose newest PTX ISA "
            "is 9.0 (ISA 9.1 needs CUDA 13.1). Build the PTX with a CUDA toolkit no newer than "
            "the driver (CUDA 13.0), or update the driver.");
  EXPECT_NO_THROW(check_ptx_for_driver("/p/miss.ptx", newer, 13010, "13.1.80"));
}

// ---- pipelines against the recording stand-in driver -------------------------------------------

TEST(OptixPipelines, StackFromTheProgramsAndTraceDepth) {
  StackSizes programs{};
  accumulate_stack_sizes(programs, {100, 0, 40, 0, 0, 0, 0});
  accumulate_stack_sizes(programs, {60, 30, 0, 8, 16, 0, 0});
  const struct {
    unsigned trace_depth;
    uint32_t continuation;  // rg + (depth - 1) max(ch, ms) + max(ch, ms, is + ah)
  } cases[] = {{0, 100}, {1, 100 + 40}, {2, 100 + 40 + 40}, {3, 100 + 80 + 40}};
  for (const auto& c : cases) {
    const PipelineStack s = pipeline_stack(programs, c.trace_depth);
    EXPECT_EQ(s.continuation, c.continuation) << c.trace_depth;
    EXPECT_EQ(s.direct_from_traversal + s.direct_from_state, 0u);
    EXPECT_EQ(s.traversable_depth, 2u);
  }
  // An intersection and any-hit frame larger than closest hit and miss sizes the last level.
  EXPECT_EQ(pipeline_stack({100, 10, 20, 30, 40, 0, 0}, 2).continuation, 100u + 20 + 70);
}

struct FakePrograms {
  FakeRecord* record = nullptr;
  FakePrograms() {
    const std::string path = fake("programs");
    EXPECT_EQ(load_function_table(path.c_str()), kSuccess);
    void* handle = dlopen(path.c_str(), RTLD_NOW);
    record = reinterpret_cast<FakeRecordFn>(dlsym(handle, "fake_nvoptix_record"))();
    *record = FakeRecord{};
  }
  ~FakePrograms() { unload(); }
};

TEST(OptixPipelines, EveryPipelineIsToldTheSceneDepthAndSizedFromItsPrograms) {
  FakePrograms fake;
  for (const bool validation : {false, true}) {
    SCOPED_TRACE(validation);
    *fake.record = FakeRecord{};
    testing::internal::CaptureStderr();
    {
      PipelineSet set(nullptr, VELM_PTX_DIR, 13000, validation);
      for (PipelineId id : {kEnergyBalanceMultiband, kActiveMicrowave}) set.ensure(id);
      set.ensure_lidar();
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(validation, err.find("[OptiX][pipeline_eb] stack: continuation 576 bytes") !=
                              std::string::npos) << err;
    // The fake gives each program 16 bytes of stack per character of its entry point's name.
    const struct {
      const char* pipeline;
      uint32_t groups, trace_depth, continuation;
    } expected[] = {
        {"main", 7, 2, 288 + 352 + 352},  // __raygen__backward, __closesthit__radiance
        {"energy balance", 3, 1, 256 + 320},  // __raygen__eb_rrt, __closesthit__eb_rrt
        {"energy balance multiband", 3, 1, 416 + 320},  // __raygen__eb_rrt_multiband
        {"passive microwave", 3, 2, 320 + 400 + 400},   // __closesthit__mw_radiance
        {"active microwave", 3, 2, 304 + 400 + 400},    // __raygen__active_mw
        {"main with LiDAR", 8, 2, 288 + 352 + 352},
    };
    ASSERT_EQ(fake.record->pipelines, 6);
    for (int i = 0; i < 6; ++i) {
      const FakePipelineCall& c = fake.record->pipeline[i];
      SCOPED_TRACE(expected[i].pipeline);
      EXPECT_EQ(c.groups, expected[i].groups);
      EXPECT_EQ(c.max_trace_depth, expected[i].trace_depth);
      EXPECT_EQ(c.exception_flags, validation ? 7u : 0u);
      EXPECT_EQ(c.stack[0] + c.stack[1], 0u);
      EXPECT_EQ(c.stack[2], expected[i].continuation);
      EXPECT_EQ(c.stack[3], kTraversableGraphDepth);
    }
  }
}

TEST(OptixPipelines, FailuresCarryTheResultNameAndTheDriversLog) {
  FakePrograms fake;
  const struct {
    int slot;
    PipelineId pipeline;
    const char* message;
  } cases[] = {
      {12, kMain, "Module create failed: raygen_backward (7200 FAKE_ERROR_NAME): bad ptx line 3"},
      {24, kMain, "OptiX: __raygen__backward (7200 FAKE_ERROR_NAME): bad ptx line 3"},
      {27, kEnergyBalance, "OptiX: pipeline_eb (7200 FAKE_ERROR_NAME): bad ptx line 3"},
      {30, kPassiveMicrowave, "OptiX: stack_mw (7200 FAKE_ERROR_NAME)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.slot);
    PipelineSet set(nullptr, VELM_PTX_DIR, 13000, false);
    if (c.pipeline != kMain) set.ensure(kMain);
    *fake.record = FakeRecord{c.slot, 7200, "bad ptx line 3\n"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(message_of<std::runtime_error>([&] { set.ensure(c.pipeline); }), c.message);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.slot == 30, set.logs().empty());  // the stack call leaves no log
    EXPECT_FALSE(set.ready(c.pipeline));
    set.ensure(c.pipeline);  // tried again at the next call
    EXPECT_TRUE(set.ready(c.pipeline));
  }
}

TEST(OptixPipelines, PtxTooNewForTheDriverIsRefusedBeforeAnyModule) {
  FakePrograms fake;
  PipelineSet set(nullptr, VELM_PTX_DIR, 12080, false);
  const std::string m = message_of<std::runtime_error>([&] { set.ensure(kMain); });
  EXPECT_NE(m.find("the driver supports CUDA 12.8, whose newest PTX ISA is 8.7"), std::string::npos)
      << m;
  EXPECT_NE(m.find("written by nvcc " + recorded_nvcc_version(VELM_PTX_DIR)), std::string::npos)
      << m;
  EXPECT_EQ(fake.record->modules, 0);
}

// ---- which scene each binding table holds ------------------------------------------------------

TEST(OptixTableLedger, BorrowersGoStaleWithTheirLender) {
  enum { kBackward, kLidar, kForward, kCount };
  const uint64_t a = 11, b = 12, a_rebuilt = 13;
  TableLedger<kCount> ledger({TableLedger<kCount>::kNone, kBackward, kBackward});
  auto built = [&](int t, uint64_t scene) {
    ledger.built(t, scene);
    return ledger.current(t, scene);
  };
  // simulate_lidar(A), simulate(B), simulate_lidar(A): the LiDAR table of A borrowed backward
  // records that B's launch freed.
  ASSERT_TRUE(built(kBackward, a));
  ASSERT_TRUE(built(kLidar, a));
  ASSERT_TRUE(built(kBackward, b));
  EXPECT_FALSE(ledger.current(kLidar, a));
  EXPECT_FALSE(ledger.current(kBackward, a));
  EXPECT_THROW(ledger.require(kLidar, a, "lidar_launch"), std::logic_error);
  // Rebuilt for A, the backward table is lent again; rebuilding it for A itself also invalidates
  // what was borrowed before.
  ASSERT_TRUE(built(kBackward, a));
  ASSERT_TRUE(built(kLidar, a));
  ASSERT_TRUE(built(kForward, a));
  ledger.forget(kBackward);
  EXPECT_FALSE(ledger.current(kForward, a));
  ASSERT_TRUE(built(kBackward, a));
  EXPECT_FALSE(ledger.current(kLidar, a));
  // A scene freed and built again (or another at its address) has a new geometry id.
  ASSERT_TRUE(built(kLidar, a));
  EXPECT_FALSE(ledger.current(kLidar, a_rebuilt));
  EXPECT_EQ(message_of<std::logic_error>(
                [&] { ledger.require(kLidar, a_rebuilt, "lidar_launch"); }),
            "lidar_launch: the binding table was not built for this scene");
}

}  // namespace
}  // namespace velm::optix
