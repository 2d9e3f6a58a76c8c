#include "provider/transparent_proxy_provider.hpp"

namespace vosk {

// Each direction keeps exactly one chunk in flight: it reads or receives again
// only once the previous chunk has been delivered. The flow's completions
// arrive on the platform's queue; every effect on provider state is posted to
// the main queue (recordActivity, endRelayDirection, closeFlow).

void TransparentProxyProvider::relayFlowToUpstream(std::shared_ptr<TCPFlow> flow,
                                                   std::shared_ptr<Connection> connection) {
  flow->readData([weakSelf = weak_from_this(), flow, connection](std::optional<Bytes> data,
                                                                  std::optional<Error> error) mutable {
    const auto self = weakSelf.lock();
    if (!self) return;
    if (error) {  // data that came with the error is dropped
      self->closeFlow(flow, connection);
      return;
    }
    if (!data || data->empty()) {
      self->endRelayDirection(flow, connection, RelayDirection::flowToUpstream);
      return;
    }
    connection->send(std::move(*data), [weakSelf, flow, connection](std::optional<Error> sendError) {
      const auto self = weakSelf.lock();
      if (!self) return;
      if (sendError) {
        self->closeFlow(flow, connection);
        return;
      }
      self->recordActivity(connection);
      self->relayFlowToUpstream(flow, connection);
    });
  });
}

void TransparentProxyProvider::relayUpstreamToFlow(std::shared_ptr<TCPFlow> flow,
                                                   std::shared_ptr<Connection> connection) {
  connection->receive(relayReceiveMinimum, relayReceiveMaximum,
                      [weakSelf = weak_from_this(), flow, connection](std::optional<Bytes> data, bool isComplete,
                                                                      std::optional<Error> error) mutable {
                        const auto self = weakSelf.lock();
                        if (!self) return;
                        if (!data || data->empty()) {
                          self->continueUpstreamToFlow(flow, connection, isComplete, std::move(error));
                          return;
                        }
                        // A final chunk, or one that came with an error, still reaches the application.
                        flow->writeData(std::move(*data), [weakSelf, flow, connection, isComplete,
                                                           error](std::optional<Error> writeError) {
                          const auto self = weakSelf.lock();
                          if (!self) return;
                          if (writeError) {
                            self->closeFlow(flow, connection);
                            return;
                          }
                          // A chunk that came with an error is delivered, but the flow ends with it.
                          if (!error) self->recordActivity(connection);
                          self->continueUpstreamToFlow(flow, connection, isComplete, error);
                        });
                      });
}

// After a receive has been delivered (or was empty): an error ends the flow,
// the server's end of stream ends this direction, anything else receives again.
void TransparentProxyProvider::continueUpstreamToFlow(std::shared_ptr<TCPFlow> flow,
                                                      std::shared_ptr<Connection> connection, bool isComplete,
                                                      std::optional<Error> receiveError) {
  if (receiveError) {
    closeFlow(std::move(flow), std::move(connection));
  } else if (isComplete) {
    endRelayDirection(std::move(flow), std::move(connection), RelayDirection::upstreamToFlow);
  } else {
    relayUpstreamToFlow(std::move(flow), std::move(connection));
  }
}

// Half-close: the end of one direction is passed on to the other side, whose
// data keeps flowing; the flow is torn down once both directions have ended.
void TransparentProxyProvider::endRelayDirection(std::shared_ptr<TCPFlow> flow, std::shared_ptr<Connection> connection,
                                                 RelayDirection direction) {
  mainQueue.post([weakSelf = weak_from_this(), flow, connection, direction] {
    const auto self = weakSelf.lock();
    if (!self) return;
    ActiveFlow* const entry = self->activeFlows.find(connection.get());
    if (!entry) return;  // torn down already
    if (direction == RelayDirection::flowToUpstream) {
      entry->flowToUpstreamEnded = true;
      connection->sendEndOfStream();
    } else {
      entry->upstreamToFlowEnded = true;
      flow->closeWrite();
    }
    if (entry->flowToUpstreamEnded && entry->upstreamToFlowEnded) self->closeFlow(flow, connection);
  });
}

void TransparentProxyProvider::recordActivity(std::shared_ptr<Connection> connection) {
  // Always posted: the registry lives on the main queue. The connection is held
  // so that its address cannot be reused as another flow's key meanwhile.
  mainQueue.post([weakSelf = weak_from_this(), connection = std::move(connection)] {
    const auto self = weakSelf.lock();
    if (!self) return;
    if (ActiveFlow* const entry = self->activeFlows.find(connection.get())) entry->lastActivity = self->clock.now();
  });
}

}  // namespace vosk
