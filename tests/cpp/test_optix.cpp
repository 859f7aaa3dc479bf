// OptiX backend without a GPU: the driver-table negotiation through stand-in libraries, the
// error texts, the checkers, the growth rule, and the records handed to the driver and the device
// programs, byte for byte.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "optix/context.h"
#include "optix/device_buffer.h"
#include "optix/optix_loader.h"
#include "optix/programs.h"
#include "optix/records.h"
#include "byte_table.h"

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
  const std::pair<std::string, Result> cases[] = {
      {"/nonexistent/libnvoptix.so.1", kErrorLibraryNotFound},
      {fake("nosymbol"), kErrorEntrySymbolNotFound},
      {fake("reject"), kErrorUnsupportedAbiVersion},  // refuses 118 and 105: the first answer
  };
  for (const auto& [library, code] : cases) {
    load_function_table(fake("accept118").c_str());
    ASSERT_TRUE(table_loaded());
    EXPECT_EQ(load_function_table(library.c_str()), code) << library;
    EXPECT_FALSE(table_loaded());
    EXPECT_EQ(accepted_abi(), 0);
    EXPECT_EQ(table().get_error_name, nullptr);
    EXPECT_EQ(table().launch, nullptr);
    EXPECT_STREQ(error_name(kErrorInvalidValue), "OPTIX_ERROR_INVALID_VALUE");
  }
}

