// The command line's --publish and its --mqtt options (see
// publish/publish_options.h) and the end of publishing as the command line
// reports it.
//
// Threading: the calling thread.
#pragma once

#include <iosfwd>

#include "publish/mqtt_publisher.h"
#include "publish/publish_options.h"

namespace mk27x {

// The publisher finished: its summary on `err`, or the broker's refusal, which
// makes the status 1.
int FinishPublishing(MqttPublisher& publisher, std::ostream& err, int status);

// The same for a publishing ended elsewhere (see PublishEnding).
int ReportPublishing(const PublishEnding& ending, std::ostream& err, int status);

}  // namespace mk27x
