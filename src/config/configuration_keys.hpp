#pragma once

namespace vosk::config {

// The keys of the configuration file, as the daemon reads them and voskctl
// writes them. The provider reads its own keys from the dictionary it is given.
inline constexpr const char* blockingEnabledKey = "blockingEnabled";
inline constexpr const char* strictModeKey = "strictMode";
inline constexpr const char* sitesDataKey = "sitesData";
inline constexpr const char* domainsKey = "domains";  // of each site
inline constexpr const char* scheduleKey = "schedule";
inline constexpr const char* pausedUntilKey = "pausedUntil";
inline constexpr const char* lockedUntilKey = "lockedUntil";
inline constexpr const char* encryptedDnsServersKey = "encryptedDnsServers";
inline constexpr const char* gatewayInterfacesKey = "gatewayInterfaces";

}  // namespace vosk::config
