#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vosk {

// Provider-wide limits. Durations in seconds.
inline constexpr std::int64_t maxTrackedFlows = 1000;
inline constexpr double sweepInterval = 60.0;
inline constexpr double idleFlowLimit = 1200.0;
inline constexpr double blockedNotifyWindow = 30.0;
inline constexpr double startupNotifyGrace = 10.0;
inline constexpr double flowOpenTimeout = 10.0;
inline constexpr double sniffReadTimeout = 15.0;
// A ClientHello with a long list of extensions or a large header block still
// fits: a first read that stops at the cap would otherwise go unjudged.
inline constexpr std::size_t maxSniffBytes = 65536;
inline constexpr double upstreamConnectTimeout = 15.0;
inline constexpr double initialBytesSendTimeout = 15.0;
inline constexpr std::string_view tunnelRemoteAddress = "127.0.0.1";

inline constexpr std::string_view logSubsystem = "com.brelvant.vosk.VoskNetworkFilter";
inline constexpr std::string_view logCategory = "transparentproxy";
inline constexpr std::string_view siteBlockedNotificationName = "com.brelvant.vosk.siteBlocked";
// The one site that lists the encrypted-DNS endpoints of strict mode.
inline constexpr std::string_view encryptedDnsSiteName = "encrypted DNS";

}  // namespace vosk
