# OptiX backend: the host code (src/optix/) against the CUDA runtime, and the device programs
# (src/programs/optix/) compiled to PTX into ptx/ beside the module.
#
# The CUDA runtime is linked statically: it looks for the driver only when a CUDA call is made,
# so the module imports, and the other backends work, on machines without an NVIDIA driver.
# OptiX itself is reached at run time through the driver's library (src/optix/optix_loader.cpp);
# no OptiX SDK is needed to build.

if(NOT DEFINED CUDAToolkit_ROOT AND NOT DEFINED ENV{CUDAToolkit_ROOT} AND EXISTS /usr/local/cuda)
  set(CUDAToolkit_ROOT /usr/local/cuda)
endif()
find_package(CUDAToolkit REQUIRED)
find_package(OpenMP)
message(STATUS "VELM: OptiX backend with CUDA ${CUDAToolkit_VERSION} (${CUDAToolkit_NVCC_EXECUTABLE})")

# The LiDAR post-processing kernels (src/optix/*.cu) are CUDA code of the module itself, registered
# with the runtime when it loads: real code for the common GPUs and PTX that newer ones compile.
if(NOT DEFINED CMAKE_CUDA_COMPILER)
  set(CMAKE_CUDA_COMPILER ${CUDAToolkit_NVCC_EXECUTABLE})
endif()
if(NOT DEFINED CMAKE_CUDA_ARCHITECTURES)
  set(CMAKE_CUDA_ARCHITECTURES 75-virtual 80-real 86-real 89-real 90-real)
endif()
set(CMAKE_CUDA_RUNTIME_LIBRARY Static)
enable_language(CUDA)
set(CMAKE_CUDA_STANDARD 17)
set(CMAKE_CUDA_STANDARD_REQUIRED ON)

file(GLOB VELM_OPTIX_SOURCES CONFIGURE_DEPENDS src/optix/*.cpp src/optix/*.cu)
add_library(velm_optix STATIC ${VELM_OPTIX_SOURCES})
set_target_properties(velm_optix PROPERTIES CXX_VISIBILITY_PRESET hidden CUDA_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
target_link_libraries(velm_optix PUBLIC velm_core CUDA::cudart_static ${CMAKE_DL_LIBS})
target_compile_options(velm_optix PRIVATE $<$<COMPILE_LANGUAGE:CUDA>:-O3>)
if(OpenMP_CXX_FOUND)
  # The per-primitive tables are filled by two parallel loops.
  target_link_libraries(velm_optix PRIVATE OpenMP::OpenMP_CXX)
endif()
target_link_libraries(velm_gpu PRIVATE velm_optix)

# Device programs: one PTX file per module. -rdc keeps `params` a visible symbol, which is how
# the pipelines find the launch parameters.
set(VELM_PTX_ARCH compute_75 CACHE STRING "Virtual architecture of the OptiX device programs")
set(VELM_PTX_DIR ${VELM_PACKAGE_DIR}/ptx)
file(GLOB VELM_OPTIX_PROGRAMS CONFIGURE_DEPENDS src/programs/optix/*.cu)
file(GLOB VELM_OPTIX_PROGRAM_HEADERS CONFIGURE_DEPENDS src/programs/optix/*.h src/physics/*.h)
list(APPEND VELM_OPTIX_PROGRAM_HEADERS ${CMAKE_SOURCE_DIR}/src/optix/launch_records.h
  ${CMAKE_SOURCE_DIR}/src/scene/records.h)
set(VELM_PTX_FILES)
foreach(program ${VELM_OPTIX_PROGRAMS})
  get_filename_component(name ${program} NAME_WE)
  set(ptx ${VELM_PTX_DIR}/${name}.ptx)
  add_custom_command(
    OUTPUT ${ptx}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VELM_PTX_DIR}
    COMMAND ${CUDAToolkit_NVCC_EXECUTABLE} -ptx -rdc=true -std=c++17 -arch=${VELM_PTX_ARCH}
            -diag-suppress 20012 -I${CMAKE_SOURCE_DIR}/src ${program} -o ${ptx}
    DEPENDS ${program} ${VELM_OPTIX_PROGRAM_HEADERS}
    COMMENT "PTX ${name}"
    VERBATIM)
  list(APPEND VELM_PTX_FILES ${ptx})
endforeach()
# The compiler that wrote the PTX, beside it: a driver compiles PTX only up to the ISA of its own
# CUDA release, and the message that refuses newer PTX names this version.
set(VELM_NVCC_VERSION_FILE ${VELM_PTX_DIR}/nvcc_version.txt)
file(MAKE_DIRECTORY ${VELM_PTX_DIR})
file(WRITE ${VELM_NVCC_VERSION_FILE} "${CUDAToolkit_VERSION}\n")
add_custom_target(velm_ptx ALL DEPENDS ${VELM_PTX_FILES})
add_dependencies(velm_gpu velm_ptx)
install(FILES ${VELM_PTX_FILES} ${VELM_NVCC_VERSION_FILE} DESTINATION ${VELM_DATA_INSTALL_DIR}/ptx)

# For the C++ tests: the backend library and small stand-ins for the driver's OptiX library, one
# per way a driver can answer (tests/cpp/fake_nvoptix.cpp), so the loading and the ABI
# negotiation are tested without a GPU.
function(velm_optix_test_support target)
  target_link_libraries(${target} PRIVATE velm_optix)
  foreach(kind accept118 accept105 odd118 reject nosymbol programs)
    add_library(fake_nvoptix_${kind} MODULE tests/cpp/fake_nvoptix.cpp)
    string(TOUPPER ${kind} upper)
    target_compile_definitions(fake_nvoptix_${kind} PRIVATE FAKE_NVOPTIX_${upper}=1)
    set_target_properties(fake_nvoptix_${kind} PROPERTIES PREFIX "lib"
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fake_nvoptix)
    add_dependencies(${target} fake_nvoptix_${kind})
  endforeach()
  target_compile_definitions(${target} PRIVATE
    VELM_FAKE_NVOPTIX_DIR="${CMAKE_BINARY_DIR}/fake_nvoptix"
    VELM_PTX_DIR="${VELM_PTX_DIR}")
  add_dependencies(${target} velm_ptx)
endfunction()
