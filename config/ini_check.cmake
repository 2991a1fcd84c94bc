# vask_ini_check: the maker's check of a patch's INI (used by patchkit). The
# catalogue it formats with calls the message box of the patcher's platform
# layer, which the check never shows.
add_library(vask_ini_check STATIC ${CMAKE_CURRENT_LIST_DIR}/ini_check.cpp)
target_link_libraries(vask_ini_check PUBLIC vask_config vask_platform)
