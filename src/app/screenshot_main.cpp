// mk27x-screenshot: draws the main window connected to a virtual sensor on a
// pseudo-terminal, grown to full height with a readout, into a PNG file.
//
//   mk27x-screenshot OUTPUT.png                 (QT_QPA_PLATFORM=offscreen)
//   mk27x-screenshot --description OUTPUT.png   (an X server, e.g. xvfb-run)
//
// With --description the description window is slid out and docked, and the
// screen area of both windows is saved; that needs a window system that places
// windows and can read back the screen.
#include <QApplication>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <iostream>
#include <memory>
#include <string_view>

#include "app/descr.h"
#include "app/form_main.h"
#include "platform/clock.h"
#include "platform/qt_file_dialog.h"
#include "pty_server.h"
#include "transport/port_backends.h"
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
    const bool description = argc == 3 && std::string_view(argv[1]) == "--description";
    if (argc != 2 && !description) {
        std::cerr << "usage: mk27x-screenshot [--description] OUTPUT.png\n";
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[argc - 1]);

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
    QtFileDialog files;  // never asked
    TFormMain window(messages, files, SystemClock::Instance(), RealPortBackends());
    TFormDescr descr;
    window.window_layout.SetFormDescr(&descr);
    window.link.AddAndSelectPort(QString::fromStdString(server.SlavePath()));
    window.show();
    if (description && !QTest::qWaitForWindowExposed(&window)) {
        std::cerr << "the main window was not shown\n";
        return 1;
    }
    window.link.ButtonConnectClick();
    if (window.ButtonConnect->Tag != 1 || messages.shown > 0) {
        std::cerr << "connecting to the virtual sensor failed\n";
        return 1;
    }
    while (window.TimerMore->isActive()) window.window_layout.TimerMoreTimer();

    // A short stream so that the readout shows a distance.
    window.session.StartStream();
    if (!QTest::qWaitFor([&] { return window.LabelRast->text() != "0.000 mm"; }, 5000))
        std::cerr << "no stream frame arrived\n";
    window.session.StopStream();
    QTest::qWait(200);

    QPixmap shot;
    if (description) {
        if (!window.window_layout.CanPlaceWindows) {
            std::cerr << "this window system does not place windows: run under X11\n";
            return 1;
        }
        window.window_layout.ButtonDescriptionClick();
        if (!QTest::qWaitFor([&] { return descr.TimerPos->isActive(); }, 10000)) {
            std::cerr << "the description window did not dock\n";
            return 1;
        }
        QTest::qWait(300);  // docked and repainted
        const QRect area = descr.frameGeometry().united(window.frameGeometry());
        shot = window.screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    } else {
        shot = window.grab();
    }
    if (shot.isNull() || !shot.save(output)) {
        std::cerr << "cannot write " << argv[argc - 1] << '\n';
        return 1;
    }
    window.close();
    return 0;
}
