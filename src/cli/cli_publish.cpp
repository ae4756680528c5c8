#include "cli/cli_publish.h"

#include <ostream>

#include "cli/cli.h"
#include "link/sample_statistics.h"

namespace mk27x {
namespace {

std::string Batches(std::uint64_t n) {
    return std::to_string(n) + (n == 1 ? " batch" : " batches");
}

}  // namespace

void ReportPublishEvents(const std::vector<PublishEvent>& events, std::ostream& err) {
    for (const PublishEvent& e : events) {
        if (e.kind == PublishEvent::Kind::Unreachable)
            err << "mk27x: broker unreachable: " << e.reason << "; " << Batches(e.batches)
                << " queued\n";
        else
            err << "mk27x: broker back after " << FixedNumber(e.outage_seconds, 1) << " s; "
                << Batches(e.batches) << " sent\n";
    }
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
