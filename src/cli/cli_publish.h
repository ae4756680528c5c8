// The command line's --publish and its --mqtt options (see
// publish/publish_options.h) and publishing as the command line reports it:
// the broker's outages as they come and the end.
//
// Threading: the calling thread.
#pragma once

#include <iosfwd>
#include <vector>

#include "publish/mqtt_publisher.h"
#include "publish/publish_options.h"

namespace mk27x {

// "mk27x: broker unreachable: connection refused; 3 batches queued",
// "mk27x: broker back after 5.2 s; 52 batches sent", one line each.
void ReportPublishEvents(const std::vector<PublishEvent>& events, std::ostream& err);

// The publisher finished: the events not told yet and its summary on `err`,
// or the broker's refusal. A refusal, or samples dropped or not delivered,
// make the status 1.
int FinishPublishing(MqttPublisher& publisher, std::ostream& err, int status);

// The same for a publishing ended elsewhere (see PublishEnding).
int ReportPublishing(const PublishEnding& ending, std::ostream& err, int status);

}  // namespace mk27x
