// The device-program files of the OptiX backend: one PTX file per module, named after the module,
// in the directory given to the Simulator, with the entry points taken from each.
#pragma once

#include <array>
#include <string>

namespace velm::optix {

struct ProgramModule {
  const char* name;            // file name without ".ptx"
  std::array<const char*, 4> entries;  // entry points taken from it; unused slots null
};

inline constexpr std::array<ProgramModule, 11> kProgramModules = {{
    {"raygen_backward", {"__raygen__backward"}},
    {"raygen_forward", {"__raygen__forward"}},
    {"raygen_flux", {"__raygen__flux"}},
    {"miss", {"__miss__radiance", "__miss__shadow"}},
    {"closesthit", {"__closesthit__radiance", "__closesthit__shadow"}},
    {"raygen_lidar", {"__raygen__lidar"}},
    {"raygen_eb_rrt",
     {"__raygen__eb_rrt", "__raygen__eb_rrt_multiband", "__miss__eb_rrt", "__closesthit__eb_rrt"}},
    {"raygen_passive", {"__raygen__passive_mw"}},
    {"miss_mw", {"__miss__mw_radiance"}},
    {"closesthit_mw", {"__closesthit__mw_radiance"}},
    {"raygen_active", {"__raygen__active_mw"}},
}};

// directory + "/" + module + ".ptx", with a forward slash on every platform.
std::string ptx_path(const std::string& directory, const char* module);
// The whole file as text; throws std::runtime_error "Cannot open PTX: " + path.
std::string read_ptx(const std::string& directory, const char* module);

}  // namespace velm::optix