TEST(OptixLoader, EntriesLandInTheirAbi118Places) {
  // Slots of (get_error_name .. launch) in the driver's table, for each ABI it may serve.
  struct Case {
    const char* kind;
    int abi;
    std::map<const char*, int> slots;
  };
  const FunctionTable& t = table();
  const Case cases[] = {
      {"accept118", 118, {{"context create", 2}, {"context destroy", 3}, {"module create", 12},
                          {"module destroy", 18}, {"group create", 24}, {"group destroy", 25},
                          {"pipeline create", 27}, {"pipeline destroy", 28}, {"stack size", 30},
                          {"accel memory", 32}, {"accel build", 33}, {"pack header", 48},
                          {"launch", 49}}},
      {"accept105", 105, {{"context create", 2}, {"context destroy", 3}, {"module create", 12},
                          {"module destroy", 15}, {"group create", 18}, {"group destroy", 19},
                          {"pipeline create", 21}, {"pipeline destroy", 22}, {"stack size", 23},
                          {"accel memory", 24}, {"accel build", 25}, {"pack header", 40},
                          {"launch", 41}}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(load_function_table(fake(c.kind).c_str()), kSuccess) << c.kind;
    EXPECT_EQ(accepted_abi(), c.abi);
    const std::map<std::string, const void*> entries = {
        {"context create", reinterpret_cast<const void*>(t.device_context_create)},
        {"context destroy", reinterpret_cast<const void*>(t.device_context_destroy)},
        {"module create", reinterpret_cast<const void*>(t.module_create)},
        {"module destroy", reinterpret_cast<const void*>(t.module_destroy)},
        {"group create", reinterpret_cast<const void*>(t.program_group_create)},
        {"group destroy", reinterpret_cast<const void*>(t.program_group_destroy)},
        {"pipeline create", reinterpret_cast<const void*>(t.pipeline_create)},
        {"pipeline destroy", reinterpret_cast<const void*>(t.pipeline_destroy)},
        {"stack size", reinterpret_cast<const void*>(t.pipeline_set_stack_size)},
        {"accel memory", reinterpret_cast<const void*>(t.accel_compute_memory_usage)},
        {"accel build", reinterpret_cast<const void*>(t.accel_build)},
        {"pack header", reinterpret_cast<const void*>(t.sbt_record_pack_header)},
        {"launch", reinterpret_cast<const void*>(t.launch)},
    };
    for (const auto& [name, slot] : c.slots) {
      ASSERT_NE(entries.at(name), nullptr) << c.kind << " " << name;
      EXPECT_EQ(slot_of(entries.at(name)), 9000 + slot) << c.kind << " " << name;
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
}

TEST(OptixLoader, LogCallbackWritesLevelsOneAndTwo) {
  testing::internal::CaptureStderr();
  for (unsigned level = 0; level <= 4; ++level)
    log_callback(level, "TAG", ("level " + std::to_string(level)).c_str(), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[OptiX][TAG] level 0\n[OptiX][TAG] level 1\n[OptiX][TAG] level 2\n");
}

TEST(OptixCheckers, Messages) {
  EXPECT_NO_THROW(check(kSuccess, "gas build"));
  try {
    check(7001, "gas build");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "OptiX: gas build (7001)");
  }
  EXPECT_NO_THROW(check_cuda(0, "mesh verts"));
  try {
    check_cuda(2, "mesh verts");  // cudaErrorMemoryAllocation
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "CUDA: mesh verts - " + cuda_error_string(2));
    EXPECT_EQ(cuda_error_string(2), "out of memory");
  }
}

TEST(OptixContext, WithoutADriverTheDeviceCannotBeSet) {
  for (int device : {0, 3}) {
    try {
      OptiXContext ctx(device);
      GTEST_SKIP() << "a CUDA device is present";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Failed to set CUDA device: ", 0), 0u) << e.what();
    }
  }
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

SceneDeviceState device_state() {
  SceneDeviceState g;
  g.ias = 0x1111;
  g.materials = 0x2222;
  g.spectral_params = 0x3333;
  g.emitter = 0x4444;
  g.thermal_wavelengths = 0x5555;
  g.num_meshes = 2;
  g.n_primitives = 5;
  g.temperatures = 0x6666;
  g.instance_prefix = 0x7777;
  g.emissivities = 0x8888;
  g.sif_spectra = 0x9999;
  g.instance_mesh_ids = 0xaaaa;
  g.instance_transforms = 0xbbbb;
  g.mesh_triangle_counts = 0xcccc;
  g.lookup_instances = 3;
  g.max_mesh_triangles = 2;
  g.mesh_vertex_pointers = 0xdddd;
  g.mesh_index_pointers = 0xeeee;
  return g;
}

TEST(OptixRecords, LaunchSceneBlockFollowsItsTable) {
  SceneDescription d(Flavor::OptiX);
  describe(d);
  const SceneBounds bounds = d.compute_bounds();
  for (int repetitions : {0, 2}) {
    SceneDescription r(Flavor::OptiX);
    describe(r);
    r.set_repetitive(repetitions, 30.f, 40.f);
    ByteTable t(bytes_of(make_launch_scene_block(r, bounds, device_state())));
    t.field(0, uint64_t{0x1111});
    t.field(8, uint64_t{0x2222});
    t.field(16, uint32_t{2});
    t.field(24, uint64_t{0x3333});
    t.field(32, uint64_t{0x4444});
    t.field(40, uint32_t{1});
    t.field(44, r.sensor());
    t.field(184, int32_t{3});
    const float lo[3] = {repetitions ? 0.f : bounds.lo[0], repetitions ? 0.f : bounds.lo[1],
                         bounds.lo[2]};
    const float hi[3] = {repetitions ? 30.f : bounds.hi[0], repetitions ? 40.f : bounds.hi[1],
                         bounds.hi[2]};
    t.field(216, lo);
    t.field(228, hi);
    t.field(240, int32_t{12});
    t.field(244, int32_t{20});
    const float sun[3] = {0.1f, 0.2f, 0.9f};
    t.field(248, sun);
    t.field(260, int32_t{repetitions});
    const float size[2] = {30.f, 40.f};
    t.field(264, size);
    t.field(280, uint32_t{2});
    t.field(284, uint8_t{1});
    t.field(288, uint64_t{0x5555});
    t.field(296, uint8_t{1});
    t.field(300, 1.5f);
    t.field(352, uint32_t{5});
    t.field(360, uint64_t{0x6666});
    t.field(368, uint64_t{0x7777});
    t.field(376, uint64_t{0x8888});
    t.field(384, uint64_t{0x9999});
    t.field(392, int32_t{0});
    t.field(396, uint8_t{1});
    t.field(400, uint64_t{0xaaaa});
    t.field(408, uint64_t{0xbbbb});
    t.field(416, uint64_t{0xcccc});
    t.field(424, uint32_t{3});
    t.field(428, uint32_t{2});
    t.field(432, uint64_t{0xdddd});
    t.field(440, uint64_t{0xeeee});
    t.rest_zero();
  }
  // The sensor block holds the field of view in radians and the caller's matrix in order.
  const SensorBlock& s = d.sensor();
  EXPECT_FLOAT_EQ(s.fov, 90.f * 3.1415927f / 180.f);
  EXPECT_EQ(s.camera_to_world[15], 16.f);
}

TEST(OptixRecords, InstanceRecords) {
  SceneDescription d(Flavor::OptiX);
  describe(d);
  const std::vector<Instance> records = make_instance_records(d.instances(), {0xa0, 0xb0});
  ASSERT_EQ(records.size(), 3u);
  for (size_t i = 0; i < records.size(); ++i) {
    const InstanceRecord& src = d.instances()[i];
    ByteTable t(bytes_of(records[i]));
    t.field(0, src.transform);
    t.field(48, static_cast<uint32_t>(i));
    t.field(52, uint32_t{2 * src.mesh_id});
    t.field(56, uint32_t{255});
    t.field(64, uint64_t{src.mesh_id == 0 ? 0xa0u : 0xb0u});
    t.rest_zero();
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
  for (const std::vector<uint8_t>& b :
       {bytes_of(make_raygen_record(h)), bytes_of(make_miss_record(h))}) {
    ASSERT_EQ(b.size(), 48u);
    ByteTable t(b);
    t.field(0, h);
    t.rest_zero();
  }
  ByteTable mw(bytes_of(make_microwave_miss_record(h)));
  mw.field(0, h);
  const float background[3] = {2.725f, 2.725f, 2.725f};
  mw.field(32, background);
  mw.rest_zero();

  const SbtHeader radiance = header_of(0x11), shadow = header_of(0x22);
  const std::vector<MeshHitData> meshes = {make_mesh_hit_data(0x100, 0, 0x300, 4),
                                           make_mesh_hit_data(0x400, 0x500, 0x600, 9)};
  const auto hits = make_hit_records(radiance, shadow, meshes, 0);
  ASSERT_EQ(hits.size(), 4u);
  for (size_t r = 0; r < hits.size(); ++r) {
    const MeshHitData& m = meshes[r / 2];
    ByteTable t(bytes_of(hits[r]));
    t.field(0, r % 2 ? shadow : radiance);
    t.field(32, m.vertices);
    t.field(40, m.normals);
    t.field(56, m.indices);
    t.field(64, m.material_id);
    t.rest_zero();
  }
  // Tables that need at least one pair get header-only records when there is no mesh.
  EXPECT_TRUE(make_hit_records(radiance, shadow, {}, 0).empty());
  const auto padded = make_hit_records(radiance, radiance, {}, 1);
  ASSERT_EQ(padded.size(), 2u);
  for (const HitgroupRecord& rec : padded) {
    ByteTable t(bytes_of(rec));
    t.field(0, radiance);
    t.rest_zero();
  }
  EXPECT_EQ(make_hit_records(radiance, shadow, meshes, 1).size(), 4u);
}

TEST(OptixRecords, PerPrimitiveTables) {
  SceneDescription d(Flavor::OptiX);
  describe(d);
  const std::vector<uint32_t> prefix = d.primitive_prefix_sums();
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

TEST(OptixPrograms, EveryModuleHoldsItsEntryPointsAndParameters) {
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
  }
}

TEST(OptixPrograms, MissingFileIsNamedWithItsPath) {
  EXPECT_EQ(ptx_path("/some/dir", "miss"), "/some/dir/miss.ptx");
  try {
    read_ptx("/nonexistent/ptx", "miss");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot open PTX: /nonexistent/ptx/miss.ptx");
  }
}

}  // namespace
}  // namespace velm::optix
