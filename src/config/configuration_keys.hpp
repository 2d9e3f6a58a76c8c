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
inline constexpr const char* adminGroupKey = "adminGroup";
inline constexpr const char* weakenDelayKey = "weakenDelay";
inline constexpr const char* historyDaysKey = "historyDays";
inline constexpr const char* engineKey = "engine";
// vosk-dashboard's own; the daemon passes them by.
inline constexpr const char* dashboardListenKey = "dashboardListen";
inline constexpr const char* dashboardCertificateKey = "dashboardCertificate";
inline constexpr const char* dashboardKeyKey = "dashboardKey";

// Every top-level key the file may hold; any other is reported as a slip.
inline constexpr const char* knownKeys[] = {
    blockingEnabledKey, strictModeKey,        sitesDataKey,  scheduleKey,    pausedUntilKey, lockedUntilKey,
    encryptedDnsServersKey, gatewayInterfacesKey, adminGroupKey, weakenDelayKey, historyDaysKey, engineKey,
    dashboardListenKey,     dashboardCertificateKey, dashboardKeyKey};

}  // namespace vosk::config
