#include "optix/ptx_version.h"

#include <fstream>
#include <regex>
#include <stdexcept>

namespace velm::optix {

namespace {

// PTX ISA versions and the CUDA releases that introduced them (the PTX ISA release history).
// CUDA 12.6 kept ISA 8.5; from 12.7 on the ISA minor no longer follows the CUDA minor.
struct IsaRelease {
  PtxIsa isa;
  int cuda;
};
constexpr IsaRelease kIsaReleases[] = {
    {{7, 0}, 11000}, {{7, 1}, 11010}, {{7, 2}, 11020}, {{7, 3}, 11030}, {{7, 4}, 11040},
    {{7, 5}, 11050}, {{7, 6}, 11060}, {{7, 7}, 11070}, {{7, 8}, 11080}, {{8, 0}, 12000},
    {{8, 1}, 12010}, {{8, 2}, 12020}, {{8, 3}, 12030}, {{8, 4}, 12040}, {{8, 5}, 12050},
    {{8, 6}, 12070}, {{8, 7}, 12080}, {{8, 8}, 12090}, {{9, 0}, 13000}, {{9, 1}, 13010},
    {{9, 2}, 13020}, {{9, 3}, 13030}, {{9, 4}, 13040}, {{9, 5}, 13050},
};

}  // namespace

PtxIsa ptx_isa_of(const std::string& ptx) {
  static const std::regex directive(R"((^|\n)\s*\.version\s+(\d+)\.(\d+))");
  std::smatch m;
  // The directive is at the top of the file, after nvcc's comment header.
  const std::string head = ptx.substr(0, 4096);
  if (!std::regex_search(head, m, directive)) return {};
  return {std::stoi(m[2]), std::stoi(m[3])};
}

int cuda_release_of(PtxIsa isa) {
  for (const IsaRelease& r : kIsaReleases)
    if (r.isa.rank() >= isa.rank()) return r.cuda;
  return 0;
}

PtxIsa newest_isa_of_driver(int cuda_version) {
  if (cuda_version <= 0 || cuda_version > std::end(kIsaReleases)[-1].cuda) return {};
  PtxIsa newest{6, 5};  // CUDA 10.2; older drivers cannot run an OptiX 9 pipeline anyway
  for (const IsaRelease& r : kIsaReleases)
    if (r.cuda <= cuda_version) newest = r.isa;
  return newest;
}

std::string cuda_version_text(int cuda_version) {
  return std::to_string(cuda_version / 1000) + "." + std::to_string(cuda_version % 1000 / 10);
}

void check_ptx_for_driver(const std::string& path, const std::string& ptx, int cuda_version,
                          const std::string& nvcc) {
  const PtxIsa isa = ptx_isa_of(ptx);
  const PtxIsa limit = newest_isa_of_driver(cuda_version);
  if (!isa.known() || !limit.known() || isa.rank() <= limit.rank()) return;
  const int needs = cuda_release_of(isa);
  std::string m = "The device programs are PTX ISA " + isa.str() + " (" + path;
  if (!nvcc.empty()) m += ", written by nvcc " + nvcc;
  m += "), which the NVIDIA driver cannot compile: the driver supports CUDA " +
       cuda_version_text(cuda_version) + ", whose newest PTX ISA is " + limit.str();
  if (needs != 0) m += " (ISA " + isa.str() + " needs CUDA " + cuda_version_text(needs) + ")";
  m += ". Build the PTX with a CUDA toolkit no newer than the driver (CUDA " +
       cuda_version_text(cuda_version) + "), or update the driver.";
  throw std::runtime_error(m);
}

std::string recorded_nvcc_version(const std::string& directory) {
  std::ifstream in(directory + "/nvcc_version.txt");
  std::string version;
  std::getline(in, version);
  while (!version.empty() && (version.back() == '\r' || version.back() == ' '))
    version.pop_back();
  return version;
}

}  // namespace velm::optix
