# cmake -DPROGRAM= -DNAME= -DVERSION= -DHELP2MAN= -DOUT= -P man_page.cmake
# One page per program: its --help, and for the vexel program each command's --help as a section.
get_filename_component(dir ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
set(include ${OUT}.include)
set(include_arg)
if(NAME STREQUAL "vexel")
  execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE top RESULT_VARIABLE rc)
  # CLI11 lists the commands under "SUBCOMMANDS:", one per line, name first.
  string(REGEX REPLACE ".*SUBCOMMANDS:\n" "" commands "${top}")
  string(REGEX MATCHALL "\n  [a-z][a-z-]*" names "\n${commands}")
  set(text "[COMMANDS]\n")
  foreach(name IN LISTS names)
    string(STRIP "${name}" name)
    execute_process(COMMAND ${PROGRAM} ${name} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
    if(rc EQUAL 0)
      string(REPLACE "\\" "\\\\" help "${help}")
      # A line that starts with a dot or a quote would be read as a request.
      string(REPLACE "\n." "\n\\&." help "\n${help}")
      string(REPLACE "\n'" "\n\\&'" help "${help}")
      string(APPEND text ".SS ${name}\n.nf\n${help}.fi\n")
    endif()
  endforeach()
  file(WRITE ${include} "${text}")
  set(include_arg --include=${include})
endif()
if(NAME STREQUAL "vexel-publish")
  # How a ROS 2 user elsewhere sees the camera; the options alone do not say.
  file(WRITE ${include} "[EXAMPLES]
.nf
vexel-publish --namespace cam_left --frame-id cam_left_optical
vexel-sim -- vexel-publish -n 300
vexel-publish --replay run.vxr --realtime
vexel-publish --listen --namespace cam_left -n 100
.fi
.PP
On a ROS 2 host of the same domain (ROS_DOMAIN_ID) the topics are /NS/depth/image_raw,
/NS/amplitude/image_raw, /NS/points and /NS/depth/camera_info; in rviz2 the fixed frame is the
\\fB--frame-id\\fR. Settings go as std_msgs/String on /NS/set (\\(lqintegration US\\(rq, \\(lqfps N\\(rq),
each answered on /NS/set_result.
[EXIT STATUS]
0 done, 1 the operation failed (no camera, DDS refused), 2 bad usage, 130 interrupted.
")
  set(include_arg --include=${include})
endif()
if(NAME STREQUAL "vexel")
  set(what "list, configure and capture from USB time-of-flight depth cameras")
elseif(NAME STREQUAL "vexel-publish")
  set(what "publish a time-of-flight depth camera on DDS under ROS 2 topic and type names")
else()
  set(what "run a program against simulated time-of-flight depth cameras")
endif()
execute_process(COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string=${VERSION} --name=${what}
                        ${include_arg} --output=${OUT} ${PROGRAM}
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man ${NAME}: ${err}")
endif()
