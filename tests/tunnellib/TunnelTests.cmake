# Tunnel tests start the relay and the agent as processes so they can be killed.
include_guard(GLOBAL)

add_library(talvo_tunnel_fixture STATIC
  ${CMAKE_CURRENT_LIST_DIR}/TunnelFixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TunnelFixture.h)
target_include_directories(talvo_tunnel_fixture PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(talvo_tunnel_fixture PUBLIC talvo_core talvo_test_support Qt5::Test)
target_compile_definitions(talvo_tunnel_fixture PRIVATE
  TALVO_RELAY_BIN="$<TARGET_FILE:talvo-relay>"
  TALVO_PANEL_BIN="$<TARGET_FILE:talvo-panel>")

function(talvo_add_tunnel_test name)
  talvo_add_test(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE talvo_tunnel_fixture)
  add_dependencies(${name} talvo-relay talvo-panel)
endfunction()
