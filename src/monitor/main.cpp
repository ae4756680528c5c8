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

#include "app/application.h"
#include "link/port_backends.h"
#include "monitor/monitor_window.h"
#include "platform/clock.h"
#include "platform/qt_file_dialog.h"
#include "platform/qt_message_box.h"
#include "pty_server.h"
#include "publish/publish_options.h"
#include "virtual_sensor.h"

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

bool AnswersWithoutDisplay(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help" || arg == "-?" || arg == "--help-all" || arg == "-v" ||
            arg == "--version")
            return true;
    }
    return false;
}

// A virtual sensor for every line of the specs, each sensor measuring a wave
// of its own, so that channels are not trivially zero.
class Simulators {
public:
    bool Start(std::vector<SensorSpec>& specs) {
        for (const GroupLine& line : GroupLines(specs)) {
            std::vector<std::shared_ptr<sim::VirtualSensor>> sensors;
            for (const std::size_t i : line.sensors) {
                sim::SensorConfig config;
                config.address = specs[i].address;
                config.baud = specs[i].baud;
                config.identity.serial = static_cast<std::uint16_t>(1001 + i);
                config.source.kind = sim::MeasurementSource::Kind::kSine;
                config.source.value = 6000 + 1500 * static_cast<std::int32_t>(i % 6);
                config.source.amplitude = 300 + 150 * static_cast<std::int32_t>(i % 4);
                config.source.period = 4000 + 1000 * static_cast<std::uint32_t>(i % 5);
                config.source.noise = 3;
                config.source.seed = static_cast<std::uint32_t>(i + 1);
                sensors.push_back(std::make_shared<sim::VirtualSensor>(config));
            }
            servers_.push_back(std::make_unique<sim::PtySensorServer>(sensors));
            if (!servers_.back()->Start()) {
                std::cerr << "mk27x-monitor: cannot start the virtual sensor: "
                          << servers_.back()->Error() << '\n';
                return false;
            }
            for (const std::size_t i : line.sensors) specs[i].port = servers_.back()->SlavePath();
        }
        return true;
    }

private:
    std::vector<std::unique_ptr<sim::PtySensorServer>> servers_;
};

}  // namespace

int main(int argc, char** argv) {
    const Options options;
    if (AnswersWithoutDisplay(argc, argv)) {
        QCoreApplication core(argc, argv);
        QCoreApplication::setApplicationVersion(MK27X_VERSION);
        QCommandLineParser parser;
        Describe(parser, options);
        parser.process(core);  // prints the help or the version and exits
    }

    QtMessageBox messages;
    Application app(argc, argv, messages);
    QCoreApplication::setApplicationVersion(MK27X_VERSION);
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
    Simulators simulators;
    if (parser.isSet(options.simulator)) {
        if (specs.empty()) specs = {{"A", "a"}, {"B", "b"}};
        if (!simulators.Start(specs)) return 1;
    }

    QtFileDialog files;
    MonitorWindow window(messages, files, SystemClock::Instance(), RealPortBackends(),
                         RealSearchOpener());
    for (const SensorSpec& spec : specs) window.AddSensor(spec);
    for (const QString& channel : parser.values(options.channel))
        if (!window.AddChannel(channel.toStdString())) return 2;
    if (publishing) window.SetPublishing(*publishing);

    const CloseOnSignals on_signal([&window] {
        window.close();
        QCoreApplication::quit();
    });
    window.show();
    return app.exec();
}
