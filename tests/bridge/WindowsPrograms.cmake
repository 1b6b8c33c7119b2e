# Built by the Windows build only, and run under Wine by the Linux build's tst_bridge_wine:
# the bridge's Windows seams on their own, and two stand-ins for wpcap.dll.
add_executable(bridge_peer ${CMAKE_CURRENT_LIST_DIR}/bridge_peer.cpp
  ${PROJECT_SOURCE_DIR}/bridge/ProcessCommandRunner.cpp ${PROJECT_SOURCE_DIR}/bridge/CommandInterpreter_win.cpp
  ${PROJECT_SOURCE_DIR}/bridge/CaptureDevice_win.cpp)
target_include_directories(bridge_peer PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(bridge_peer PRIVATE Qt5::Core PkgConfig::PCAP talvo_options)
foreach(kind full partial)
  add_library(fake_wpcap_${kind} SHARED ${CMAKE_CURRENT_LIST_DIR}/fake_wpcap.c)
  set_target_properties(fake_wpcap_${kind} PROPERTIES OUTPUT_NAME wpcap PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/fake-wpcap-${kind}
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/fake-wpcap-${kind})
  target_compile_definitions(fake_wpcap_${kind} PRIVATE BUILDING_PCAP $<$<STREQUAL:${kind},partial>:PARTIAL>)
  target_link_libraries(fake_wpcap_${kind} PRIVATE PkgConfig::PCAP talvo_options)
endforeach()
