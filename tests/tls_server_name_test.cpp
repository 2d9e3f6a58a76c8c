#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "policy/host_extraction.hpp"
#include "support/host_extraction_results.hpp"
#include "support/test_data.hpp"
#include "support/tls_records.hpp"

namespace vosk {
namespace {

using test::found;
using test::kIncomplete;
using test::kNotFound;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kSupportedGroups = 10;
constexpr std::uint16_t kServerName = 0;
constexpr std::uint8_t kHostName = 0;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
Bytes u16(std::size_t value) { return {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)}; }
Bytes ascii(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes extension(std::uint16_t type, const Bytes& data) { return concat({u16(type), u16(data.size()), data}); }
Bytes nameEntry(std::uint8_t type, const Bytes& name) { return concat({{type}, u16(name.size()), name}); }
Bytes serverNameExtension(std::initializer_list<Bytes> entries) {
  const Bytes list = concat(entries);
  return extension(kServerName, concat({u16(list.size()), list}));
}
Bytes supportedGroupsExtension() { return extension(kSupportedGroups, concat({u16(4), {0x00, 0x1D, 0x00, 0x17}})); }

// Version, random, a 32-byte session id, two cipher suites, null compression.
Bytes helloFieldsBeforeExtensions() {
  return concat({{0x03, 0x03}, Bytes(32, 0xA5), {32}, Bytes(32, 0x5A), u16(4), {0x13, 0x01, 0x13, 0x02}, {1, 0}});
}

Bytes handshakeRecord(const Bytes& helloBody) {
  const Bytes message = concat({{0x01, 0x00}, u16(helloBody.size()), helloBody});
  return concat({{0x16, 0x03, 0x01}, u16(message.size()), message});
}

Bytes clientHello(const Bytes& extensions) {
  return handshakeRecord(concat({helloFieldsBeforeExtensions(), u16(extensions.size()), extensions}));
}

Bytes clientHelloFor(std::string_view name) {
  return clientHello(concat({supportedGroupsExtension(), serverNameExtension({nameEntry(kHostName, ascii(name))})}));
}

HostExtraction parse(std::span<const std::uint8_t> bytes) { return extractTLSServerName(bytes); }

TEST(TlsServerName, WholeAndPartialHellos) {
  const Bytes hello = clientHelloFor("blocked.test");
  const Bytes empty{0x16, 0x03, 0x01, 0x00, 0x00};  // servers skip empty handshake records
  Bytes serverHello = clientHelloFor("allowed.test");
  serverHello[5] = 0x02;
  Bytes declaredLonger = clientHelloFor("allowed.test");
  declaredLonger[3] = 0x02;  // declares 512 bytes, more than were sent
  declaredLonger[4] = 0x00;
  const Bytes entry = nameEntry(kHostName, ascii("allowed.test"));
  Bytes overlongExtension = clientHello(concat({supportedGroupsExtension(), serverNameExtension({entry})}));
  overlongExtension[overlongExtension.size() - entry.size() - 4] = 0x7F;
  Bytes overlongName = clientHelloFor("allowed.test");
  overlongName[overlongName.size() - 14] = 0x7F;
  const struct {
    const char* what;
    Bytes bytes;
    HostExtraction expected;
  } cases[] = {
      {"nothing", {}, kIncomplete},
      {"a record header cut short", {0x16, 0x03, 0x01, 0x02}, kIncomplete},
      {"four bytes of HTTP", ascii("GET "), kIncomplete},
      {"HTTP", ascii("GET / HTTP/1.1\r\nHost: allowed.test\r\n\r\n"), kNotFound},
      {"a ServerHello", serverHello, kNotFound},
      {"a record longer than sent, the name in it", declaredLonger, kIncomplete},
      {"the name as sent", clientHelloFor("AlLoWeD.TeSt."), found("AlLoWeD.TeSt.")},
      {"UTF-8", clientHelloFor("b\xC3\xBC" "cher.test"), found("b\xC3\xBC" "cher.test")},
      {"an empty name", clientHelloFor(""), found("")},
      {"no server name", clientHello(supportedGroupsExtension()), kNotFound},
      {"no extensions", clientHello({}), kNotFound},
      {"the extensions length not yet sent", handshakeRecord(helloFieldsBeforeExtensions()), kIncomplete},
      {"empty records first", concat({empty, empty, hello}), found("blocked.test")},
      {"only empty records", empty, kIncomplete},
      {"empty records, then a header cut short", concat({empty, empty, {0x16, 0x03}}), kIncomplete},
      {"an empty record, then HTTP", concat({empty, ascii("GET / HTTP/1.1\r\n")}), kNotFound},
      {"an empty alert record first", concat({{0x15, 0x03, 0x01, 0x00, 0x00}, hello}), kNotFound},
      // A list length past the end is cut at the buffer; the entry inside still counts.
      {"a list length past the end", clientHello(extension(kServerName, concat({u16(0xFFFF), entry}))),
       found("allowed.test")},
      // An extension or an entry that overruns the bytes received ends the search.
      {"an extension past the end", overlongExtension, kNotFound},
      {"a name past the end", overlongName, kNotFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(parse(c.bytes), c.expected);
  }
}

TEST(TlsServerName, SkipsEntriesThatAreNotUsableHostNames) {
  const Bytes valid = nameEntry(kHostName, ascii("allowed.test"));
  EXPECT_EQ(parse(clientHello(serverNameExtension({nameEntry(1, ascii("other")), valid}))), found("allowed.test"));

  for (const Bytes& invalid : {Bytes{0xC3, 0x28}, Bytes{0xC0, 0xAF}, Bytes{0xED, 0xA0, 0x80}, Bytes{0xF4, 0x90, 0x80, 0x80},
                               Bytes{0xE2, 0x82}}) {
    const Bytes entry = nameEntry(kHostName, invalid);
    EXPECT_EQ(parse(clientHello(serverNameExtension({entry, valid}))), found("allowed.test"));
    EXPECT_EQ(parse(clientHello(serverNameExtension({entry}))), kNotFound);
  }
}

TEST(TlsServerName, ClientHelloSplitOverRecords) {
  const Bytes hello = clientHelloFor("allowed.test");
  for (const std::size_t fragment : {1, 2, 3, 4, 7, 64}) {
    const std::size_t lengths[] = {fragment};
    const Bytes records = test::splitIntoRecords(hello, lengths);
    EXPECT_EQ(parse(records), found("allowed.test")) << "fragments of " << fragment;

    // Whatever follows the record that completes the message is not read.
    Bytes withFollowingData = records;
    withFollowingData.insert(withFollowingData.end(), {0x17, 0x03, 0x03, 0xFF});
    EXPECT_EQ(parse(withFollowingData), found("allowed.test"));
  }

  const std::size_t halves[] = {hello.size() / 2};
  Bytes foreignContinuation = test::splitIntoRecords(hello, halves);
  foreignContinuation[5 + halves[0]] = 0x17;
  EXPECT_EQ(parse(foreignContinuation), kNotFound);
}

TEST(TlsServerName, RealClientHellosAtEveryPrefixAndSplit) {
  const auto files = test::testDataFiles("tls");
  ASSERT_GE(files.size(), 5U);
  const std::size_t splits[] = {1, 5, 100, 40, 700};
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const Bytes hello = test::readFileBytes(file);
    const Bytes records = test::splitIntoRecords(hello, splits);
    for (const Bytes& bytes : {hello, records}) {
      for (std::size_t n = 0; n < bytes.size(); ++n) {
        ASSERT_EQ(parse(std::span(bytes).first(n)), kIncomplete) << "prefix of " << n << " of " << bytes.size();
      }
      EXPECT_EQ(parse(bytes), found("allowed.test"));
    }
  }
}

}  // namespace
}  // namespace vosk
