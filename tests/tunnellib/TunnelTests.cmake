# Tunnel tests start the relay and the agent as processes so they can be killed.
include_guard(GLOBAL)

function(talvo_add_tunnel_test name)
  talvo_add_test(${name} ${ARGN}
    ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/TunnelFixture.cpp
    ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/TunnelFixture.h)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
  target_compile_definitions(${name} PRIVATE
    TALVO_RELAY_BIN="$<TARGET_FILE:talvo-relay>"
    TALVO_PANEL_BIN="$<TARGET_FILE:talvo-panel>")
  add_dependencies(${name} talvo-relay talvo-panel)
endfunction()
