# The simulator's model and message handling, without the pseudo-terminal loop: the one list
# that sim/CMakeLists.txt and the fuzz targets build from.
set(zelkor_sim_sources
  arm_model.cpp
  arbelon_sim.cpp
  hand.cpp
  trajectory_file.cpp
  handle_sim.cpp
  faults.cpp
  framer.cpp
  line.cpp
  device_end.cpp
  options.cpp
  log.cpp
)
list(TRANSFORM zelkor_sim_sources PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
