#include "linux/service/control_server.hpp"

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <systemd/sd-daemon.h>

#include <asio/post.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <array>
#include <deque>
#include <filesystem>
#include <optional>
#include <vector>

#include "control/interface.hpp"

namespace vosk::backend {
namespace {

using Json = nlohmann::json;

constexpr std::size_t readChunkBytes = 64 * 1024;
constexpr int listenBacklog = 16;
constexpr mode_t socketDirectoryMode = 0755;
constexpr mode_t socketMode = 0666;  // every local user may ask; the caller's rights are checked per call
constexpr std::size_t groupLookupBuffer = 16 * 1024;
constexpr int mostPeerGroups = 256;

// Root, or the administrators' group among the peer's groups as the kernel
// recorded them when it connected.
bool isAdministrator(int descriptor, const ucred& peer, const std::string& adminGroup) {
  if (peer.uid == 0) return true;
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(groupLookupBuffer);
  if (getgrnam_r(adminGroup.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  if (peer.gid == found->gr_gid) return true;
  std::array<gid_t, mostPeerGroups> groups{};
  socklen_t length = sizeof groups;
  if (getsockopt(descriptor, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) != 0) return false;
  const std::size_t count = length / sizeof(gid_t);
  return std::find(groups.begin(), groups.begin() + static_cast<std::ptrdiff_t>(count), found->gr_gid) !=
         groups.begin() + static_cast<std::ptrdiff_t>(count);
}

}  // namespace

std::variant<int, Failure> openControlSocket(const std::string& path) {
  if (sd_listen_fds(0) >= 1 && sd_is_socket_unix(SD_LISTEN_FDS_START, SOCK_STREAM, 1, nullptr, 0) > 0) {
    return SD_LISTEN_FDS_START;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return Failure{"control socket path too long: " + path, {}};
  path.copy(address.sun_path, path.size());
  const std::filesystem::path directory = std::filesystem::path(path).parent_path();
  std::error_code error;
  if (!directory.empty() && std::filesystem::create_directories(directory, error)) {
    ::chmod(directory.c_str(), socketDirectoryMode);
  }
  if (error) return Failure{"cannot create " + directory.string(), error};
  const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (descriptor < 0) return errnoFailure("control socket");
  ::unlink(path.c_str());  // a socket left by an earlier daemon
  if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(path.c_str(), socketMode) != 0 || ::listen(descriptor, listenBacklog) != 0) {
    Failure failure = errnoFailure("control socket " + path);
    ::close(descriptor);
    return failure;
  }
  return descriptor;
}

// One client: its calls are read in order and answered one at a time; an
// import's raw bytes are read after its call.
class ControlServer::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(ControlServer& server, asio::local::stream_protocol::socket socket)
      : server_(server), socket_(std::move(socket)), stall_(server.context_), buffer_(readChunkBytes) {
    ++server_.connections_;
  }
  ~Connection() { --server_.connections_; }

  void start() {
    ucred peer{};
    socklen_t length = sizeof peer;
    const int descriptor = socket_.native_handle();
    if (getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return;  // closed at once
    caller_ = control::Caller{peer.uid, isAdministrator(descriptor, peer, server_.adminGroup_())};
    read();
  }

  // Answers with one error and hangs up (too many connections).
  void refuse(std::string error) {
    send(std::move(error));
    closing_ = true;
  }

 private:
  void read() {
    if (reading_ || closing_) return;
    reading_ = true;
    stall_.expires_after(controlStallLimit);
    stall_.async_wait([weakSelf = weak_from_this()](std::error_code error) {
      const auto self = weakSelf.lock();
      if (error || !self || self->busy_) return;
      self->send(control::encodeError(control::timeoutError, Json{{"seconds", controlStallLimit.count()}}));
      self->closing_ = true;
      self->socket_.cancel();
    });
    socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](std::error_code error, std::size_t n) {
      self->reading_ = false;
      self->stall_.cancel();
      if (error || self->closing_) return self->hangUpWhenSent();
      self->received(std::string_view(self->buffer_.data(), n));
    });
  }

  void received(std::string_view bytes) {
    if (upgrade_) {
      const std::size_t taken = std::min(bytes.size(), rawExpected_ - raw_.size());
      raw_.append(bytes.substr(0, taken));
      bytes.remove_prefix(taken);
    }
    if (!reader_.append(bytes)) {
      send(control::encodeError(control::tooLargeError, Json{{"limit", control::maxMessageBytes}}));
      closing_ = true;
      return hangUpWhenSent();
    }
    serveNext();
  }

