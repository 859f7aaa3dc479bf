#include "optix/pipelines.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "optix/programs.h"
#include "optix/ptx_version.h"
#include "optix/records.h"

namespace velm::optix {

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

void accumulate_stack_sizes(StackSizes& total, const StackSizes& group) {
  total.css_rg = std::max(total.css_rg, group.css_rg);
  total.css_ms = std::max(total.css_ms, group.css_ms);
  total.css_ch = std::max(total.css_ch, group.css_ch);
  total.css_ah = std::max(total.css_ah, group.css_ah);
  total.css_is = std::max(total.css_is, group.css_is);
  total.css_cc = std::max(total.css_cc, group.css_cc);
  total.dss_dc = std::max(total.dss_dc, group.dss_dc);
}

PipelineStack pipeline_stack(const StackSizes& programs, unsigned max_trace_depth) {
  const uint32_t hit_or_miss = std::max(programs.css_ch, programs.css_ms);
  const uint32_t traversal = programs.css_is + programs.css_ah;
  PipelineStack s;
  s.continuation = programs.css_rg;
  if (max_trace_depth >= 1)
    s.continuation += (max_trace_depth - 1) * hit_or_miss + std::max(hit_or_miss, traversal);
  s.traversable_depth = kTraversableGraphDepth;
  return s;
}

namespace {
bool is_microwave_module(const std::string& name) {
  return name == "raygen_passive" || name == "raygen_active" || name == "miss_mw" ||
         name == "closesthit_mw";
}
}  // namespace

PipelineSet::PipelineSet(DeviceContext context, std::string ptx_dir, int cuda_version,
                         bool validation)
    : context_(context),
      ptx_dir_(std::move(ptx_dir)),
      cuda_version_(cuda_version),
      validation_(validation),
      nvcc_version_(recorded_nvcc_version(ptx_dir_)),
      optical_options_(pipeline_compile_options(sizeof(LaunchParams), validation)),
      microwave_options_(pipeline_compile_options(sizeof(MicrowaveLaunchParams), validation)),
      module_options_(module_compile_options()) {}

PipelineSet::~PipelineSet() {
  const FunctionTable& ox = table();
  for (Pipeline& p : pipelines_)
    if (p != nullptr) ox.pipeline_destroy(p);
  for (auto it = group_order_.rbegin(); it != group_order_.rend(); ++it)
    ox.program_group_destroy(groups_[*it]);
  for (auto it = module_order_.rbegin(); it != module_order_.rend(); ++it)
    ox.module_destroy(modules_[*it]);
}

const void* PipelineSet::compile_options(bool microwave) const {
  return (microwave ? microwave_options_ : optical_options_).get(accepted_abi());
}

void PipelineSet::keep_log(const char* label, const CreationLog& log) {
  const std::string text = log.str();
  if (text.empty()) return;
  logs_.push_back(std::string(label) + ": " + text);
  if (validation_) {
    std::fprintf(stderr, "[OptiX][%s] %s\n", label, text.c_str());
    std::fflush(stderr);
  }
}

Module PipelineSet::module(const char* name) {
  auto found = modules_.find(name);
  if (found != modules_.end()) return found->second;
  const std::string ptx = read_ptx(ptx_dir_, name);
  check_ptx_for_driver(ptx_path(ptx_dir_, name), ptx, cuda_version_, nvcc_version_);
  CreationLog log;
  Module m = nullptr;
  const Result r = table().module_create(context_, &module_options_,
                                         compile_options(is_microwave_module(name)), ptx.c_str(),
                                         ptx.size(), log.text, &log.size, &m);
  keep_log(name, log);
  if (r != kSuccess) {
    std::fprintf(stderr, "[Module %s] %s\n", name, log.str().c_str());
    std::fflush(stderr);
    std::string message = std::string("Module create failed: ") + name + " (" +
                          std::to_string(r) + " " + error_name(r) + ")";
    if (!log.str().empty()) message += ": " + log.str();
    throw std::runtime_error(message);
  }
  modules_[name] = m;
  module_order_.push_back(name);
  return m;
}

ProgramGroup PipelineSet::group(const char* label, uint32_t kind, const char* module_name,
                                const char* entry) {
  auto found = groups_.find(label);
  if (found != groups_.end()) return found->second;
  ProgramGroupDesc desc;
  std::memset(&desc, 0, sizeof desc);
  desc.kind = kind;
  if (kind == kProgramGroupKindHitgroup) {
    desc.hitgroup.module_ch = module(module_name);
    desc.hitgroup.entry_function_name_ch = entry;
  } else {
    desc.raygen.module = module(module_name);  // raygen and miss share one layout
    desc.raygen.entry_function_name = entry;
  }
  ProgramGroupOptions options{};
  CreationLog log;
  ProgramGroup g = nullptr;
  const Result r =
      table().program_group_create(context_, &desc, 1, &options, log.text, &log.size, &g);
  keep_log(label, log);
  check(r, label, log.str());
  groups_[label] = g;
  group_order_.push_back(label);
  return g;
}

ProgramGroup PipelineSet::raygen(const char* label, const char* m, const char* e) {
  return group(label, kProgramGroupKindRaygen, m, e);
}
ProgramGroup PipelineSet::miss(const char* label, const char* m, const char* e) {
  return group(label, kProgramGroupKindMiss, m, e);
}
ProgramGroup PipelineSet::hit(const char* label, const char* m, const char* e) {
  return group(label, kProgramGroupKindHitgroup, m, e);
}

void PipelineSet::create(PipelineId id, const std::vector<ProgramGroup>& groups,
                         unsigned max_trace_depth, const char* label, const char* stack_label) {
  const bool microwave = id == kPassiveMicrowave || id == kActiveMicrowave;
  PipelineLinkOptions link{};
  link.max_trace_depth = max_trace_depth;
  link.max_traversable_graph_depth = kTraversableGraphDepth;  // read by ABI 118 drivers only
  CreationLog log;
  Pipeline p = nullptr;
  const FunctionTable& ox = table();
  const Result r = ox.pipeline_create(context_, compile_options(microwave), &link, groups.data(),
                                      static_cast<unsigned>(groups.size()), log.text, &log.size,
                                      &p);
  keep_log(label, log);
  check(r, label, log.str());
  try {
    StackSizes programs{};
    for (ProgramGroup g : groups) {
      StackSizes one{};
      check(ox.program_group_get_stack_size(g, &one, p), stack_label);
      accumulate_stack_sizes(programs, one);
    }
    const PipelineStack s = pipeline_stack(programs, max_trace_depth);
    check(ox.pipeline_set_stack_size(p, s.direct_from_traversal, s.direct_from_state,
                                     s.continuation, s.traversable_depth),
          stack_label);
    if (validation_) {
      std::fprintf(stderr,
                   "[OptiX][%s] stack: continuation %u bytes (ray generation %u, closest hit %u, "
                   "miss %u; trace depth %u), direct %u/%u, traversable depth %u\n",
                   label, s.continuation, programs.css_rg, programs.css_ch, programs.css_ms,
                   max_trace_depth, s.direct_from_traversal, s.direct_from_state,
                   s.traversable_depth);
      std::fflush(stderr);
    }
    if (pipelines_[id] != nullptr) ox.pipeline_destroy(pipelines_[id]);
    pipelines_[id] = p;
    stacks_[id] = s;
  } catch (...) {
    ox.pipeline_destroy(p);
    throw;
  }
}

void PipelineSet::create_main(bool with_lidar) {
  module("raygen_backward");
  module("closesthit");
  module("miss");
  module("raygen_forward");
  module("raygen_flux");
  std::vector<ProgramGroup> g = {
      raygen("__raygen__backward", "raygen_backward", "__raygen__backward"),
      raygen("__raygen__forward", "raygen_forward", "__raygen__forward"),
      raygen("__raygen__flux", "raygen_flux", "__raygen__flux"),
  };
  if (with_lidar) {
    module("raygen_lidar");
    g.push_back(raygen("pg_lidar", "raygen_lidar", "__raygen__lidar"));
  }
  g.push_back(miss("__miss__radiance", "miss", "__miss__radiance"));
  g.push_back(miss("__miss__shadow", "miss", "__miss__shadow"));
  g.push_back(hit("__closesthit__radiance", "closesthit", "__closesthit__radiance"));
  g.push_back(hit("__closesthit__shadow", "closesthit", "__closesthit__shadow"));
  create(kMain, g, 2, with_lidar ? "pipeline+lidar" : "pipeline", "stack");
  lidar_ready_ = with_lidar;
}

void PipelineSet::ensure_lidar() {
  ensure(kMain);
  if (!lidar_ready_) create_main(true);
}

namespace {

struct ProgramEntry {
  const char* label;   // a group made before under this label is reused
  const char* module;
  const char* entry;
};

// How each pipeline beside the main one is made: the pipeline made before it, the modules it
// compiles first (in this order), its ray generation, miss and hit groups, its trace depth and the
// labels of its creation and stack calls.
struct PipelineRecipe {
  PipelineId after;
  const char* modules[3];
  ProgramEntry raygen, miss, hit;
  unsigned max_trace_depth;
  const char* label;
  const char* stack_label;
};

constexpr ProgramEntry kMissEb = {"pg_miss_eb", "raygen_eb_rrt", "__miss__eb_rrt"};
constexpr ProgramEntry kHitEb = {"pg_hit_eb", "raygen_eb_rrt", "__closesthit__eb_rrt"};
constexpr ProgramEntry kMissMw = {"pg_miss_mw", "miss_mw", "__miss__mw_radiance"};
constexpr ProgramEntry kHitMw = {"pg_hit_mw", "closesthit_mw", "__closesthit__mw_radiance"};

// Indexed by PipelineId; the main pipeline's entry is unused (create_main makes it).
constexpr PipelineRecipe kRecipes[kPipelineCount] = {
    {kMain, {}, {}, {}, {}, 0, nullptr, nullptr},
    {kMain, {}, {"pg_raygen_eb", "raygen_eb_rrt", "__raygen__eb_rrt"}, kMissEb, kHitEb, 1,
     "pipeline_eb", "stack_eb"},
    {kEnergyBalance, {}, {"pg_raygen_eb_mb", "raygen_eb_rrt", "__raygen__eb_rrt_multiband"},
     kMissEb, kHitEb, 1, "pipeline_eb_mb", "stack_eb_mb"},
    {kMain, {"raygen_passive", "closesthit_mw", "miss_mw"},
     {"pg_raygen_mw", "raygen_passive", "__raygen__passive_mw"}, kMissMw, kHitMw, 2,
     "pipeline_mw", "stack_mw"},
    {kPassiveMicrowave, {}, {"pg_raygen_mw_active", "raygen_active", "__raygen__active_mw"},
     kMissMw, kHitMw, 2, "pipeline_mw_active", "stack_mw_active"},
};

}  // namespace

void PipelineSet::ensure(PipelineId id) {
  if (pipelines_[kMain] == nullptr) create_main(false);
  if (id <= kMain || id >= kPipelineCount || pipelines_[id] != nullptr) return;
  const PipelineRecipe& r = kRecipes[id];
  ensure(r.after);
  for (const char* name : r.modules)
    if (name != nullptr) module(name);
  create(id,
         {raygen(r.raygen.label, r.raygen.module, r.raygen.entry),
          miss(r.miss.label, r.miss.module, r.miss.entry),
          hit(r.hit.label, r.hit.module, r.hit.entry)},
         r.max_trace_depth, r.label, r.stack_label);
}

SbtHeader PipelineSet::header(const char* group_label) const {
  SbtHeader h;
  std::memset(&h, 0, sizeof h);
  check(table().sbt_record_pack_header(groups_.at(group_label), h.bytes), "sbt header");
  return h;
}

}  // namespace velm::optix
