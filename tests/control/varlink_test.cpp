#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "control/interface.hpp"
#include "control/varlink.hpp"

namespace vosk::control {
namespace {

using namespace std::string_literals;
using nlohmann::json;

// `levels` arrays, one in the other.
std::string nestedArrays(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

TEST(VarlinkTest, RefusesMalformedCallsNamingTheFault) {
  struct Case {
    std::string message;
    std::string parameter;
  };
  const std::vector<Case> cases = {
      {"", "call"},
      {"not json", "call"},
      {"[1]", "call"},
      {R"({"method": "a.B")", "call"},
      {R"({"method": "a.B"} {})", "call"},
      {"{\"method\": \"a.\xff\"}", "call"},  // not UTF-8
      {"{}", "method"},
      {R"({"method": 1})", "method"},
      {R"({"method": "a.B", "parameters": []})", "parameters"},
      {R"({"method": "a.B", "parameters": null})", "parameters"},
      {R"({"method": "a.B", "oneway": 1})", "oneway"},
      {R"({"method": "a.B", "more": "true"})", "more"},
      {R"({"method": "a.B", "upgrade": null})", "upgrade"},
      {R"({"method": "a.B", "Method": "a.C"})", "Method"},
      // The value of "x" sits two levels down, its innermost array one more level each.
      {R"({"method": "a.B", "parameters": {"x": )" + nestedArrays(maxNesting) + "}}", "parameters"},
  };
  for (const Case& c : cases) {
    const auto parsed = parseCall(c.message);
    ASSERT_TRUE(std::holds_alternative<WireError>(parsed)) << c.message;
    EXPECT_EQ(std::get<WireError>(parsed).error, invalidParameterError) << c.message;
    EXPECT_EQ(std::get<WireError>(parsed).parameters, json({{"parameter", c.parameter}})) << c.message;
  }
}

TEST(VarlinkTest, CallsAndRepliesRoundTrip) {
  const json deepest = json::parse(R"({"x": )" + nestedArrays(maxNesting - 1) + "}");
  const std::vector<Call> calls = {
      {statusMethod},
      {addDomainsMethod, {{"site", "Vidéo"}, {"domains", {"video.test", "cdn.video.test"}}}},
      {importMethod, {{"site", "Ads"}, {"bytes", 12}}, false, false, true},
      {"a.B", deepest, true, true, false},
  };
  for (const Call& call : calls) {
    const std::string encoded = encodeCall(call);
    ASSERT_EQ(encoded.find('\0'), encoded.size() - 1) << encoded;
    const auto parsed = parseCall(std::string_view(encoded).substr(0, encoded.size() - 1));
    ASSERT_TRUE(std::holds_alternative<Call>(parsed)) << encoded;
    const Call& back = std::get<Call>(parsed);
    EXPECT_EQ(back.method, call.method);
    EXPECT_EQ(back.parameters, call.parameters);
    EXPECT_EQ(std::tie(back.oneway, back.more, back.upgrade), std::tie(call.oneway, call.more, call.upgrade));
  }

  const auto strip = [](const std::string& message) { return std::string_view(message).substr(0, message.size() - 1); };
  const json parameters = {{"outcome", {{"outcome", "applied"}, {"message", "bad \xff byte"}}}};
  const auto reply = parseReply(strip(encodeReply(parameters, true)));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->parameters["outcome"]["message"], "bad \xEF\xBF\xBD byte");  // encoding never throws
  EXPECT_TRUE(reply->continues);
  EXPECT_FALSE(reply->error);
  const auto error = parseReply(strip(encodeError(tooLargeError, {{"limit", 3}})));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->error, tooLargeError);
  EXPECT_EQ(error->parameters, json({{"limit", 3}}));
  EXPECT_FALSE(error->continues);