  void serveNext() {
    while (!busy_ && !closing_) {
      if (upgrade_) {
        raw_ += reader_.takeRaw(rawExpected_ - raw_.size());
        if (raw_.size() < rawExpected_) break;
        dispatch(*std::exchange(upgrade_, std::nullopt), std::exchange(raw_, {}));
        continue;
      }
      std::optional<std::string> message = reader_.next();
      if (!message) break;
      auto parsed = control::parseCall(*message);
      if (auto* error = std::get_if<control::WireError>(&parsed)) {
        send(control::encodeError(error->error, error->parameters));
        continue;
      }
      control::Call& call = std::get<control::Call>(parsed);
      if (call.upgrade) {
        // Only an import streams; what follows an upgrade nobody takes cannot be read as calls.
        const auto bytes = call.parameters.find("bytes");
        if (call.method != control::importMethod || bytes == call.parameters.end() || !bytes->is_number_unsigned()) {
          send(control::encodeError(control::invalidParameterError, Json{{"parameter", "upgrade"}}));
          closing_ = true;
        } else if (bytes->get<std::uint64_t>() > maxImportBytes) {
          send(control::encodeError(control::tooLargeError, Json{{"limit", maxImportBytes}}));
          closing_ = true;
        } else {
          rawExpected_ = bytes->get<std::size_t>();
          upgrade_ = std::move(call);
        }
        continue;
      }
      dispatch(std::move(call), {});
    }
    if (reader_.spoilt() && !closing_) {  // a whole call over the cap
      send(control::encodeError(control::tooLargeError, Json{{"limit", control::maxMessageBytes}}));
      closing_ = true;
    }
    if (closing_) return hangUpWhenSent();
    if (!busy_) read();
  }

  // The service answers now or later (a history query); either way the
  // answer and the next call are taken up from the loop, never from inside it.
  void dispatch(control::Call call, std::string raw) {
    busy_ = true;
    const bool oneway = call.oneway;
    // Sent after what the call set going on the loop (a reload's start), so
    // that a client that hears "applied" finds it applied.
    server_.service_.handle(call, caller_, raw, [self = shared_from_this(), oneway](std::string reply) {
      asio::post(self->server_.context_, [self, oneway, reply = std::move(reply)]() mutable {
        if (!oneway) self->send(std::move(reply));
        self->busy_ = false;
        self->serveNext();
      });
    });
  }

  void send(std::string message) {
    outbox_.push_back(std::move(message));
    if (outbox_.size() == 1) writeNext();
  }

  void writeNext() {
    asio::async_write(socket_, asio::buffer(outbox_.front()), [self = shared_from_this()](std::error_code error, std::size_t) {
      self->outbox_.pop_front();
      if (error) {
        self->outbox_.clear();
        self->closing_ = true;
      }
      if (!self->outbox_.empty()) return self->writeNext();
      self->hangUpWhenSent();
    });
  }

  void hangUpWhenSent() {
    if (!outbox_.empty()) return;
    if (closing_ || !socket_.is_open()) {
      std::error_code ignored;
      socket_.shutdown(asio::socket_base::shutdown_both, ignored);
      socket_.close(ignored);
    }
  }

  ControlServer& server_;
  asio::local::stream_protocol::socket socket_;
  asio::steady_timer stall_;
  std::vector<char> buffer_;
  control::MessageReader reader_;
  control::Caller caller_;
  std::deque<std::string> outbox_;
  std::optional<control::Call> upgrade_;  // an import whose bytes are being read
  std::size_t rawExpected_ = 0;
  std::string raw_;
  bool reading_ = false;
  bool busy_ = false;     // a call is with the service
  bool closing_ = false;  // hang up once the outbox is sent
};

ControlServer::ControlServer(asio::io_context& context, const Logger& logger, control::ControlService& service,
                             std::function<std::string()> adminGroup)
    : context_(context), logger_(logger), service_(service), adminGroup_(std::move(adminGroup)), acceptor_(context) {}

void ControlServer::serve(int listeningSocket) {
  std::error_code error;
  acceptor_.assign(asio::local::stream_protocol(), listeningSocket, error);
  if (error) {
    logger_.log("⚠️ no control socket: {}", error.message());
    return;
  }
  accept();
}

void ControlServer::close() {
  std::error_code ignored;
  acceptor_.close(ignored);
}

void ControlServer::accept() {
  acceptor_.async_accept([this](std::error_code error, asio::local::stream_protocol::socket socket) {
    if (error == asio::error::operation_aborted) return;
    if (!error) {
      const auto connection = std::make_shared<Connection>(*this, std::move(socket));
      if (connections_ > maxControlConnections) {
        connection->refuse(control::encodeError(control::busyError, Json{{"limit", maxControlConnections}}));
      } else {
        connection->start();
      }
    }
    accept();
  });
}

}  // namespace vosk::backend
