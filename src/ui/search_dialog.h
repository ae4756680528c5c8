// SearchDialog: the small window of the sensor search, opened by the last item
// of the port list. It runs a quick search (address 1 at every rate on every
// listed port) or a full one (addresses 1 to 127 on the chosen port) with a
// progress bar and a Cancel button, lists the sensors found and the ports that
// could not be opened, and hands back the sensor the operator chooses.
//
// Threading: window thread only. The search runs on it, attempt by attempt,
// letting the window's events through between attempts (so Cancel works).
#pragma once

#include <QDialog>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "session/sensor_search.h"

class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace mk27x {

class SearchDialog : public QDialog {
    Q_OBJECT
public:
    SearchDialog(Clock& clock, SearchOpener opener, QWidget* parent = nullptr);

    // The ports of a quick search, and the one of a full search.
    void SetPorts(std::vector<std::string> listed, std::string chosen);
    // Runs a search; returns when it has ended or was cancelled.
    void RunSearch(bool full);
    const SearchResult& Result() const { return result_; }
    // The sensor chosen in the list (the dialog is accepted with it).
    std::optional<FoundSensor> Chosen() const;
    bool Searching() const { return searching_; }

    QLabel* LabelStatus;
    QProgressBar* ProgressBarSearch;
    QListWidget* ListFound;
    QPushButton* ButtonQuick;
    QPushButton* ButtonFull;
    QPushButton* ButtonCancel;
    QPushButton* ButtonUse;
    QPushButton* ButtonClose;

    // Called after each step of the progress bar (tests act from it).
    std::function<void(std::size_t done)> on_progress;

protected:
    void reject() override;

private:
    void UpdateButtons();

    SensorSearch search_;
    std::vector<std::string> listed_;
    std::string chosen_;
    SearchResult result_;
    bool searching_ = false;
};

}  // namespace mk27x
