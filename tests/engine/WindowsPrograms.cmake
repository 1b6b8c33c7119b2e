# Built by the Windows build only, and run under Wine by the Linux build's tests.
# The tool's COM port alone, as the engine drives it (tst_comport_wine).
add_executable(comport_peer ${CMAKE_CURRENT_LIST_DIR}/comport_peer.cpp
  ${PROJECT_SOURCE_DIR}/engine/PcSerialPort.h ${PROJECT_SOURCE_DIR}/engine/PcSerialPort_win.cpp)
target_include_directories(comport_peer PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(comport_peer PRIVATE Qt5::Core talvo_options)
