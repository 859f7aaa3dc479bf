// Whether the driver can compile our device programs. The PTX files carry the ISA version of the
// nvcc that wrote them (".version 9.0" from CUDA 13.0); a driver compiles PTX only up to the ISA of
// its own CUDA release, and refuses newer text with nothing more than a failed module creation.
// So the versions are compared before any module is created, and a mismatch is reported with both
// versions and the remedy.
#pragma once

#include <string>

namespace velm::optix {

struct PtxIsa {
  int major = 0;
  int minor = 0;
  bool known() const { return major > 0; }
  int rank() const { return major * 10 + minor; }
  std::string str() const { return std::to_string(major) + "." + std::to_string(minor); }
};

// The ISA declared by the ".version" directive of a PTX text; unknown when it has none.
PtxIsa ptx_isa_of(const std::string& ptx);

// The CUDA release that introduced `isa`, as cuDriverGetVersion counts (13.0 is 13000); 0 for an
// ISA newer than every release we know of.
int cuda_release_of(PtxIsa isa);

// The newest ISA a driver of CUDA version `cuda_version` compiles; unknown (no limit) for a driver
// newer than every release we know of, or when the version could not be read (0).
PtxIsa newest_isa_of_driver(int cuda_version);

// "13.0" for 13000.
std::string cuda_version_text(int cuda_version);

// Throws std::runtime_error naming the file's ISA, the driver's CUDA version and the remedy when
// the driver cannot compile `ptx`. `nvcc` is the compiler version recorded beside the PTX files
// (may be empty). PTX without a version directive is left to the driver to judge.
void check_ptx_for_driver(const std::string& path, const std::string& ptx, int cuda_version,
                          const std::string& nvcc);

// The nvcc version the build recorded in `directory`/nvcc_version.txt; empty when absent.
std::string recorded_nvcc_version(const std::string& directory);

}  // namespace velm::optix
