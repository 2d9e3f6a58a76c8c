#pragma once

#include "flows/flow_judge.hpp"
#include "platform/clock.hpp"
#include "platform/connection.hpp"
#include "platform/logger.hpp"
#include "platform/main_queue.hpp"
#include "provider/active_flow.hpp"

namespace vosk {

// What the flow objects the daemon carries itself use of whoever hosts them:
// the judge, and the queue, clock, log, upstream connections and registry of
// open flows they share (main queue unless said otherwise).
class FlowHost : public FlowJudge {
 public:
  virtual const Logger& log() const = 0;
  virtual MainQueue& queue() const = 0;
  virtual const Clock& time() const = 0;
  virtual ConnectionFactory& connections() const = 0;
  virtual ActiveFlowRegistry& registry() = 0;
};

}  // namespace vosk
