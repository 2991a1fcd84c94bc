# Fault injection: the LZSS file and the pool over failing parents; hostile
# names through the real patchkit (POSIX); the builder's proof of a damaged patch.
vask_test(fault_archive_test ${CMAKE_CURRENT_LIST_DIR}/fault_test.cpp ${CMAKE_CURRENT_LIST_DIR}/../support/fault_file.cpp)
target_link_libraries(fault_archive_test PRIVATE vask_archive_open vask_builder)
if(NOT WIN32 AND TARGET patchkit)
  vask_test(extract_names_test ${CMAKE_CURRENT_LIST_DIR}/fault_names_test.cpp)
  target_compile_definitions(extract_names_test PRIVATE PATCHKIT_BIN="$<TARGET_FILE:patchkit>")
  add_dependencies(extract_names_test patchkit)
endif()
