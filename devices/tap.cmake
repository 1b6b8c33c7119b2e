# OpenTun, the TAP device in routed mode, exported from the executable.
target_sources(talvo_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/OpenTun.h
  ${CMAKE_CURRENT_LIST_DIR}/OpenTunAddress.h)
if(WIN32)
  target_sources(talvo_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/OpenTun_win.cpp)
  target_link_libraries(talvo_core PUBLIC iphlpapi)
else()
  target_sources(talvo_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/OpenTun_linux.cpp)
endif()
