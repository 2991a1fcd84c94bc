# Archives under fault injection and hostile names: the LZSS file and the
# pool file over failing parents, extraction of packs with names that would
# leave the target folder.
vask_test(fault_archive_test
  ${CMAKE_CURRENT_LIST_DIR}/fault_lzss_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fault_pool_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../support/fault_file.cpp)
target_link_libraries(fault_archive_test PRIVATE vask_archive_open)
