# Virtual serial port pairs: the manager, and the one platform file that says where the
# control library and the ports are found.
target_sources(talvo_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/VirtualPortsManager.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VirtualPortsManager.h
  ${CMAKE_CURRENT_LIST_DIR}/VirtualPortsPlatform.h)
if(WIN32)
  target_sources(talvo_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/VirtualPortsPlatform_win.cpp)
else()
  # The tool must look for the ports where the library publishes them: one shared answer.
  target_sources(talvo_core PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/VirtualPortsPlatform_linux.cpp
    ${PROJECT_SOURCE_DIR}/vserial/PortDirectory.cpp)
  # Loaded at run time, so nothing links it: build it whenever the tool is built.
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    add_dependencies(talvo_core vspdctl)
  endif()
endif()
