# The seed corpora of the libFuzzer targets replay as plain tests in every build:
# vexel_add_fuzz_replay(NAME HARNESS CORPUS) builds the harness with a main() that runs each
# seed once, registered as the test fuzz_replay.NAME.
function(vexel_add_fuzz_replay name harness corpus)
  add_executable(replay_${name} ${harness} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/replay_main.cpp)
  target_link_libraries(replay_${name} PRIVATE vexel_static)
  target_include_directories(replay_${name} PRIVATE ${PROJECT_SOURCE_DIR})
  vexel_apply_flags(replay_${name})
  add_test(NAME fuzz_replay.${name} COMMAND replay_${name} ${corpus})
endfunction()

foreach(name stream frame_file lens_param calib_pkg calib_file control_reply recording)
  vexel_add_fuzz_replay(${name} ${CMAKE_CURRENT_LIST_DIR}/fuzz_${name}.cpp ${CMAKE_CURRENT_LIST_DIR}/corpus/${name})
endforeach()
# The simulated camera's scene files and its calibration cache.
if(TARGET vexel_sim)
  foreach(name scene_json rig_cache)
    vexel_add_fuzz_replay(${name} ${CMAKE_CURRENT_LIST_DIR}/fuzz_${name}.cpp ${CMAKE_CURRENT_LIST_DIR}/corpus/${name})
    target_link_libraries(replay_${name} PRIVATE vexel_sim)
  endforeach()
endif()
# The viewer's request reader and control parser.
if(TARGET vexel_viewer)
  foreach(name view_request view_control)
    vexel_add_fuzz_replay(${name} ${CMAKE_CURRENT_LIST_DIR}/fuzz_${name}.cpp ${CMAKE_CURRENT_LIST_DIR}/corpus/${name})
    target_link_libraries(replay_${name} PRIVATE vexel_viewer)
  endforeach()
endif()
