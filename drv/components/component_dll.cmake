# Builds one of the product's component DLLs into the product folder, and
# copies of it with other build numbers (and one without a version resource)
# under ${CMAKE_BINARY_DIR}/variants/ for the tests that read version
# resources. The code is compiled once (an object library); each copy only
# links it again with its own version resource.
include_guard(GLOBAL)

# lmx_component_dll(<name> SOURCES <files...> DEF <file> [RC <file>] [LIBS <libs...>])
#   <name> is the file name without ".dll". RC (a version resource that takes
#   LMX_FILE_BUILD) also makes the variant copies.
function(lmx_component_dll name)
  cmake_parse_arguments(ARG "" "DEF;RC" "SOURCES;LIBS" ${ARGN})
  set(product_build 2070)
  set(variant_builds 1213 1214 2043 2044 2070 2071)
  add_library(${name}_objects OBJECT ${ARG_SOURCES})
  # The spooler loads these files into its own process: they bring their
  # C runtime with them (MinGW links it statically for every target).
  set_target_properties(${name}_objects PROPERTIES
    MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
  set(out_targets)

  # One DLL: the objects, the .def file, an optional version resource.
  function(lmx_link_component target dir build)
    set(sources $<TARGET_OBJECTS:${name}_objects> ${ARG_DEF})
    if(build)
      list(APPEND sources ${ARG_RC})
    endif()
    add_library(${target} SHARED ${sources})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS})
    if(build)
      target_compile_definitions(${target} PRIVATE LMX_FILE_BUILD=${build})
    endif()
    set_target_properties(${target} PROPERTIES
      MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>"
      OUTPUT_NAME ${name} PREFIX "" IMPORT_PREFIX ""
      RUNTIME_OUTPUT_DIRECTORY ${dir}
      ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/lib/${target})
    foreach(config RELWITHDEBINFO RELEASE DEBUG MINSIZEREL)
      set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY_${config} ${dir})
    endforeach()
  endfunction()

  if(ARG_RC)
    lmx_link_component(${name} ${LMX_PRODUCT_DIR}/x64 ${product_build})
    list(APPEND out_targets ${name})
    foreach(build ${variant_builds})
      lmx_link_component(${name}_${build} ${CMAKE_BINARY_DIR}/variants/${build} ${build})
      list(APPEND out_targets ${name}_${build})
    endforeach()
    lmx_link_component(${name}_noversion ${CMAKE_BINARY_DIR}/variants/noversion "")
    list(APPEND out_targets ${name}_noversion)
  else()
    lmx_link_component(${name} ${LMX_PRODUCT_DIR}/x64 "")
    list(APPEND out_targets ${name})
  endif()
  add_dependencies(lmx_components ${out_targets})
endfunction()
