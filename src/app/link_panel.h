// The link panel: which sensor the window talks to (port, baud rate and
// address), Connect/Disconnect, the sensor's identity in the bottom panel, the
// lost-answer watchdog (TimerAnswer) and the sensor search behind the port
// list's last item.
#pragma once

#include <QString>
#include <cstdint>
#include <iterator>

#include "params/parameter_table.h"
#include "session/sensor_search.h"

class QComboBox;
class QLabel;
class QTimer;

namespace mk27x {

class SearchDialog;
class SensorSession;
class TFormMain;
class TagButton;
enum class LinkState;
struct SensorIdentity;

// The link panel's controls by their designed names; the window exposes them.
struct LinkControls {
    QLabel* Label1 = nullptr;
    QComboBox* ComboBoxCOM = nullptr;
    QLabel* Label5 = nullptr;
    QComboBox* ComboBoxWorkBaund = nullptr;
    QLabel* Label4 = nullptr;
    QComboBox* ComboBoxWorkCodeDev = nullptr;
    TagButton* ButtonConnect = nullptr;

    QLabel* LabelModelTitle = nullptr;
    QLabel* LabelModel = nullptr;
    QLabel* LabelSerNumTitle = nullptr;
    QLabel* LabelSerNum = nullptr;
    QLabel* LabelReleaseTitle = nullptr;
    QLabel* LabelRelease = nullptr;
    QLabel* LabelBaseTitle = nullptr;
    QLabel* LabelBase = nullptr;
    QLabel* LabelRangeTitle = nullptr;
    QLabel* LabelRange = nullptr;

    QTimer* TimerAnswer = nullptr;  // 1000 ms, lost-answer watchdog
};

class LinkPanel {
public:
    // The last item of ComboBoxCOM: opens the search instead of naming a port.
    static constexpr const char* kSearchItem = "Search\u2026";
    // Item of the baud combo box (the rates of kBaudRates) for a rate, or -1.
    static int BaudItem(std::uint32_t rate) {
        for (int i = 0; i < static_cast<int>(std::size(kBaudRates)); ++i)
            if (kBaudRates[i] == rate) return i;
        return -1;
    }

    explicit LinkPanel(TFormMain& window);

    // Wires the combo boxes, Connect and TimerAnswer (after the window's creation).
    void ConnectHandlers();

    void ButtonConnectClick();
    void ComboBoxCOMChange();
    void ComboBoxWorkBaundChange();
    void ComboBoxWorkCodeDevChange();
    void TimerAnswerTimer();
    // The window's part of the watchdog's end of a link, at LinkState::Lost
    // (before the controls show the closed link and "No answer." is shown):
    // its timers stop, and it shrinks when the link was `before` Connected or
    // in a timed series.
    void RenderLostLink(LinkState before);

    // Adds a device path to the port list (once) and chooses it.
    void AddAndSelectPort(const QString& device);

    // The bottom panel's identity labels: the sensor's, or "none".
    void ShowIdentity(const SensorIdentity& id);
    void ResetIdentityLabels();
    // The combo boxes follow a change the sensor has been told of already.
    void FollowAddress(std::uint8_t address);
    void FollowBaud(std::uint32_t baud);

    // --- the sensor search ---
    // Where the search opens its ports.
    SearchOpener search_opener = RealSearchOpener();
    // Made at the first search and kept.
    SearchDialog* search_dialog = nullptr;
    // The port item shown before "Search…" was chosen.
    int last_port_item = -1;
    // Called first by ComboBoxCOMChange: true when "Search…" was chosen; the
    // port shown before is put back and the search opens.
    bool ComboBoxCOMSearchChosen();
    void OpenSearchDialog();
    // Sets the three combo boxes to a sensor found; their handlers run.
    void UseFoundSensor(const FoundSensor& sensor);
    // Where a new port goes in ComboBoxCOM's list: before "Search…".
    int PortInsertPosition() const;

private:
    // The part of ButtonConnectClick that ends a connection: the session's
    // Disconnect, then the window's part of it.
    void DisconnectBranch();

    TFormMain& w;
    SensorSession& session;
};

}  // namespace mk27x
