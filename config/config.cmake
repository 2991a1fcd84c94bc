# vask_config: the hashed INI reader and the message catalogue. The catalogue
# calls the patcher's platform layer (message box, process exit), which the
# program that links this library provides.
add_library(vask_config STATIC
  ${CMAKE_CURRENT_LIST_DIR}/hash_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hash_ini.cpp
  ${CMAKE_CURRENT_LIST_DIR}/catalogue.cpp
)
target_link_libraries(vask_config PUBLIC vask)
