vask_test(pack_test ${CMAKE_CURRENT_LIST_DIR}/pack_test.cpp)
target_link_libraries(pack_test PRIVATE vask_pack)
target_compile_definitions(pack_test PRIVATE VASK_PACK_CORPUS="${CMAKE_CURRENT_LIST_DIR}/../fuzz/corpus/pack")
