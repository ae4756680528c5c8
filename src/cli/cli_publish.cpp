#include "cli/cli_publish.h"

#include <ostream>

#include "cli/cli.h"

namespace mk27x {

int FinishPublishing(MqttPublisher& publisher, std::ostream& err, int status) {
    return ReportPublishing(EndPublishing(publisher), err, status);
}

int ReportPublishing(const PublishEnding& ending, std::ostream& err, int status) {
    err << "mk27x: " << ending.text << '\n';
    return ending.refused ? kExitNoSensor : status;
}

}  // namespace mk27x
