#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "policy/request_following.hpp"

namespace vosk::test {

// A client's request stream framed as the relay frames it.
struct FramedStream {
  std::vector<RequestFrame> frames;  // every frame but needsMoreData
  std::size_t framedBytes = 0;       // the bytes of the input the frames account for
  std::size_t passedBytes = 0;       // the bytes after a stop or malformed frame, not framed
  std::size_t unframedBytes = 0;     // bytes still waiting for the end of a frame
  std::uint64_t bodyLeft = 0;        // body bytes the input did not reach
};

// Frames `input` arriving in pieces that end at `cuts` (ascending), as the
// relay does: a body's bytes pass unread, the rest is framed from where the
// last frame ended.
inline FramedStream frameInPieces(std::span<const std::uint8_t> input, const std::vector<std::size_t>& cuts) {
  FramedStream stream;
  RequestFollower follower(true);
  bool ended = false;
  std::vector<std::uint8_t> unframed;
  std::size_t from = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(input.size());
  for (const std::size_t to : ends) {
    std::span<const std::uint8_t> piece = input.subspan(from, to - from);
    from = to;
    if (ended) {
      stream.passedBytes += piece.size();
      continue;
    }
    const std::size_t unread = static_cast<std::size_t>(std::min<std::uint64_t>(stream.bodyLeft, piece.size()));
    stream.bodyLeft -= unread;
    stream.framedBytes += unread;
    unframed.insert(unframed.end(), piece.begin() + static_cast<std::ptrdiff_t>(unread), piece.end());
    for (;;) {
      const RequestFrame frame = follower.next(unframed);
      if (frame.kind == RequestFrame::Kind::needsMoreData) break;
      stream.frames.push_back(frame);
      if (frame.kind == RequestFrame::Kind::stop || frame.kind == RequestFrame::Kind::malformed) {
        ended = true;
        stream.passedBytes += unframed.size();
        unframed.clear();
        break;
      }
      const std::size_t here = static_cast<std::size_t>(std::min<std::uint64_t>(frame.length, unframed.size()));
      unframed.erase(unframed.begin(), unframed.begin() + static_cast<std::ptrdiff_t>(here));
      stream.framedBytes += here;
      if (frame.kind == RequestFrame::Kind::body) stream.bodyLeft = frame.length - here;
    }
  }
  stream.unframedBytes = unframed.size();
  return stream;
}

// "head 38 a.test | body 5 | stop": kinds, lengths and hosts ("-" for none).
inline std::string describe(const std::vector<RequestFrame>& frames) {
  std::string text;
  for (const RequestFrame& frame : frames) {
    if (!text.empty()) text += " | ";
    switch (frame.kind) {
      case RequestFrame::Kind::head:
        text += "head " + std::to_string(frame.length) + " " + frame.host.value_or("-");
        break;
      case RequestFrame::Kind::framing:
        text += "framing " + std::to_string(frame.length);
        break;
      case RequestFrame::Kind::body:
        text += "body " + std::to_string(frame.length);
        break;
      case RequestFrame::Kind::stop:
        text += "stop";
        break;
      case RequestFrame::Kind::malformed:
        text += "malformed";
        break;
      case RequestFrame::Kind::needsMoreData:
        text += "more";
        break;
    }
  }
  return text;
}

}  // namespace vosk::test
