# The Vulkan ray-query backend: its C++ library (src/vulkan/), the GLSL compute shaders compiled
# to SPIR-V into shaders/ beside the module (installed with it), and its C++ tests.
find_package(Vulkan REQUIRED)
find_program(VELM_GLSLC glslc REQUIRED)
message(STATUS "VELM: Vulkan ${Vulkan_VERSION}, glslc ${VELM_GLSLC}")

file(GLOB VELM_VULKAN_SOURCES CONFIGURE_DEPENDS src/vulkan/*.cpp)
add_library(velm_vulkan STATIC ${VELM_VULKAN_SOURCES})
set_target_properties(velm_vulkan PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_link_libraries(velm_vulkan PUBLIC velm_core Vulkan::Vulkan)
# Vulkan records are written `VkFoo info{VK_STRUCTURE_TYPE_FOO};`, the rest zero-initialised.
target_compile_options(velm_vulkan PRIVATE -Wno-missing-field-initializers)

target_link_libraries(velm_gpu PRIVATE velm_vulkan)

# Each top-level .comp file becomes one .spv of the same name; files under physics/ and the
# other .glsl files are included by them (glslc's depfile tracks the includes). The optical shader
# is built once per band capacity, with the work-group shape that goes with it.
set(VELM_SHADER_DIR ${VELM_PACKAGE_DIR}/shaders)
set(VELM_SPIRV_FILES)
function(velm_spirv src name)
  set(spv ${VELM_SHADER_DIR}/${name}.spv)
  add_custom_command(
    OUTPUT ${spv}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VELM_SHADER_DIR}
    COMMAND ${VELM_GLSLC} --target-env=vulkan1.2 -O ${ARGN}
            -MD -MF ${CMAKE_CURRENT_BINARY_DIR}/${name}.spv.d
            -I ${CMAKE_SOURCE_DIR}/src/programs/vulkan ${src} -o ${spv}
    DEPENDS ${src}
    DEPFILE ${CMAKE_CURRENT_BINARY_DIR}/${name}.spv.d
    COMMENT "SPIR-V ${name}.spv"
    VERBATIM)
  set(VELM_SPIRV_FILES ${VELM_SPIRV_FILES} ${spv} PARENT_SCOPE)
endfunction()
file(GLOB VELM_VULKAN_SHADERS CONFIGURE_DEPENDS src/programs/vulkan/*.comp)
foreach(src ${VELM_VULKAN_SHADERS})
  get_filename_component(name ${src} NAME_WE)
  if(name STREQUAL "backward_optical")
    # capacity:group x:group y
    foreach(variant 4:8:8 8:8:8 16:8:8 32:8:8 64:8:4 128:4:4)
      string(REPLACE ":" ";" v ${variant})
      list(GET v 0 capacity)
      list(GET v 1 gx)
      list(GET v 2 gy)
      velm_spirv(${src} ${name}_${capacity}
                 -DBAND_CAPACITY=${capacity} -DGROUP_X=${gx} -DGROUP_Y=${gy})
    endforeach()
  else()
    velm_spirv(${src} ${name})
  endif()
endforeach()
add_custom_target(velm_vulkan_shaders ALL DEPENDS ${VELM_SPIRV_FILES})
add_dependencies(velm_gpu velm_vulkan_shaders)
install(DIRECTORY ${VELM_SHADER_DIR} DESTINATION ${VELM_DATA_INSTALL_DIR})

if(VELM_BUILD_TESTS AND GTest_FOUND)
  file(GLOB VELM_VULKAN_CPP_TESTS CONFIGURE_DEPENDS tests/cpp/vulkan/*.cpp)
  add_executable(velm_vulkan_cpp_tests ${VELM_VULKAN_CPP_TESTS})
  target_link_libraries(velm_vulkan_cpp_tests PRIVATE velm_vulkan GTest::gtest GTest::gtest_main)
  target_compile_definitions(velm_vulkan_cpp_tests PRIVATE
    VELM_TEST_SHADER_DIR="${VELM_SHADER_DIR}")
  add_dependencies(velm_vulkan_cpp_tests velm_vulkan_shaders)
  gtest_discover_tests(velm_vulkan_cpp_tests DISCOVERY_TIMEOUT 60)
endif()
