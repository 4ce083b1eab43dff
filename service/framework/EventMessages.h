// The ids and texts of the service's event-log messages. On Windows the texts live in the program's
// message table (KestrelMessages.mc, compiled in by kestrel_add_service_messages); hosts without a message
// file render records from the list below. Both carry the same texts, each ending in CR LF; "%1" is the
// record's insertion string.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kestrel::events {

inline constexpr std::uint32_t kServiceInstalled = 100;
inline constexpr std::uint32_t kServiceRemoved = 101;
inline constexpr std::uint32_t kServiceNotRemoved = 102;
inline constexpr std::uint32_t kHandlerNotInstalled = 103;
inline constexpr std::uint32_t kInitializationFailed = 104;
inline constexpr std::uint32_t kServiceStarted = 105;
inline constexpr std::uint32_t kUnsupportedRequest = 106;
inline constexpr std::uint32_t kDebugMessage = 107;
inline constexpr std::uint32_t kServiceStopped = 108;
inline constexpr std::uint32_t kDeviceChange = 111;

// Every message id with its text.
std::vector<std::pair<std::uint32_t, std::wstring>> MessageTexts();

}  // namespace kestrel::events
