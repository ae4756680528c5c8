// mk27x-sp: the setup program of the MK27x laser distance sensors.
//
//   --port PATH    add a serial device to the port list and choose it
//   --simulator    serve a virtual sensor on a pseudo-terminal and choose it
#include <QCommandLineParser>
#include <iostream>
#include <memory>

#include "app/application.h"
#include "app/descr.h"
#include "app/form_main.h"
#include "app/formsync.h"
#include "app/outlogic.h"
#include "app/range.h"
#include "link/port_backends.h"
#include "platform/clock.h"
#include "platform/qt_message_box.h"
#include "pty_server.h"
#include "virtual_sensor.h"

int main(int argc, char** argv) {
    using namespace mk27x;
    QtMessageBox messages;
    Application app(argc, argv, messages);

    QCommandLineParser parser;
    parser.setApplicationDescription("Setup program for the MK27x laser distance sensors.");
    parser.addHelpOption();
    const QCommandLineOption port_option(
        "port", "Add the serial device PATH to the port list and choose it.", "PATH");
    const QCommandLineOption simulator_option(
        "simulator",
        "Serve a virtual sensor on a pseudo-terminal inside the program and choose its device.");
    parser.addOption(port_option);
    parser.addOption(simulator_option);
    parser.process(app);

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

    // The windows, created once in this order; all but the main one stay hidden.
    TFormMain FormMain(messages, SystemClock::Instance(), RealPortBackends());
    TFormDescr FormDescr;
    TFormOutLogic FormOutLogic;
    TFormSynchro FormSynchro;
    TFormRange FormRange;

    for (const QString& path : parser.values(port_option)) FormMain.AddAndSelectPort(path);
    if (simulator) FormMain.AddAndSelectPort(QString::fromStdString(simulator->SlavePath()));

    FormMain.show();
    return app.exec();
}