  EXPECT_TRUE(parseReply(R"({"parameters": {}, "newer": 1})"));
  for (const char* notReply : {"[]", R"({"error": 1})", R"({"parameters": []})", R"({"continues": "no"})"}) {
    EXPECT_FALSE(parseReply(notReply)) << notReply;
  }
}

// Messages of a stream, taking everything there is after each chunk of `size` bytes.
std::vector<std::string> messagesInChunks(const std::string& stream, std::size_t size) {
  MessageReader reader;
  std::vector<std::string> messages;
  for (std::size_t at = 0; at < stream.size(); at += size) {
    EXPECT_TRUE(reader.append(std::string_view(stream).substr(at, size)));
    while (auto message = reader.next()) messages.push_back(*message);
  }
  EXPECT_EQ(reader.pending(), 0u);
  return messages;
}

TEST(VarlinkReaderTest, SplitsMessagesAcrossChunks) {
  const std::string stream = "{\"a\": 1}\0{}\0\0{\"b\": \"x\"}\0"s;
  for (const std::size_t size : {1, 2, 3, 7, 100}) {
    EXPECT_EQ(messagesInChunks(stream, size), (std::vector<std::string>{"{\"a\": 1}", "{}", "", "{\"b\": \"x\"}"}))
        << size;
  }

  // Long enough for the reader to move what it holds to the front now and then.
  std::string many;
  std::vector<std::string> numbered;
  for (int n = 0; n < 20'000; ++n) {
    numbered.push_back(json({{"n", n}}).dump());
    many += numbered.back() + '\0';
  }
  EXPECT_EQ(messagesInChunks(many, 7), numbered);

  MessageReader reader;
  reader.append("{}\0{\"met"s);
  EXPECT_EQ(reader.pending(), 5u);
  EXPECT_EQ(reader.next(), "{}");
  EXPECT_EQ(reader.next(), std::nullopt);
}

TEST(VarlinkReaderTest, HandsBytesAfterAnUpgradeCallOverRaw) {
  const std::string raw = "a.test\0b\0"s;
  const std::string stream = encodeCall({importMethod, {{"bytes", raw.size()}}, false, false, true}) + raw + "{}\0"s;
  for (std::size_t size = 1; size <= stream.size(); ++size) {
    MessageReader reader;
    std::optional<std::string> call;
    std::string taken;
    std::vector<std::string> after;
    for (std::size_t at = 0; at < stream.size(); at += size) {
      ASSERT_TRUE(reader.append(std::string_view(stream).substr(at, size)));
      if (!call) call = reader.next();
      if (call) taken += reader.takeRaw(raw.size() - taken.size());
      if (taken.size() == raw.size()) {
        while (auto message = reader.next()) after.push_back(*message);
      }
    }
    EXPECT_EQ(taken, raw) << size;
    EXPECT_EQ(after, std::vector<std::string>{"{}"}) << size;
  }
}

TEST(VarlinkReaderTest, AMessageOverTheCapSpoilsTheStream) {
  const std::string longest(maxMessageBytes, 'x');
  MessageReader atCap;
  EXPECT_TRUE(atCap.append(longest));
  EXPECT_TRUE(atCap.append("\0"s));
  EXPECT_EQ(atCap.next(), longest);

  MessageReader unterminated;
  EXPECT_TRUE(unterminated.append("{}\0"s + longest));
  EXPECT_FALSE(unterminated.append("x"));
  EXPECT_TRUE(unterminated.spoilt());
  EXPECT_FALSE(unterminated.append("\0{}\0"s));
  EXPECT_EQ(unterminated.next(), std::nullopt);

  // Complete in one chunk: the messages before it are taken, nothing after.
  MessageReader complete;
  EXPECT_TRUE(complete.append("{}\0"s + longest + "x\0{}\0"s));
  EXPECT_EQ(complete.next(), "{}");
  EXPECT_EQ(complete.next(), std::nullopt);
  EXPECT_TRUE(complete.spoilt());
  EXPECT_EQ(complete.next(), std::nullopt);
  EXPECT_EQ(complete.takeRaw(3), "");
}

// Server and client spell the names once, in interface.hpp; they must be the IDL's.
TEST(VarlinkInterfaceTest, NamesAreTheDescriptions) {
  const std::string_view idl = interfaceDescription();
  const std::string prefix = controlInterface + "."s;
  const auto declared = [&](const char* name, const char* kind, const char* after) {
    const std::string_view text(name);
    return text.starts_with(prefix) && idl.find(kind + std::string(text.substr(prefix.size())) + after) != idl.npos;
  };
  for (const char* method : {statusMethod, listSitesMethod, addDomainsMethod, removeMethod, setBlockingMethod,
                             pauseMethod, lockMethod, setStrictModeMethod, addWindowMethod, removeWindowMethod,
                             clearScheduleMethod, importMethod, cancelPendingMethod, historyMethod}) {
    EXPECT_TRUE(declared(method, "\nmethod ", "(")) << method;
  }
  for (const char* error : {refusedError, invalidInputError, tooLargeError, busyError, timeoutError}) {
    EXPECT_TRUE(declared(error, "\nerror ", " (")) << error;
  }
  EXPECT_NE(idl.find("\ninterface "s + controlInterface + "\n"), idl.npos);
  EXPECT_EQ(serviceInfo("1.2")["interfaces"], json({serviceInterface, controlInterface}));
  EXPECT_EQ(serviceInfo("1.2")["version"], "1.2");
}

}  // namespace
}  // namespace vosk::control
