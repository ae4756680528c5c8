// FormMain: the program's main window. It owns the sensor session, the
// controls by their designed names, and the four parts that give them their
// behaviour:
//   LinkPanel       (link_panel.h)       port, baud rate, address, Connect, identity, watchdog
//   ParameterGrid   (parameter_grid.h)   the grid, its menu, parameter files, pickers
//   MeasuringPanel  (measuring_panel.h)  series, stream, teach, calibration, readout, chart
//   WindowLayout    (window_layout.h)    the bands, the height animation, the description window
// Handlers call the session; the workflows themselves live there. The
// captions, enabled states and Tag values of Connect, the sensor buttons and
// the grid are rendered from the session's LinkState alone, at each of its
// state_changed events, whichever call made the change.
//
// Threading: everything here runs on the window thread, except the session's
// distance event for stream frames (see MeasuringPanel).
#pragma once

#include <QPushButton>
#include <QWidget>

#include "app/link_panel.h"
#include "app/measuring_panel.h"
#include "app/parameter_grid.h"
#include "app/texts.h"
#include "app/window_layout.h"
#include "platform/file_dialog.h"
#include "session/session.h"

namespace mk27x {

// A button that keeps a two-state value beside its caption.
class TagButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
    int Tag = 0;
};

class TFormMain : public QWidget,
                  public LinkControls,
                  public GridControls,
                  public MeasureControls,
                  public LayoutControls {
    Q_OBJECT
public:
    TFormMain(MessageBox& messages, FileDialog& files, Clock& clock, PortBackends backends,
              QWidget* parent = nullptr);
    ~TFormMain() override;

    // --- the sensor, and the boxes that word its outcomes (app/texts.h) ---
    MessageBox& messages;
    SensorSession session;
    int Show(const OperatorMessage& message) {
        return messages.Show(message.text, message.caption, message.flags);
    }

    // --- the parts ---
    LinkPanel link;
    ParameterGrid grid;
    MeasuringPanel measuring;
    WindowLayout window_layout;

    // --- the window's own handlers ---
    void FormCreate();
    void FormShow();
    void FormClose();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    // The controls as designed: captions, fonts and pixel positions, created
    // in the window's focus order (form_main_controls.cpp).
    void BuildControls();
    void InstallSessionEvents();
    // The one place that sets the captions, enabled states and Tag values of
    // Connect, the sensor buttons and the grid, and the identity labels and the
    // readout of a closed link, for the session's state:
    //   Closed, Lost  only the link settings, Connect and the grid
    //   Connected     every sensor button
    //   TimedSeries   only the Stop of the series' button ("Measure", or
    //                 "Measure Dev" in the session's measure-dev mode)
    //   Streaming     only "Stream stop" and the grid
    void RenderLinkState(LinkState state);
};

}  // namespace mk27x
