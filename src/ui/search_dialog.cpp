#include "ui/search_dialog.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace mk27x {

SearchDialog::SearchDialog(Clock& clock, SearchOpener opener, QWidget* parent)
    : QDialog(parent), search_(clock, std::move(opener)) {
    setObjectName("FormSearch");
    setWindowTitle("Search");
    setModal(true);
    LabelStatus = new QLabel("Quick search: address 1 at every rate on every port.", this);
    ProgressBarSearch = new QProgressBar(this);
    ProgressBarSearch->setRange(0, 100);
    ProgressBarSearch->setValue(0);
    ListFound = new QListWidget(this);
    ButtonQuick = new QPushButton("Quick search", this);
    ButtonFull = new QPushButton("Full search", this);
    ButtonCancel = new QPushButton("Cancel", this);
    ButtonUse = new QPushButton("Use", this);
    ButtonClose = new QPushButton("Close", this);

    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {ButtonQuick, ButtonFull, ButtonCancel, ButtonUse, ButtonClose})
        buttons->addWidget(b);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(LabelStatus);
    layout->addWidget(ProgressBarSearch);
    layout->addWidget(ListFound);
    layout->addLayout(buttons);
    resize(460, 280);

    connect(ButtonQuick, &QPushButton::clicked, this, [this] { RunSearch(false); });
    connect(ButtonFull, &QPushButton::clicked, this, [this] { RunSearch(true); });
    connect(ButtonCancel, &QPushButton::clicked, this, [this] { search_.Cancel(); });
    connect(ButtonUse, &QPushButton::clicked, this, [this] {
        if (Chosen()) accept();
    });
    connect(ButtonClose, &QPushButton::clicked, this, [this] { reject(); });
    connect(ListFound, &QListWidget::itemDoubleClicked, this, [this] {
        if (Chosen()) accept();
    });
    connect(ListFound, &QListWidget::currentRowChanged, this, [this] { UpdateButtons(); });

    search_.events.progress = [this](std::size_t done, std::size_t total) {
        ProgressBarSearch->setMaximum(static_cast<int>(total));
        ProgressBarSearch->setValue(static_cast<int>(done));
        if (on_progress) on_progress(done);
        QApplication::processEvents();
    };
    search_.events.found = [this](const FoundSensor& s) {
        auto* item = new QListWidgetItem(QString::fromStdString(FoundSensorText(s)), ListFound);
        item->setData(Qt::UserRole, static_cast<int>(result_.found.size()));
        result_.found.push_back(s);
        if (ListFound->currentRow() < 0) ListFound->setCurrentItem(item);
    };
    search_.events.port_failed = [this](const FailedPort& f) {
        // The dialog's own words, with the system's reason when it gave one.
        const std::string text =
            "cannot open " + f.port + (f.reason.empty() ? "" : ": " + f.reason);
        auto* item = new QListWidgetItem(QString::fromStdString(text), ListFound);
        item->setFlags(Qt::NoItemFlags);
        result_.failed.push_back(f);
    };
    UpdateButtons();
}

void SearchDialog::SetPorts(std::vector<std::string> listed, std::string chosen) {
    listed_ = std::move(listed);
    chosen_ = std::move(chosen);
    ButtonFull->setToolTip(QString::fromStdString("Addresses 1 to 127 on " + chosen_));
}

void SearchDialog::RunSearch(bool full) {
    if (searching_) return;
    searching_ = true;
    result_ = {};
    ListFound->clear();
    ProgressBarSearch->setValue(0);
    LabelStatus->setText(full ? QString::fromStdString("Full search on " + chosen_ + "…")
                              : QString("Quick search…"));
    UpdateButtons();
    const SearchResult r = search_.Run(full ? FullSearchPlan({chosen_}) : QuickSearchPlan(listed_));
    result_.cancelled = r.cancelled;
    searching_ = false;
    const auto n = result_.found.size();
    QString status = n == 0   ? QString("No sensor found")
                     : n == 1 ? QString("1 sensor found")
                              : QString("%1 sensors found").arg(n);
    if (r.cancelled) status += " (cancelled)";
    LabelStatus->setText(status + ".");
    UpdateButtons();
}

std::optional<FoundSensor> SearchDialog::Chosen() const {
    const QListWidgetItem* item = ListFound->currentItem();
    if (!item || searching_ || !(item->flags() & Qt::ItemIsEnabled)) return std::nullopt;
    const int k = item->data(Qt::UserRole).toInt();
    if (k < 0 || static_cast<std::size_t>(k) >= result_.found.size()) return std::nullopt;
    return result_.found[static_cast<std::size_t>(k)];
}

void SearchDialog::reject() {
    // Closing while searching cancels first; the search then returns.
    if (searching_) {
        search_.Cancel();
        return;
    }
    QDialog::reject();
}

void SearchDialog::UpdateButtons() {
    ButtonQuick->setEnabled(!searching_);
    ButtonFull->setEnabled(!searching_);
    ButtonCancel->setEnabled(searching_);
    ButtonClose->setEnabled(!searching_);
    ButtonUse->setEnabled(!searching_ && Chosen().has_value());
}

}  // namespace mk27x
