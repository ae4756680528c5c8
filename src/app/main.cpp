// mk27x-sp: the setup program of the MK27x laser distance sensors.
//
//   --port PATH    add a serial device (or tcp://HOST:PORT, rfc2217://HOST:PORT)
//                  to the port list and choose it
//   --simulator    serve a virtual sensor on a pseudo-terminal and choose it
//   --trace FILE   write every request and reply to FILE
//   --version, --help   answered without a display
#include <QCommandLineParser>
#include <QCoreApplication>
#include <iostream>
#include <memory>

#include "app/descr.h"
#include "app/form_main.h"
#include "pickers/formsync.h"
#include "pickers/outlogic.h"
#include "pickers/range.h"
#include "platform/clock.h"
#include "platform/qt_file_dialog.h"
#include "platform/qt_message_box.h"
#include "pty_server.h"
#include "transport/port_backends.h"
#include "transport/protocol_trace.h"
#include "ui/application.h"
#include "virtual_sensor.h"

namespace {

struct Options {
    QCommandLineOption port{"port",
                            "Add the serial device PATH (or a network serial port tcp://HOST:PORT "
                            "or rfc2217://HOST:PORT) to the port list and choose it.",
                            "PATH"};
    QCommandLineOption simulator{
        "simulator",
        "Serve a virtual sensor on a pseudo-terminal inside the program and choose its device."};
    QCommandLineOption trace{"trace", "Write every request and reply to FILE.", "FILE"};
};

void Describe(QCommandLineParser& parser, const Options& options) {
    parser.setApplicationDescription("Setup program for the MK27x laser distance sensors.");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(options.port);
    parser.addOption(options.simulator);
    parser.addOption(options.trace);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace mk27x;
    const Options options;
    QCoreApplication::setApplicationVersion(MK27X_VERSION);
    AnswerHelpOrVersionWithoutDisplay(
        argc, argv, [&options](QCommandLineParser& parser) { Describe(parser, options); });

    QtMessageBox messages;
    Application app(argc, argv, messages);
    QCommandLineParser parser;
    Describe(parser, options);
    parser.process(app);
    const QCommandLineOption& port_option = options.port;
    const QCommandLineOption& simulator_option = options.simulator;

    // Declared before the windows, so that it outlives them.
    std::unique_ptr<sim::PtySensorServer> simulator;
    if (parser.isSet(simulator_option)) {
        simulator = std::make_unique<sim::PtySensorServer>(std::make_shared<sim::VirtualSensor>());
        if (!simulator->Start()) {
            std::cerr << "mk27x-sp: cannot start the virtual sensor: " << simulator->Error()
                      << '\n';
            return 1;
        }
    }

    // Declared before the windows, so that it outlives their ports.
    std::shared_ptr<TraceWriter> trace;
    PortBackends backends = RealPortBackends();
    if (parser.isSet(options.trace)) {
        trace = TraceWriter::OpenFile(parser.value(options.trace).toStdString());
        if (!trace) {
            std::cerr << "mk27x-sp: cannot write the trace file "
                      << parser.value(options.trace).toStdString() << '\n';
            return 1;
        }
        backends = TracedBackends(std::move(backends), trace);
    }

    // The windows, created once in this order; all but the main one stay hidden.
    QtFileDialog files;
    TFormMain FormMain(messages, files, SystemClock::Instance(), std::move(backends));
    TFormDescr FormDescr;
    FormMain.window_layout.SetFormDescr(&FormDescr);
    TFormOutLogic FormOutLogic;
    TFormSynchro FormSynchro;
    TFormRange FormRange;
    FormMain.grid.SetPickerDialogs({FormSynchro, FormOutLogic, FormRange});
    if (trace)
        FormMain.link.search_opener = [inner = FormMain.link.search_opener, trace](
                                          const std::string& port, std::uint32_t baud,
                                          ReadTimeouts timeouts, std::string& reason) {
            return TraceTransport(inner(port, baud, timeouts, reason), trace, port, baud);
        };

    for (const QString& path : parser.values(port_option)) FormMain.link.AddAndSelectPort(path);
    if (simulator) FormMain.link.AddAndSelectPort(QString::fromStdString(simulator->SlavePath()));

    // Interrupted or terminated, the program ends as when its window is
    // closed: a running stream is stopped, the reader joined, files complete.
    return app.Run(FormMain);
}
