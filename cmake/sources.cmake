# Which sources each part of the build compiles, decided by folder:
#   src/platform, src/scheduler: the core library, with no Python inside;
#   src/module: the library that works with the interpreter, except
#     module.cpp, which holds the init function and is the extension itself;
#   src/failures: split by whether a file uses the interpreter, so each of its
#     files is named in one of the two lists below.
# A new file in any other folder joins its part with no edit here; a new file
# in src/failures stops the configuration until it is named.
set(velmora_failures_without_python failure_record.cpp)
set(velmora_failures_with_python exception_mapping.cpp)

# Sets VELMORA_CORE_SOURCES, VELMORA_PYTHON_SOURCES and VELMORA_MODULE_SOURCE
# for the source tree at `tree`.
function(velmora_collect_sources tree)
  file(GLOB failures RELATIVE ${tree}/src/failures CONFIGURE_DEPENDS ${tree}/src/failures/*.cpp)
  foreach(source IN LISTS failures)
    if(NOT source IN_LIST velmora_failures_without_python AND NOT source IN_LIST velmora_failures_with_python)
      message(FATAL_ERROR
        "src/failures/${source} belongs to no part of the build: name it in cmake/sources.cmake, in "
        "velmora_failures_without_python (no Python inside) or velmora_failures_with_python.")
    endif()
  endforeach()

  file(GLOB core CONFIGURE_DEPENDS ${tree}/src/platform/*.cpp ${tree}/src/scheduler/*.cpp)
  list(TRANSFORM velmora_failures_without_python PREPEND ${tree}/src/failures/ OUTPUT_VARIABLE core_failures)
  file(GLOB python CONFIGURE_DEPENDS ${tree}/src/module/*.cpp)
  list(REMOVE_ITEM python ${tree}/src/module/module.cpp)
  list(TRANSFORM velmora_failures_with_python PREPEND ${tree}/src/failures/ OUTPUT_VARIABLE python_failures)

  set(VELMORA_CORE_SOURCES ${core} ${core_failures} PARENT_SCOPE)
  set(VELMORA_PYTHON_SOURCES ${python} ${python_failures} PARENT_SCOPE)
  set(VELMORA_MODULE_SOURCE ${tree}/src/module/module.cpp PARENT_SCOPE)
endfunction()
