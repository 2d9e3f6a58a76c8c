#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "support/fake_flows.hpp"
#include "support/http2_stream.hpp"
#include "support/request_frames.hpp"

namespace vosk::test {
namespace {

struct Case {
  const char* name;
  std::string stream;
  std::string frames;  // as describe() puts them
};

// Each case is framed whole, in two pieces split at every byte, and one byte
// at a time: the frames are the same every time.
void expectFramedAlikeHoweverSplit(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes input = bytesOf(c.stream);
    const FramedStream whole = frameInPieces(input, {});
    EXPECT_EQ(describe(whole.frames), c.frames);
    EXPECT_EQ(whole.framedBytes + whole.passedBytes + whole.unframedBytes, input.size());
    std::vector<std::size_t> everyByte(input.size());
    std::iota(everyByte.begin(), everyByte.end(), 0);
    EXPECT_EQ(frameInPieces(input, everyByte).frames, whole.frames);
    for (std::size_t cut = 0; cut <= input.size(); ++cut) {
      ASSERT_EQ(frameInPieces(input, {cut}).frames, whole.frames) << "cut at " << cut;
    }
  }
}

TEST(HTTPRequestFramingTest, FramesRequestsAlikeHoweverTheyAreSplit) {
  const std::string get = "GET / HTTP/1.1\r\nHost: a.test\r\n\r\n";  // 32 bytes
  const std::vector<Case> cases{
      {"keep-alive", get + "GET /x HTTP/1.1\r\nhost: B.test:8080\r\n\r\n", "head 32 a.test | head 38 B.test"},
      {"a body that reads like a request",
       "POST / HTTP/1.1\r\nContent-Length: 38\r\nHost: a.test\r\n\r\nGET / HTTP/1.1\r\nHost: blocked.test\r\n\r\n" + get,
       "head 53 a.test | body 38 | head 32 a.test"},
      {"a length repeated alike", "PUT / HTTP/1.1\r\nContent-Length: 3\r\ncontent-length: 3\r\n\r\nabc" + get,
       "head 56 - | body 3 | head 32 a.test"},
      {"chunked, with extensions and trailers",
       "POST / HTTP/1.1\r\nHost: a.test\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n"
       "5;name=\"va;lue\"\r\nhello\r\nA \r\n0123456789\n0\r\nTrailer: x\r\n\r\n" + get,
       "head 67 a.test | framing 17 | body 5 | framing 2 | framing 4 | body 10 | framing 1 | framing 3 | "
       "framing 14 | head 32 a.test"},
      {"empty lines before a request, LF line ends", "\r\n\nGET / HTTP/1.0\nHost: a.test\n\n" + get,
       "head 32 a.test | head 32 a.test"},
      {"an absolute target, no Host", "GET http://user@b.test:80/x HTTP/1.1\r\n\r\nGET / HTTP/1.0\r\n\r\n",
       "head 40 b.test | head 18 -"},
      // After an Upgrade or CONNECT the other protocol's first bytes end following; a declined one's next request does not.
      {"a WebSocket's frames after an upgrade",
       get + "GET /chat HTTP/1.1\r\nHost: a.test\r\nUpgrade: websocket\r\n\r\n\x81\x05" + get,
       "head 32 a.test | head 56 a.test | stop"},
      {"a declined upgrade", "GET / HTTP/1.1\r\nHost: a.test\r\nUpgrade: x\r\n\r\n" + get + get,
       "head 44 a.test | head 32 a.test | head 32 a.test"},
      {"TLS after a CONNECT", "CONNECT b.test:443 HTTP/1.1\r\n\r\n\x16\x03\x01" + get, "head 31 b.test | stop"},
      {"bytes that are no request", get + "\x16\x03\x01\x02\x00", "head 32 a.test | stop"},
      {"HTTP/0.9", "GET /\r\n" + get, "stop"},
      {"a length that is no number", "POST / HTTP/1.1\r\nContent-Length: 5x\r\n\r\nhello", "malformed"},
      {"two lengths", "POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello", "malformed"},
      {"a length and chunked", "POST / HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n",
       "malformed"},
      {"chunked not last", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", "malformed"},
      {"a folded line", "POST / HTTP/1.1\r\nTransfer-Encoding:\r\n chunked\r\n\r\n", "malformed"},
      {"a space before the colon", "POST / HTTP/1.1\r\nContent-Length : 5\r\n\r\nhello", "malformed"},
      {"a chunk size that is no number", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
       "head 47 - | malformed"},
      {"a chunk size too large", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1000000000000000\r\n",
       "head 47 - | malformed"},
      {"chunk data longer than its size", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n",
       "head 47 - | framing 3 | body 2 | malformed"},
      {"a head not yet ended", "GET / HTTP/1.1\r\nHost: a.test\r\n", ""},
      {"a body not yet ended", "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", "head 39 - | body 10"},
  };
  expectFramedAlikeHoweverSplit(cases);
}

// HTTP/2 with prior knowledge: every request's header block is read with the
// connection's one decoder, whose table later blocks refer to.
TEST(HTTPRequestFramingTest, FollowsHTTP2RequestsByTheirHeaderBlocks) {
  Http2Stream h2;
  const std::string preface = Http2Stream::preface() + Http2Stream::frame(NGHTTP2_SETTINGS, 0, 0, "");
  const auto length = [](const std::string& frames) { return std::to_string(frames.size()); };
  const std::string first = h2.get(1, "a.test");
  const std::string blocked = h2.get(3, "Blocked.test:80");
  const std::string blockedAgain = h2.get(5, "Blocked.test:80");  // its authority is a reference into the table
  const std::string post = Http2Stream::frame(
      NGHTTP2_HEADERS, NGHTTP2_FLAG_END_HEADERS, 7,
      h2.block({{":method", "POST"}, {":scheme", "http"}, {":path", "/"}, {"host", "c.test"}}));
  const std::string data = Http2Stream::frame(NGHTTP2_DATA, 0, 7, "hello");
  const std::string trailers =
      Http2Stream::frame(NGHTTP2_HEADERS, NGHTTP2_FLAG_END_HEADERS | NGHTTP2_FLAG_END_STREAM, 7, h2.block({{"x", "y"}}));
  const std::string windowUpdate = Http2Stream::frame(NGHTTP2_WINDOW_UPDATE, 0, 0, std::string("\0\0\x10\0", 4));
  const std::string split = h2.block({{":method", "GET"}, {":authority", "d.test"}, {":path", "/"}});
  const std::string headers = Http2Stream::frame(NGHTTP2_HEADERS, NGHTTP2_FLAG_END_STREAM, 9, split.substr(0, 4));
  const std::string continuation =
      Http2Stream::frame(NGHTTP2_CONTINUATION, NGHTTP2_FLAG_END_HEADERS, 9, split.substr(4));
  const std::string ping = Http2Stream::frame(NGHTTP2_PING, 0, 0, std::string(8, 'p'));
  const std::string noHost = Http2Stream::frame(NGHTTP2_HEADERS, NGHTTP2_FLAG_END_HEADERS, 11,
                                                h2.block({{":method", "GET"}, {":path", "/"}}));
  const std::string start = "framing 24 | body 9 | head " + length(first) + " a.test";
  const std::string h2cUpgrade = "GET / HTTP/1.1\r\nHost: a.test\r\nConnection: Upgrade\r\nUpgrade: h2c\r\n\r\n";
  const std::vector<Case> cases{
      {"requests on later streams, hosts from the table", preface + first + blocked + blockedAgain,
       start + " | head " + length(blocked) + " Blocked.test | head " + length(blockedAgain) + " Blocked.test"},
      {"a body, trailers, a window update; host as a field, a block over CONTINUATION, no host",
       preface + first + blocked + blockedAgain + post + data + trailers + windowUpdate + headers + continuation +
           noHost,
       start + " | head " + length(blocked) + " Blocked.test | head " + length(blockedAgain) + " Blocked.test | head " +
           length(post) + " c.test | body " + length(data) + " | framing " + length(trailers) + " | body " +
           length(windowUpdate) + " | head " + length(headers + continuation) + " d.test | head " + length(noHost) +
           " -"},
      {"after an h2c upgrade", h2cUpgrade + preface + first + blocked,
       "head 67 a.test | " + start + " | head " + length(blocked) + " Blocked.test"},
      {"a block not yet ended", preface + first + headers, start},
      {"a frame inside a block", preface + first + headers + ping + continuation, start + " | malformed"},
      {"a CONTINUATION outside a block", preface + first + continuation, start + " | malformed"},
      // A fresh decoder cannot read this block: its authority is a reference into the table.
      {"a block that does not decode", preface + blockedAgain, "framing 24 | body 9 | malformed"},
  };
  expectFramedAlikeHoweverSplit(cases);
}

}  // namespace
}  // namespace vosk::test
