// The main window against a virtual sensor in the same process: injected port
// backends that hand out in-process transports, a virtual clock, a recording
// message box and a recording file dialog.
#pragma once

#include <QCoreApplication>
#include <QTimer>
#include <memory>
#include <vector>

#include "app/form_main.h"
#include "platform/clock.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "support/recording_file_dialog.h"
#include "support/recording_message_box.h"
#include "support/sim_backends.h"
#include "support/virtual_clock.h"
#include "virtual_sensor.h"

namespace mk27x {

struct WindowHarness {
    explicit WindowHarness(sim::SensorConfig config = {},
                           std::chrono::milliseconds short_read_wait = {})
        : sim(config, short_read_wait) {
        window = std::make_unique<TFormMain>(messages, files, clock, sim.Backends());
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
            window->window_layout.TimerMoreTimer();
            heights.push_back(window->frameGeometry().height());
        }
        return heights;
    }

    testing::SimBackends sim;
    std::shared_ptr<sim::VirtualSensor>& sensor = sim.sensor;
    std::vector<std::shared_ptr<sim::InProcessTransport>>& opened = sim.opened;
    VirtualClock clock;
    RecordingMessageBox messages;
    RecordingFileDialog files;
    std::unique_ptr<TFormMain> window;
};

}  // namespace mk27x
