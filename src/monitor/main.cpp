// mk27x-monitor: several MK27x sensors at once in a window (see monitor_window.h).
//
//   --sensor NAME=PORT[@RATE][#ADDRESS]   a sensor in the table (repeatable)
//   --channel NAME=EXPR                   a computed channel (repeatable)
//   --simulator   every sensor a virtual sensor of its own (A and B when none
//                 is named)
//   --publish URL [--mqtt-qos N] [--mqtt-buffer-seconds S] [--mqtt-cafile FILE]
//   [--mqtt-password-file FILE]   publishing chosen, as mk27x monitor takes it
//                 (the password never on the command line)
#include <QCommandLineParser>
#include <QCoreApplication>
#include <iostream>
#include <memory>
#include <optional>
#include <string_view>

#include "group_simulators.h"
#include "monitor/monitor_window.h"
#include "platform/clock.h"
#include "platform/qt_file_dialog.h"
#include "platform/qt_message_box.h"
#include "publish/publish_options.h"
#include "transport/port_backends.h"
#include "ui/application.h"

namespace {

using namespace mk27x;

struct Options {
    QCommandLineOption sensor{
        "sensor", "Add the sensor SPEC, NAME=PORT[@RATE][#ADDRESS], to the table.", "SPEC"};
    QCommandLineOption channel{"channel", "Add the computed channel NAME=EXPR.", "CHANNEL"};
    QCommandLineOption simulator{
        "simulator",
        "Serve every sensor as a virtual sensor of its own on a pseudo-terminal (sensors A and B "
        "when none is named)."};
    QCommandLineOption publish{"publish",
                               "Publish the runs to the MQTT broker at URL, "
                               "mqtt://[USER@]HOST[:PORT]/PREFIX or mqtts://...",
                               "URL"};
    QCommandLineOption qos{"mqtt-qos", "The MQTT quality of service, 0, 1 or 2 (default 1).", "N"};
    QCommandLineOption buffer_seconds{"mqtt-buffer-seconds",
                                      "How much sample time waits while the broker is away.", "S"};
    QCommandLineOption cafile{"mqtt-cafile", "mqtts: the CA certificates to trust.", "FILE"};
    QCommandLineOption password_file{
        "mqtt-password-file",
        "The broker's password on the first line of FILE (else MK27X_MQTT_PASSWORD).", "FILE"};
};

void Describe(QCommandLineParser& parser, const Options& options) {
    parser.setApplicationDescription("Several MK27x laser distance sensors at once.");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(options.sensor);
    parser.addOption(options.channel);
    parser.addOption(options.simulator);
    for (const QCommandLineOption* o : {&options.publish, &options.qos, &options.buffer_seconds,
                                        &options.cafile, &options.password_file})
        parser.addOption(*o);
}

// The publishing options given; nothing, with the reason in `error`, when they
// are not usable. The password only from a file here: the environment's is read
// when a run starts.
std::optional<PublishSettings> PublishingOptions(const QCommandLineParser& parser,
                                                 const Options& options, std::string& error) {
    PublishOptions publish;
    for (const QCommandLineOption* o : {&options.publish, &options.qos, &options.buffer_seconds,
                                        &options.cafile, &options.password_file}) {
        if (!parser.isSet(*o)) continue;
        const std::string value = parser.value(*o).toStdString();
        ParsePublishOption(
            "--" + o->names().front().toStdString(), [&] { return value; }, publish, error);
        if (!error.empty()) return std::nullopt;
    }
    if (!publish.Any()) return std::nullopt;
    auto settings = PublishSettingsFrom(publish, error);
    if (settings && !publish.password_file) settings->password.clear();
    return settings;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options;
    QCoreApplication::setApplicationVersion(MK27X_VERSION);
    AnswerHelpOrVersionWithoutDisplay(
        argc, argv, [&options](QCommandLineParser& parser) { Describe(parser, options); });

    QtMessageBox messages;
    Application app(argc, argv, messages);
    QCommandLineParser parser;
    Describe(parser, options);
    parser.process(app);

    std::vector<SensorSpec> specs;
    for (const QString& text : parser.values(options.sensor)) {
        std::string error;
        const auto spec =
            ParseTypedSensor(text.toStdString(), std::string(1, 'A' + specs.size()), error);
        if (!spec) {
            std::cerr << "mk27x-monitor: " << error << '\n';
            return 2;
        }
        specs.push_back(*spec);
    }
    if (const std::string problem = CheckGroup(specs); !specs.empty() && !problem.empty()) {
        std::cerr << "mk27x-monitor: " << problem << '\n';
        return 2;
    }
    std::string error;
    const auto publishing = PublishingOptions(parser, options, error);
    if (!error.empty()) {
        std::cerr << "mk27x-monitor: " << error << '\n';
        return 2;
    }
    // Declared before the window, so that the sensors outlive its sessions.
    GroupSimulators simulators;
    if (parser.isSet(options.simulator)) {
        if (specs.empty()) specs = {{"A", "a"}, {"B", "b"}};
        if (!simulators.Start(specs)) {
            std::cerr << "mk27x-monitor: cannot start the virtual sensor: " << simulators.Error()
                      << '\n';
            return 1;
        }
    }

    QtFileDialog files;
    MonitorWindow window(messages, files, SystemClock::Instance(), RealPortBackends(),
                         RealSearchOpener());
    for (const SensorSpec& spec : specs) window.AddSensor(spec);
    for (const QString& channel : parser.values(options.channel))
        if (!window.AddChannel(channel.toStdString())) return 2;
    if (publishing) window.SetPublishing(*publishing);

    return app.Run(window);
}
