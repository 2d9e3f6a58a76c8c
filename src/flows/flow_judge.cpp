#include "flows/flow_judge.hpp"

#include "provider/constants.hpp"

namespace vosk {

HostExtraction inspectFirstBytes(std::span<const std::uint8_t> bytes, std::string_view portText) {
  // Exactly one parser per flow, chosen by the port and, on plain HTTP, by the
  // HTTP/2 preface; it sees the whole buffer every time.
  HostExtraction extraction = portText == tlsPortText        ? extractTLSServerName(bytes)
                              : startsWithHTTP2Preface(bytes) ? extractHTTP2Host(bytes)
                                                              : extractHTTPHost(bytes);
  extraction.needsMoreData = extraction.needsMoreData && !extraction.host && bytes.size() < maxSniffBytes;
  return extraction;
}

std::string portTextOf(const Flow& flow) {
  const auto endpoint = std::dynamic_pointer_cast<const HostEndpoint>(flow.remoteEndpoint());
  return endpoint ? endpoint->port() : std::string();
}

bool readsHTTP(std::string_view portText) { return portText != tlsPortText; }

void logSniffTimedOut(const Logger& log, std::string_view portText) {
  log.log("⏱️ Flow to :{} sent no data within {}s while sniffing, closing", portText,
          static_cast<long>(sniffReadTimeout));
}

}  // namespace vosk
