# The end-to-end benchmark's helper (apply_bench.sh runs it): the folder
# trees patches are built from, and the decoding of a patch's container alone.
add_executable(apply_harness
  ${CMAKE_CURRENT_LIST_DIR}/apply_harness.cpp
  ${CMAKE_CURRENT_LIST_DIR}/corpus.cpp
)
target_link_libraries(apply_harness PRIVATE vask_archive_open vask_all)
