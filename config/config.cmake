# vask_config: the hashed INI reader, the message catalogue and the message
# box it shows its texts in.
add_library(vask_config STATIC
  ${CMAKE_CURRENT_LIST_DIR}/hash_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hash_ini.cpp
  ${CMAKE_CURRENT_LIST_DIR}/catalogue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/message_box_${VASK_PLATFORM}.cpp
)
target_link_libraries(vask_config PUBLIC vask)
if(WIN32)
  target_link_libraries(vask_config PUBLIC user32)
endif()
