#include "optix/simulator.h"

#include <cstring>
#include <stdexcept>

#include "optix/records.h"

namespace velm {

Simulator::Simulator(std::shared_ptr<OptiXContext> context, std::string ptx_dir)
    : context_(std::move(context)), ptx_dir_(std::move(ptx_dir)) {
  if (!context_) throw std::invalid_argument("Simulator needs an OptiXContext");
}

Simulator::~Simulator() {
  // The launch buffers (members) free themselves after this body, on this context's device.
  optix::select_device_quietly(context_->device_id());
  programs_.reset();
}

// ---- pipelines ----------------------------------------------------------------------------------

optix::PipelineSet& Simulator::programs() {
  if (!programs_)
    programs_ = std::make_unique<optix::PipelineSet>(context_->device_context(), ptx_dir_,
                                                     optix::cuda_driver_version(),
                                                     optix::validation_requested());
  return *programs_;
}

void Simulator::ensure(PipelineId id) {
  context_->make_current();
  programs().ensure(id);
}

void Simulator::init() { ensure(kMain); }

void Simulator::ensure_lidar() {
  context_->make_current();
  programs().ensure_lidar();
}

// ---- binding tables -----------------------------------------------------------------------------

void Simulator::check_scene(const SceneManager& scene) const {
  if (&scene.context() != context_.get())
    throw std::invalid_argument(
        "the scene was created on another OptiXContext than this Simulator's");
  if (!scene.is_built()) throw std::runtime_error("Scene not built. Call scene.build() first.");
}

optix::SbtHeader Simulator::header(const char* group_label) const {
  return programs_->header(group_label);
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
  ledger_.forget(kBackward);
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
  ledger_.built(kBackward, scene.geometry_id());
}

void Simulator::build_forward_table(const SceneManager& scene) {
  build_backward_table(scene);
  set_raygen(tables_[kForward], "__raygen__forward", "sbt rg fwd alloc", "sbt rg fwd upload");
  borrow(tables_[kForward], tables_[kBackward]);
  ledger_.built(kForward, scene.geometry_id());
}

void Simulator::build_flux_table(const SceneManager& scene) {
  build_backward_table(scene);
  set_raygen(tables_[kFlux], "__raygen__flux", "sbt rg flux alloc", "sbt rg flux upload");
  borrow(tables_[kFlux], tables_[kBackward]);
  ledger_.built(kFlux, scene.geometry_id());
}

void Simulator::build_lidar_table(const SceneManager& scene) {
  check_scene(scene);
  ensure_lidar();
  if (!ledger_.current(kBackward, scene.geometry_id())) build_backward_table(scene);
  ShaderTable& t = tables_[kLidar];
  if (t.raygen.empty()) set_raygen(t, "pg_lidar", "sbt_lidar", "sbt_lidar_up");
  borrow(t, tables_[kBackward]);
  ledger_.built(kLidar, scene.geometry_id());
}

void Simulator::build_energy_balance_table(const SceneManager& scene) {
  check_scene(scene);
  ensure(kEnergyBalance);
  context_->make_current();
  ShaderTable& t = tables_[kEbTable];
  ledger_.forget(kEbTable);
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
  ledger_.built(kEbTable, scene.geometry_id());
}

void Simulator::build_energy_balance_multiband_table(const SceneManager& scene) {
  ensure(kEnergyBalanceMultiband);
  build_energy_balance_table(scene);
  set_raygen(tables_[kEbMultibandTable], "pg_raygen_eb_mb", "sbt rg eb_mb", "sbt rg eb_mb up");
  borrow(tables_[kEbMultibandTable], tables_[kEbTable]);
  ledger_.built(kEbMultibandTable, scene.geometry_id());
}

void Simulator::build_microwave_table(const SceneManager& scene) {
  check_scene(scene);
  ensure(kPassiveMicrowave);
  context_->make_current();
  ShaderTable& t = tables_[kMicrowaveTable];
  ledger_.forget(kMicrowaveTable);
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
  ledger_.built(kMicrowaveTable, scene.geometry_id());
}

void Simulator::build_active_microwave_table(const SceneManager& scene) {
  ensure(kActiveMicrowave);
  build_microwave_table(scene);
  set_raygen(tables_[kActiveMicrowaveTable], "pg_raygen_mw_active", "sbt rg mw active",
             "sbt rg mw active up");
  borrow(tables_[kActiveMicrowaveTable], tables_[kMicrowaveTable]);
  ledger_.built(kActiveMicrowaveTable, scene.geometry_id());
}

}  // namespace velm
