#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string_view>

// The control API as served on the control socket: its interface description
// and the names server and client share, each spelt here once.
namespace vosk::control {

inline constexpr const char* serviceInterface = "org.varlink.service";
inline constexpr const char* controlInterface = "com.brelvant.vosk.Control";

inline constexpr const char* getInfoMethod = "org.varlink.service.GetInfo";
inline constexpr const char* getInterfaceDescriptionMethod = "org.varlink.service.GetInterfaceDescription";

inline constexpr const char* statusMethod = "com.brelvant.vosk.Control.Status";
inline constexpr const char* listSitesMethod = "com.brelvant.vosk.Control.ListSites";
inline constexpr const char* addDomainsMethod = "com.brelvant.vosk.Control.AddDomains";
inline constexpr const char* removeMethod = "com.brelvant.vosk.Control.Remove";
inline constexpr const char* setBlockingMethod = "com.brelvant.vosk.Control.SetBlocking";
inline constexpr const char* pauseMethod = "com.brelvant.vosk.Control.Pause";
inline constexpr const char* lockMethod = "com.brelvant.vosk.Control.Lock";
inline constexpr const char* setStrictModeMethod = "com.brelvant.vosk.Control.SetStrictMode";
inline constexpr const char* addWindowMethod = "com.brelvant.vosk.Control.AddWindow";
inline constexpr const char* removeWindowMethod = "com.brelvant.vosk.Control.RemoveWindow";
inline constexpr const char* clearScheduleMethod = "com.brelvant.vosk.Control.ClearSchedule";
// Called with "upgrade": its `bytes` raw bytes, the list, follow the call.
inline constexpr const char* importMethod = "com.brelvant.vosk.Control.Import";
inline constexpr const char* cancelPendingMethod = "com.brelvant.vosk.Control.CancelPending";
inline constexpr const char* historyMethod = "com.brelvant.vosk.Control.History";

inline constexpr const char* refusedError = "com.brelvant.vosk.Control.Refused";
inline constexpr const char* invalidInputError = "com.brelvant.vosk.Control.InvalidInput";
inline constexpr const char* tooLargeError = "com.brelvant.vosk.Control.TooLarge";
inline constexpr const char* busyError = "com.brelvant.vosk.Control.Busy";
inline constexpr const char* timeoutError = "com.brelvant.vosk.Control.Timeout";

// The description of com.brelvant.vosk.Control in the varlink interface
// language, as GetInterfaceDescription returns it.
std::string_view interfaceDescription();

// GetInfo's reply parameters.
nlohmann::json serviceInfo(std::string_view version);

}  // namespace vosk::control
