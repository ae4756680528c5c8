// mk27x-screenshot: draws the main window connected to a virtual sensor on a
// pseudo-terminal, grown to full height with a readout, into a PNG file.
//
//   mk27x-screenshot OUTPUT.png     (run with QT_QPA_PLATFORM=offscreen)
#include <QApplication>
#include <QLabel>
#include <QPixmap>
#include <QTest>
#include <QTimer>
#include <iostream>
#include <memory>

#include "app/form_main.h"
#include "link/port_backends.h"
#include "platform/clock.h"
#include "platform/file_dialog.h"
#include "pty_server.h"
#include "virtual_sensor.h"

namespace {

// Message boxes go to standard error: nobody is there to press OK.
class StderrMessageBox final : public mk27x::MessageBox {
public:
    int Show(const std::string& text, const std::string& caption, unsigned) override {
        std::cerr << caption << ": " << text << '\n';
        ++shown;
        return mk27x::IDOK;
    }
    int shown = 0;
};

}  // namespace

int main(int argc, char** argv) {
    using namespace mk27x;
    QApplication app(argc, argv);
    if (argc != 2) {
        std::cerr << "usage: mk27x-screenshot OUTPUT.png\n";
        return 2;
    }

    sim::SensorConfig config;
    config.source.kind = sim::MeasurementSource::Kind::kSine;
    config.source.value = 6000;
    config.source.amplitude = 3000;
    config.source.period = 400;
    sim::PtySensorServer server(std::make_shared<sim::VirtualSensor>(config));
    if (!server.Start()) {
        std::cerr << "cannot start the virtual sensor: " << server.Error() << '\n';
        return 1;
    }

    StderrMessageBox messages;
    RecordingFileDialog files;  // never asked
    TFormMain window(messages, files, SystemClock::Instance(), RealPortBackends());
    window.AddAndSelectPort(QString::fromStdString(server.SlavePath()));
    window.show();
    window.ButtonConnectClick();
    if (window.ButtonConnect->Tag != 1 || messages.shown > 0) {
        std::cerr << "connecting to the virtual sensor failed\n";
        return 1;
    }
    while (window.TimerMore->isActive()) window.TimerMoreTimer();

    // A short stream so that the readout shows a distance.
    window.session.StartStream();
    if (!QTest::qWaitFor([&] { return window.LabelRast->text() != "0.000 mm"; }, 5000))
        std::cerr << "no stream frame arrived\n";
    window.session.StopStream();
    QTest::qWait(200);

    const QPixmap shot = window.grab();
    if (!shot.save(QString::fromLocal8Bit(argv[1]))) {
        std::cerr << "cannot write " << argv[1] << '\n';
        return 1;
    }
    window.close();
    return 0;
}
