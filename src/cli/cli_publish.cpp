#include "cli/cli_publish.h"

#include <ostream>

#include "cli/cli.h"
#include "recording/sample_statistics.h"

namespace mk27x {

void ReportPublishEvents(const std::vector<PublishEvent>& events, std::ostream& err) {
    for (const PublishEvent& e : events) err << "mk27x: " << PublishEventText(e) << '\n';
    err.flush();
}

int FinishPublishing(MqttPublisher& publisher, std::ostream& err, int status) {
    return ReportPublishing(EndPublishing(publisher), err, status);
}

int ReportPublishing(const PublishEnding& ending, std::ostream& err, int status) {
    ReportPublishEvents(ending.events, err);
    err << "mk27x: " << ending.text << '\n';
    return ending.refused || ending.lost ? kExitNoSensor : status;
}

}  // namespace mk27x
