# Builds examples/quickstart.c the ways a user of the library would, and runs
# it. MODE is one of
#   install       `cmake --install` of the current build into a temporary
#                 prefix, then the program built through pkg-config and
#                 through find_package(zembrel) against that prefix;
#   subdirectory  a consumer project that adds the source tree with
#                 add_subdirectory: configured, its program compiled and its
#                 link line checked (Ninja). Compiling the whole library
#                 again takes minutes, so the full build and run happen only
#                 with ZEMBREL_CONSUMER_FULL_BUILD=1 in the environment.
# EXTRA_FLAGS go to every compile and link (the sanitizers of the build).
cmake_minimum_required(VERSION 3.25)

function(run)
  cmake_parse_arguments(R "" "OUTPUT" "COMMAND" ${ARGN})
  execute_process(COMMAND ${R_COMMAND} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " shown "${R_COMMAND}")
    message(FATAL_ERROR "failed (${rc}): ${shown}\n${out}\n${err}")
  endif()
  if(R_OUTPUT)
    set(${R_OUTPUT} "${out}" PARENT_SCOPE)
  endif()
endfunction()

# Runs a built quick-start program; it must end well and name the version.
function(run_quickstart exe)
  run(COMMAND ${exe} OUTPUT out)
  if(NOT out MATCHES "zembrel ${VERSION}-" OR NOT out MATCHES "Transaction committed\\.")
    message(FATAL_ERROR "unexpected output of ${exe}:\n${out}")
  endif()
endfunction()

separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")
set(quickstart ${SOURCE_DIR}/examples/quickstart.c)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(consumer_args -G ${GENERATOR} -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_BUILD_TYPE=Debug
    "-DCMAKE_C_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}"
    -DQUICKSTART_SOURCE=${quickstart})

if(MODE STREQUAL "install")
  set(prefix ${WORK_DIR}/prefix)
  run(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
  foreach(f ${LIBDIR}/libzembrel.so ${LIBDIR}/libzembrel.so.${SOVERSION} ${LIBDIR}/libzembrel.so.${VERSION}
            include/zembrel.h ${LIBDIR}/pkgconfig/zembrel.pc ${LIBDIR}/cmake/zembrel/zembrelConfig.cmake)
    if(NOT EXISTS ${prefix}/${f})
      message(FATAL_ERROR "not installed: ${f}")
    endif()
  endforeach()
  file(GLOB headers ${prefix}/include/*)
  list(LENGTH headers n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "installed headers besides zembrel.h: ${headers}")
  endif()

  # pkg-config
  set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
  run(COMMAND pkg-config --modversion zembrel OUTPUT version)
  string(STRIP "${version}" version)
  if(NOT version STREQUAL VERSION)
    message(FATAL_ERROR "pkg-config reports version '${version}', expected '${VERSION}'")
  endif()
  run(COMMAND pkg-config --cflags --libs zembrel OUTPUT flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(COMMAND ${C_COMPILER} -std=c11 -Wall -Wextra -Werror ${extra} ${quickstart} ${flags}
              -Wl,-rpath,${prefix}/${LIBDIR} -o ${WORK_DIR}/quickstart_pkgconfig)
  run_quickstart(${WORK_DIR}/quickstart_pkgconfig)

  # find_package
  run(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/package ${consumer_args}
              -DZEMBREL_CONSUMER_MODE=package -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
  file(STRINGS ${WORK_DIR}/package/CMakeCache.txt found REGEX "^zembrel_DIR:")
  if(NOT found STREQUAL "zembrel_DIR:PATH=${prefix}/${LIBDIR}/cmake/zembrel")
    message(FATAL_ERROR "find_package found another zembrel: ${found}")
  endif()
  run(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/package)
  run_quickstart(${WORK_DIR}/package/quickstart)

elseif(MODE STREQUAL "subdirectory")
  set(dir ${WORK_DIR}/subdirectory)
  run(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${dir} ${consumer_args}
              -DZEMBREL_CONSUMER_MODE=subdirectory -DZEMBREL_SOURCE_DIR=${SOURCE_DIR})
  file(STRINGS ${dir}/CMakeCache.txt tests REGEX "^ZEMBREL_TESTS:")
  if(NOT tests STREQUAL "ZEMBREL_TESTS:BOOL=OFF")
    message(FATAL_ERROR "a subproject builds its tests: ${tests}")
  endif()
  if("$ENV{ZEMBREL_CONSUMER_FULL_BUILD}" STREQUAL "1" OR NOT GENERATOR STREQUAL "Ninja")
    run(COMMAND ${CMAKE_COMMAND} --build ${dir})
    run_quickstart(${dir}/quickstart)
  else()
    # The program's own compile and link commands, without building the library.
    run(COMMAND ${MAKE_PROGRAM} -C ${dir} -t commands quickstart OUTPUT commands)
    string(REPLACE "\n" ";" commands "${commands}")
    set(object "")
    set(linked FALSE)
    foreach(line IN LISTS commands)
      if(line MATCHES "quickstart\\.c" AND line MATCHES " -o ([^ ]+\\.o) ")
        set(object ${CMAKE_MATCH_1})
        if(line MATCHES "/ffi( |$)")
          message(FATAL_ERROR "the consumer sees the library's private headers:\n${line}")
        endif()
      elseif(line MATCHES " -o quickstart( |$)" AND line MATCHES "zembrel/libzembrel\\.so")
        set(linked TRUE)
      endif()
    endforeach()
    if(object STREQUAL "" OR NOT linked)
      message(FATAL_ERROR "no compile of quickstart.c or no link with libzembrel.so in:\n${commands}")
    endif()
    run(COMMAND ${MAKE_PROGRAM} -C ${dir} ${object})
  endif()
else()
  message(FATAL_ERROR "unknown MODE '${MODE}'")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
