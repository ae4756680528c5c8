// The main window against a virtual sensor in the same process: injected port
// backends that hand out in-process transports, a virtual clock, a recording
// message box and a recording file dialog.
#pragma once

#include <QCoreApplication>
#include <QTimer>
#include <memory>
#include <vector>

#include "app/form_main.h"
#include "in_process_transport.h"
#include "platform/clock.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "virtual_sensor.h"

namespace mk27x {

struct WindowHarness {
    explicit WindowHarness(sim::SensorConfig config = {},
                           std::chrono::milliseconds short_read_wait = {})
        : sensor(std::make_shared<sim::VirtualSensor>(config)), wait(short_read_wait) {
        window = std::make_unique<TFormMain>(messages, files, clock, Backends());
    }

    PortBackends Backends() {
        PortBackends backends;
        auto open = [this](std::uint32_t baud) -> std::shared_ptr<ByteTransport> {
            auto transport = std::make_shared<sim::InProcessTransport>(
                sensor, sim::InProcessOptions{baud, wait});
            opened.push_back(transport);
            return transport;
        };
        backends.open_serial = [open](const std::string&, std::uint32_t baud) {
            return open(baud);
        };
        backends.open_usb = open;
        return backends;
    }

    // Presses Connect and lets the height animation run to its end.
    void Connect() {
        window->ButtonConnect->click();
        FinishAnimation();
    }

    // Runs TimerMore's ticks until the animation stops; returns the outer heights.
    std::vector<int> FinishAnimation() {
        std::vector<int> heights;
        for (int guard = 0; window->TimerMore->isActive() && guard < 100; ++guard) {
            window->TimerMoreTimer();
            heights.push_back(window->frameGeometry().height());
        }
        return heights;
    }

    std::shared_ptr<sim::VirtualSensor> sensor;
    std::chrono::milliseconds wait;
    VirtualClock clock;
    RecordingMessageBox messages;
    RecordingFileDialog files;
    std::vector<std::shared_ptr<sim::InProcessTransport>> opened;
    std::unique_ptr<TFormMain> window;
};

}  // namespace mk27x
