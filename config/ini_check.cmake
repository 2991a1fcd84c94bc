# vask_ini_check: the maker's check of a patch's INI (used by patchkit).
add_library(vask_ini_check STATIC ${CMAKE_CURRENT_LIST_DIR}/ini_check.cpp)
target_link_libraries(vask_ini_check PUBLIC vask_config)
