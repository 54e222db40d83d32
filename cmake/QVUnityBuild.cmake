# Unity builds of the project's libraries and test programs.

# Sources compile several to a unit (unity build): the shared headers are then parsed once per unit
# instead of once per file. A source that includes the kernel's own headers (<linux/...>) stays on its
# own: they clash with their glibc twins (<net/if.h> and the like) in a shared unit.
function(qv_unity_build target batch)
  get_target_property(sources ${target} SOURCES)
  foreach(source ${sources})
    if(source MATCHES "\\.cpp$")
      if(NOT IS_ABSOLUTE ${source})
        get_target_property(source_dir ${target} SOURCE_DIR)
        set(source ${source_dir}/${source})
      endif()
      file(STRINGS ${source} kernel_includes REGEX "^#include <linux/")
      if(kernel_includes)
        set_source_files_properties(${source} TARGET_DIRECTORY ${target} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
      endif()
    endif()
  endforeach()
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${batch})
  # In a combined unit every source counts as an included header, which classes with members of types
  # in anonymous namespaces would trip (a GCC warning; clang has no such option and refuses it).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-subobject-linkage)
  endif()
endfunction()

# Test sources compile eight to a unit (see qv_unity_build).
function(qv_test_unity_build target)
  qv_unity_build(${target} ${QV_TEST_UNITY_BATCH})
endfunction()
