#pragma once

#include <string_view>

// The tunnel framing's tags, for the framing module's own sources.
namespace framing::tags {
inline constexpr std::string_view kPort = "COM#";
inline constexpr std::string_view kMode = "COM#PCAP#";
inline constexpr std::string_view kPortRefused = "COM#NULL";
inline constexpr std::string_view kDataTag = "PLC#";
inline constexpr std::string_view kSerialData = "PLC#SK01";
inline constexpr std::string_view kDisconnect = "PLC#disconnect";
inline constexpr std::string_view kFrameStart = "PCP#";
inline constexpr std::string_view kFrameEnd = "END#";
inline constexpr std::string_view kMacIp = "PCPMACIP#";
} // namespace framing::tags
