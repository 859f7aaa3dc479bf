#include "optix/simulator.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "optix/programs.h"
#include "optix/records.h"

namespace velm {

namespace optix {

std::string ptx_path(const std::string& directory, const char* module) {
  return directory + "/" + module + ".ptx";
}

std::string read_ptx(const std::string& directory, const char* module) {
  const std::string path = ptx_path(directory, module);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot open PTX: " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace optix

namespace {
constexpr unsigned kContinuationStack = 4096;
constexpr size_t kLogSize = 4096;
}  // namespace

Simulator::Simulator(std::shared_ptr<OptiXContext> context, std::string ptx_dir)
    : context_(std::move(context)),
      ptx_dir_(std::move(ptx_dir)),
      optical_options_(optix::pipeline_compile_options(sizeof(optix::LaunchParams))),
      microwave_options_(optix::pipeline_compile_options(sizeof(optix::MicrowaveLaunchParams))),
      module_options_(optix::module_compile_options()) {
  if (!context_) throw std::invalid_argument("Simulator needs an OptiXContext");
}

Simulator::~Simulator() {
  // The launch buffers (members) free themselves after this body, on this context's device.
  optix::select_device_quietly(context_->device_id());
  const optix::FunctionTable& ox = optix::table();
  for (optix::Pipeline& p : pipelines_)
    if (p != nullptr) ox.pipeline_destroy(p);
  for (auto it = group_order_.rbegin(); it != group_order_.rend(); ++it)
    ox.program_group_destroy(groups_[*it]);
  for (auto it = module_order_.rbegin(); it != module_order_.rend(); ++it)
    ox.module_destroy(modules_[*it]);
}

// ---- modules, groups, pipelines -----------------------------------------------------------------

const void* Simulator::compile_options(bool microwave) const {
  return (microwave ? microwave_options_ : optical_options_).get(optix::accepted_abi());
}

namespace {
bool is_microwave_module(const std::string& name) {
  return name == "raygen_passive" || name == "raygen_active" || name == "miss_mw" ||
         name == "closesthit_mw";
}
}  // namespace

optix::Module Simulator::module(const char* name) {
  auto found = modules_.find(name);
  if (found != modules_.end()) return found->second;
  const std::string ptx = optix::read_ptx(ptx_dir_, name);
  char log[kLogSize];
  size_t log_size = sizeof log;
  optix::Module m = nullptr;
  const optix::Result r = optix::table().module_create(
      context_->device_context(), &module_options_, compile_options(is_microwave_module(name)),
      ptx.c_str(), ptx.size(), log, &log_size, &m);
  if (r != optix::kSuccess) {
    std::fprintf(stderr, "[Module %s] %s\n", name, log);
    std::fflush(stderr);
    throw std::runtime_error(std::string("Module create failed: ") + name);
  }
  modules_[name] = m;
  module_order_.push_back(name);
  return m;
}

optix::ProgramGroup Simulator::group(const char* label, uint32_t kind, const char* module_name,
                                     const char* entry) {
  auto found = groups_.find(label);
  if (found != groups_.end()) return found->second;
  optix::ProgramGroupDesc desc;
  std::memset(&desc, 0, sizeof desc);
  desc.kind = kind;
  if (kind == optix::kProgramGroupKindHitgroup) {
    desc.hitgroup.module_ch = module(module_name);
    desc.hitgroup.entry_function_name_ch = entry;
  } else {
    desc.raygen.module = module(module_name);  // raygen and miss share one layout
    desc.raygen.entry_function_name = entry;
  }
  optix::ProgramGroupOptions options{};
  char log[kLogSize];
  size_t log_size = sizeof log;
  optix::ProgramGroup g = nullptr;
  optix::check(optix::table().program_group_create(context_->device_context(), &desc, 1, &options,
                                                   log, &log_size, &g),
               label);
  groups_[label] = g;
  group_order_.push_back(label);
  return g;
}

optix::ProgramGroup Simulator::raygen_group(const char* label, const char* m, const char* e) {
  return group(label, optix::kProgramGroupKindRaygen, m, e);
}
optix::ProgramGroup Simulator::miss_group(const char* label, const char* m, const char* e) {
  return group(label, optix::kProgramGroupKindMiss, m, e);
}
optix::ProgramGroup Simulator::hit_group(const char* label, const char* m, const char* e) {
  return group(label, optix::kProgramGroupKindHitgroup, m, e);
}

optix::Pipeline Simulator::create_pipeline(const std::vector<optix::ProgramGroup>& groups,
                                           bool microwave,
                                           unsigned max_trace_depth,
                                           unsigned max_traversable_depth, const char* label,
                                           const char* stack_label) {
  optix::PipelineLinkOptions link{};
  link.max_trace_depth = max_trace_depth;
  char log[kLogSize];
  size_t log_size = sizeof log;
  optix::Pipeline p = nullptr;
  const optix::FunctionTable& ox = optix::table();
  optix::check(ox.pipeline_create(context_->device_context(),
                                  compile_options(microwave), &link,
                                  groups.data(), static_cast<unsigned>(groups.size()), log,
                                  &log_size, &p),
               label);
  const optix::Result r = ox.pipeline_set_stack_size(p, 0, 0, kContinuationStack,
                                                     max_traversable_depth);
  if (r != optix::kSuccess) {
    ox.pipeline_destroy(p);
    optix::check(r, stack_label);
  }
  return p;
}

void Simulator::create_main(bool with_lidar) {
  module("raygen_backward");
  module("closesthit");
  module("miss");
  module("raygen_forward");
  module("raygen_flux");
  std::vector<optix::ProgramGroup> g = {
      raygen_group("__raygen__backward", "raygen_backward", "__raygen__backward"),
      raygen_group("__raygen__forward", "raygen_forward", "__raygen__forward"),
      raygen_group("__raygen__flux", "raygen_flux", "__raygen__flux"),
  };
  if (with_lidar) {
    module("raygen_lidar");
    g.push_back(raygen_group("pg_lidar", "raygen_lidar", "__raygen__lidar"));
  }
  g.push_back(miss_group("__miss__radiance", "miss", "__miss__radiance"));
  g.push_back(miss_group("__miss__shadow", "miss", "__miss__shadow"));
  g.push_back(hit_group("__closesthit__radiance", "closesthit", "__closesthit__radiance"));
  g.push_back(hit_group("__closesthit__shadow", "closesthit", "__closesthit__shadow"));
  optix::Pipeline p =
      create_pipeline(g, false, 2, 3, with_lidar ? "pipeline+lidar" : "pipeline", "stack");
  if (pipelines_[kMain] != nullptr) optix::table().pipeline_destroy(pipelines_[kMain]);
  pipelines_[kMain] = p;
  lidar_ready_ = with_lidar;
}

void Simulator::init() {
  if (pipelines_[kMain] != nullptr) return;
  context_->make_current();
  create_main(false);
}

void Simulator::ensure_lidar() {
  init();
  if (lidar_ready_) return;
  create_main(true);
}

void Simulator::ensure_energy_balance() {
  init();
  if (pipelines_[kEnergyBalance] != nullptr) return;
  const std::vector<optix::ProgramGroup> g = {
      raygen_group("pg_raygen_eb", "raygen_eb_rrt", "__raygen__eb_rrt"),
      miss_group("pg_miss_eb", "raygen_eb_rrt", "__miss__eb_rrt"),
      hit_group("pg_hit_eb", "raygen_eb_rrt", "__closesthit__eb_rrt"),
  };
  pipelines_[kEnergyBalance] = create_pipeline(g, false, 1, 1, "pipeline_eb", "stack_eb");
}

void Simulator::ensure_energy_balance_multiband() {
  ensure_energy_balance();
  if (pipelines_[kEnergyBalanceMultiband] != nullptr) return;
  const std::vector<optix::ProgramGroup> g = {
      raygen_group("pg_raygen_eb_mb", "raygen_eb_rrt", "__raygen__eb_rrt_multiband"),
      groups_.at("pg_miss_eb"),
      groups_.at("pg_hit_eb"),
  };
  pipelines_[kEnergyBalanceMultiband] =
      create_pipeline(g, false, 1, 1, "pipeline_eb_mb", "stack_eb_mb");
}

void Simulator::ensure_passive_microwave() {
  init();
  if (pipelines_[kPassiveMicrowave] != nullptr) return;
  module("raygen_passive");
  module("closesthit_mw");
  module("miss_mw");
  const std::vector<optix::ProgramGroup> g = {
      raygen_group("pg_raygen_mw", "raygen_passive", "__raygen__passive_mw"),
      miss_group("pg_miss_mw", "miss_mw", "__miss__mw_radiance"),
      hit_group("pg_hit_mw", "closesthit_mw", "__closesthit__mw_radiance"),
  };
  pipelines_[kPassiveMicrowave] = create_pipeline(g, true, 2, 1, "pipeline_mw", "stack_mw");
}

void Simulator::ensure_active_microwave() {
  ensure_passive_microwave();
  if (pipelines_[kActiveMicrowave] != nullptr) return;
  const std::vector<optix::ProgramGroup> g = {
      raygen_group("pg_raygen_mw_active", "raygen_active", "__raygen__active_mw"),
      groups_.at("pg_miss_mw"),
      groups_.at("pg_hit_mw"),
  };
  pipelines_[kActiveMicrowave] =
      create_pipeline(g, true, 2, 1, "pipeline_mw_active", "stack_mw_active");
}

// ---- binding tables -----------------------------------------------------------------------------

void Simulator::check_scene(const SceneManager& scene) const {
  if (&scene.context() != context_.get())
    throw std::invalid_argument(
        "the scene was created on another OptiXContext than this Simulator's");
  if (!scene.is_built()) throw std::runtime_error("Scene not built. Call scene.build() first.");
}

optix::SbtHeader Simulator::header(const char* group_label) const {
  optix::SbtHeader h;
  std::memset(&h, 0, sizeof h);
  optix::check(optix::table().sbt_record_pack_header(groups_.at(group_label), h.bytes),
               "sbt header");
  return h;
}

void Simulator::set_raygen(ShaderTable& t, const char* group_label, const char* alloc_label,
                           const char* upload_label) {
  const optix::RaygenRecord rec = optix::make_raygen_record(header(group_label));
  t.raygen.assign(&rec, sizeof rec, alloc_label, upload_label);
  t.sbt.raygen_record = t.raygen.get();
}

void Simulator::borrow(ShaderTable& t, const ShaderTable& from) {
  const optix::DevicePtr raygen = t.sbt.raygen_record;
  t.sbt = from.sbt;
  t.sbt.raygen_record = raygen;
}

namespace {
std::vector<optix::MeshHitData> mesh_hit_data(const SceneManager& scene) {
  std::vector<optix::MeshHitData> out;
  for (const GpuMeshRecord& m : scene.gpu_meshes())
    out.push_back(optix::make_mesh_hit_data(m.vertices.get(), m.normals.get(), m.indices.get(),
                                            m.material_id));
  return out;
}

template <class Record>
void upload_records(optix::DeviceBuffer& buf, const std::vector<Record>& records,
                    const char* alloc_label, const char* upload_label) {
  buf.assign(records.data(), records.size() * sizeof(Record), alloc_label, upload_label);
}
}  // namespace

void Simulator::build_backward_table(const SceneManager& scene) {
  check_scene(scene);
  init();
  context_->make_current();
  ShaderTable& t = tables_[kBackward];
  set_raygen(t, "__raygen__backward", "sbt rg", "sbt rg");
  const std::vector<optix::MissRecord> miss = {
      optix::make_miss_record(header("__miss__radiance")),
      optix::make_miss_record(header("__miss__shadow"))};
  upload_records(t.miss, miss, "sbt miss", "sbt miss");
  const auto hits = optix::make_hit_records(
      header("__closesthit__radiance"), header("__closesthit__shadow"), mesh_hit_data(scene), 0);
  upload_records(t.hit, hits, "sbt hg", "sbt hg");
  t.sbt.miss_record_base = t.miss.get();
  t.sbt.miss_record_stride = sizeof(optix::MissRecord);
  t.sbt.miss_record_count = static_cast<uint32_t>(miss.size());
  t.sbt.hitgroup_record_base = t.hit.get();
  t.sbt.hitgroup_record_stride = sizeof(optix::HitgroupRecord);
  t.sbt.hitgroup_record_count = static_cast<uint32_t>(hits.size());
}

void Simulator::build_forward_table(const SceneManager& scene) {
  build_backward_table(scene);
  set_raygen(tables_[kForward], "__raygen__forward", "sbt rg fwd alloc", "sbt rg fwd upload");
  borrow(tables_[kForward], tables_[kBackward]);
}

void Simulator::build_flux_table(const SceneManager& scene) {
  build_backward_table(scene);
  set_raygen(tables_[kFlux], "__raygen__flux", "sbt rg flux alloc", "sbt rg flux upload");
  borrow(tables_[kFlux], tables_[kBackward]);
}

void Simulator::build_lidar_table(const SceneManager& scene) {
  check_scene(scene);
  ensure_lidar();
  if (&scene != lidar_scene_ || scene.ias_handle() != lidar_ias_ ||
      tables_[kBackward].raygen.empty()) {
    build_backward_table(scene);
    lidar_scene_ = &scene;
    lidar_ias_ = scene.ias_handle();
  }
  ShaderTable& t = tables_[kLidar];
  if (t.raygen.empty()) set_raygen(t, "pg_lidar", "sbt_lidar", "sbt_lidar_up");
  borrow(t, tables_[kBackward]);
}

void Simulator::build_energy_balance_table(const SceneManager& scene) {
  check_scene(scene);
  ensure_energy_balance();
  context_->make_current();
  ShaderTable& t = tables_[kEbTable];
  set_raygen(t, "pg_raygen_eb", "sbt rg eb", "sbt rg eb up");
  const std::vector<optix::MissRecord> miss = {optix::make_miss_record(header("pg_miss_eb"))};
  upload_records(t.miss, miss, "sbt miss eb", "sbt miss eb up");
  const optix::SbtHeader hit = header("pg_hit_eb");
  const auto hits = optix::make_hit_records(hit, hit, mesh_hit_data(scene), 1);
  upload_records(t.hit, hits, "sbt hg eb", "sbt hg eb up");
  t.sbt.miss_record_base = t.miss.get();
  t.sbt.miss_record_stride = sizeof(optix::MissRecord);
  t.sbt.miss_record_count = 1;
  t.sbt.hitgroup_record_base = t.hit.get();
  t.sbt.hitgroup_record_stride = sizeof(optix::HitgroupRecord);
  t.sbt.hitgroup_record_count = static_cast<uint32_t>(hits.size());
}

void Simulator::build_energy_balance_multiband_table(const SceneManager& scene) {
  ensure_energy_balance_multiband();
  build_energy_balance_table(scene);
  set_raygen(tables_[kEbMultibandTable], "pg_raygen_eb_mb", "sbt rg eb_mb", "sbt rg eb_mb up");
  borrow(tables_[kEbMultibandTable], tables_[kEbTable]);
}

void Simulator::build_microwave_table(const SceneManager& scene) {
  check_scene(scene);
  ensure_passive_microwave();
  context_->make_current();
  ShaderTable& t = tables_[kMicrowaveTable];
  set_raygen(t, "pg_raygen_mw", "sbt rg mw", "sbt rg mw up");
  const std::vector<optix::MicrowaveMissRecord> miss = {
      optix::make_microwave_miss_record(header("pg_miss_mw"))};
  upload_records(t.miss, miss, "sbt miss mw", "sbt miss mw up");
  const optix::SbtHeader hit = header("pg_hit_mw");
  const auto hits = optix::make_hit_records(hit, hit, mesh_hit_data(scene), 1);
  upload_records(t.hit, hits, "sbt hg mw", "sbt hg mw up");
  t.sbt.miss_record_base = t.miss.get();
  t.sbt.miss_record_stride = sizeof(optix::MicrowaveMissRecord);
  t.sbt.miss_record_count = 1;
  t.sbt.hitgroup_record_base = t.hit.get();
  t.sbt.hitgroup_record_stride = sizeof(optix::HitgroupRecord);
  t.sbt.hitgroup_record_count = static_cast<uint32_t>(hits.size());
}

void Simulator::build_active_microwave_table(const SceneManager& scene) {
  ensure_active_microwave();
  build_microwave_table(scene);
  set_raygen(tables_[kActiveMicrowaveTable], "pg_raygen_mw_active", "sbt rg mw active",
             "sbt rg mw active up");
  borrow(tables_[kActiveMicrowaveTable], tables_[kMicrowaveTable]);
}

}  // namespace velm
