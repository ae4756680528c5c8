// The main window's sensor search (the last item of the port list) and its
// parameter files (the last two items of the grid's menu).
#include <QAction>
#include <QComboBox>
#include <QSignalBlocker>

#include "app/form_main.h"
#include "app/search_dialog.h"
#include "platform/file_dialog.h"

namespace mk27x {
namespace {

FileDialogOptions ParameterFileOptions(const char* title) {
    FileDialogOptions options;
    options.filter = "Parameter files (*.json)|*.json|All files|*.*";
    options.default_extension = "json";
    options.title = title;
    return options;
}

}  // namespace

int TFormMain::PortInsertPosition() const {
    const int search = ComboBoxCOM->findText(QString::fromUtf8(kSearchItem));
    return search < 0 ? ComboBoxCOM->count() : search;
}

bool TFormMain::ComboBoxCOMSearchChosen() {
    const int item = ComboBoxCOM->currentIndex();
    if (ComboBoxCOM->itemText(item) != QString::fromUtf8(kSearchItem)) {
        last_port_item = item;
        return false;
    }
    {
        // The port shown before comes back without running the handler: the
        // port name has not changed.
        const QSignalBlocker block(ComboBoxCOM);
        int back = last_port_item;
        if (back < 0 || back >= PortInsertPosition())
            back = ComboBoxCOM->findText(QString::fromStdString(session.PortName()));
        ComboBoxCOM->setCurrentIndex(back);
    }
    OpenSearchDialog();
    return true;
}

void TFormMain::OpenSearchDialog() {
    if (!search_dialog) search_dialog = new SearchDialog(session.GetClock(), search_opener, this);
    std::vector<std::string> ports;
    for (int i = 0; i < PortInsertPosition(); ++i)
        ports.push_back(ComboBoxCOM->itemText(i).toStdString());
    search_dialog->SetPorts(std::move(ports), session.PortName());
    if (search_dialog->exec() != QDialog::Accepted) return;
    if (const auto sensor = search_dialog->Chosen()) UseFoundSensor(*sensor);
}

void TFormMain::UseFoundSensor(const FoundSensor& sensor) {
    AddAndSelectPort(QString::fromStdString(sensor.port));
    {
        const QSignalBlocker block(ComboBoxWorkBaund);
        ComboBoxWorkBaund->setCurrentIndex(
            ComboBoxWorkBaund->findText(QString::number(sensor.baud)));
    }
    ComboBoxWorkBaundChange();
    {
        const QSignalBlocker block(ComboBoxWorkCodeDev);
        ComboBoxWorkCodeDev->setCurrentIndex(sensor.address - 1);
    }
    ComboBoxWorkCodeDevChange();
}

void TFormMain::PopupMenuSaveFileClick() {
    if (!parameter_file_dialog) return;
    FileDialogOptions options = ParameterFileOptions("Save parameters to file");
    options.confirm_overwrite = true;
    const auto path = parameter_file_dialog->Save(options);
    if (path) session.SaveParameterFile(*path);
}

void TFormMain::PopupMenuLoadFileClick() {
    if (!parameter_file_dialog) return;
    const auto path =
        parameter_file_dialog->Open(ParameterFileOptions("Load parameters from file"));
    // The grid follows through the session's parameters_replaced event.
    if (path) session.LoadParameterFile(*path);
}

}  // namespace mk27x
