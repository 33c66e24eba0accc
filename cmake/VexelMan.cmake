# Manual pages for the programs, made from their own --help, so they never drift from what the
# programs accept.
find_program(VEXEL_HELP2MAN help2man)
if(NOT VEXEL_HELP2MAN)
  message(STATUS "Manual pages: help2man not found, none made")
  return()
endif()

set(vexel_man_dir ${PROJECT_BINARY_DIR}/man)
set(vexel_man_pages)
foreach(prog vexel vexel-sim vexel-publish)
  set(target ${prog})
  if(prog STREQUAL "vexel")
    set(target vexel-cli)
  endif()
  if(NOT TARGET ${target})
    continue()
  endif()
  add_custom_command(OUTPUT ${vexel_man_dir}/${prog}.1
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${target}> -DNAME=${prog} -DVERSION=${PROJECT_VERSION}
            -DHELP2MAN=${VEXEL_HELP2MAN} -DOUT=${vexel_man_dir}/${prog}.1
            -P ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
    DEPENDS ${target} ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
    COMMENT "Manual page ${prog}.1" VERBATIM)
  # Installed compressed, as Debian's man expects them.
  add_custom_command(OUTPUT ${vexel_man_dir}/${prog}.1.gz
    COMMAND gzip -9nc ${vexel_man_dir}/${prog}.1 > ${vexel_man_dir}/${prog}.1.gz
    DEPENDS ${vexel_man_dir}/${prog}.1 VERBATIM)
  list(APPEND vexel_man_pages ${vexel_man_dir}/${prog}.1.gz)
endforeach()
if(vexel_man_pages)
  add_custom_target(man ALL DEPENDS ${vexel_man_pages})
  install(FILES ${vexel_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()
