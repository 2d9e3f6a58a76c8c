#pragma once

#include <nlohmann/json.hpp>

#include <string_view>

// The control API's names, spelled once for the daemon and its clients.
namespace vosk::control {

#define VOSK_CONTROL_INTERFACE "com.brelvant.vosk.Control"
inline constexpr const char* controlInterface = VOSK_CONTROL_INTERFACE;

inline constexpr const char* statusMethod = VOSK_CONTROL_INTERFACE ".Status";
inline constexpr const char* listSitesMethod = VOSK_CONTROL_INTERFACE ".ListSites";
inline constexpr const char* addDomainsMethod = VOSK_CONTROL_INTERFACE ".AddDomains";
inline constexpr const char* removeMethod = VOSK_CONTROL_INTERFACE ".Remove";
inline constexpr const char* setBlockingMethod = VOSK_CONTROL_INTERFACE ".SetBlocking";
inline constexpr const char* pauseMethod = VOSK_CONTROL_INTERFACE ".Pause";
inline constexpr const char* lockMethod = VOSK_CONTROL_INTERFACE ".Lock";
inline constexpr const char* setStrictModeMethod = VOSK_CONTROL_INTERFACE ".SetStrictMode";
inline constexpr const char* addWindowMethod = VOSK_CONTROL_INTERFACE ".AddWindow";
inline constexpr const char* removeWindowMethod = VOSK_CONTROL_INTERFACE ".RemoveWindow";
inline constexpr const char* clearScheduleMethod = VOSK_CONTROL_INTERFACE ".ClearSchedule";
inline constexpr const char* importMethod = VOSK_CONTROL_INTERFACE ".Import";
inline constexpr const char* cancelPendingMethod = VOSK_CONTROL_INTERFACE ".CancelPending";
inline constexpr const char* historyMethod = VOSK_CONTROL_INTERFACE ".History";

inline constexpr const char* refusedError = VOSK_CONTROL_INTERFACE ".Refused";
inline constexpr const char* invalidInputError = VOSK_CONTROL_INTERFACE ".InvalidInput";
inline constexpr const char* tooLargeError = VOSK_CONTROL_INTERFACE ".TooLarge";
inline constexpr const char* busyError = VOSK_CONTROL_INTERFACE ".Busy";
inline constexpr const char* timeoutError = VOSK_CONTROL_INTERFACE ".Timeout";

#undef VOSK_CONTROL_INTERFACE

inline constexpr const char* getInfoMethod = "org.varlink.service.GetInfo";
inline constexpr const char* getInterfaceDescriptionMethod = "org.varlink.service.GetInterfaceDescription";

// The varlink description of the interface, as GetInterfaceDescription gives it.
std::string_view interfaceDescription();
// GetInfo's reply parameters.
nlohmann::json serviceInfo(std::string_view version);

}  // namespace vosk::control
