# cmake -DBUILD_DIR= -DSOURCE_DIR= -DWORK_DIR= -DGENERATOR= -DCC= -P consume.cmake
function(run what)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(f include/vexel/vexel.h include/vexel/vexel.hpp lib/libvexel.so.1 lib/pkgconfig/vexel.pc
          lib/cmake/vexel/vexelConfig.cmake lib/udev/rules.d/60-vexel.rules bin/vexel bin/vexel-sim)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
set(sim ${prefix}/bin/vexel-sim)
# The programs keep the camera's calibration in the user's cache: here, the work directory's.
set(ENV{XDG_CACHE_HOME} ${WORK_DIR}/cache)

# The installed program finds the installed library by itself (RUNPATH).
run("installed vexel" ${sim} -- ${prefix}/bin/vexel list)
if(NOT out MATCHES "A-E2-1.0 serial VX0001")
  message(FATAL_ERROR "vexel list from the prefix: ${out}")
endif()

# find_package(vexel) and vexel::vexel
run("configure the examples" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${WORK_DIR}/cmake -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run("build the examples" ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake)
run("C example" ${sim} -- ${WORK_DIR}/cmake/example_centre_distance)
string(REGEX MATCHALL "centre [0-9.]+ m" lines "${out}")
list(LENGTH lines n)
if(NOT n EQUAL 10)
  message(FATAL_ERROR "ten centre distances expected:\n${out}")
endif()
file(GLOB cached ${WORK_DIR}/cache/vexel/VX0001-42/tcm_ex_images_drnu*)
file(GLOB stray ${WORK_DIR}/cmake/tcm_ex_* ${WORK_DIR}/tcm_ex_*)
if(NOT cached OR stray)
  message(FATAL_ERROR "calibration belongs in the cache: cached '${cached}', elsewhere '${stray}'")
endif()
run("C++ example" ${sim} -- ${WORK_DIR}/cmake/example_point_cloud ${WORK_DIR}/cloud.ply)
file(STRINGS ${WORK_DIR}/cloud.ply vertex REGEX "^element vertex [0-9]+$")
if(NOT out MATCHES "[0-9]+ points written" OR NOT vertex MATCHES "element vertex [1-9]")
  message(FATAL_ERROR "point cloud example: ${out} ${vertex}")
endif()

# pkg-config, the way a Makefile would use it
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs vexel OUTPUT_VARIABLE flags RESULT_VARIABLE rc
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0 OR NOT flags MATCHES "-I${prefix}/lib/pkgconfig/../../include")
  message(FATAL_ERROR "pkg-config --cflags --libs vexel: '${flags}'")
endif()
# A custom prefix is not on the loader's path: the README's rpath from pkg-config's libdir.
execute_process(COMMAND pkg-config --variable=libdir vexel OUTPUT_VARIABLE libdir RESULT_VARIABLE rc
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0 OR NOT EXISTS ${libdir}/libvexel.so.1)
  message(FATAL_ERROR "pkg-config --variable=libdir vexel: '${libdir}'")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run("pkg-config build" ${CC} -std=c99 -Wall -Werror ${SOURCE_DIR}/examples/centre_distance.c ${flags}
    -Wl,-rpath,${libdir} -o ${WORK_DIR}/centre_distance_pc)
run("pkg-config example" ${sim} -- ${WORK_DIR}/centre_distance_pc)
if(NOT out MATCHES "frame [0-9]+: centre [0-9.]+ m")
  message(FATAL_ERROR "pkg-config example:\n${out}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
