#include "app/application.h"

namespace mk27x {

Application::Application(int& argc, char** argv, MessageBox& messages)
    : QApplication(argc, argv), messages_(messages) {
    setApplicationName(kApplicationTitle);
}

bool Application::notify(QObject* receiver, QEvent* event) {
    bool handled = false;
    ReportingEscapes(messages_, [&] { handled = QApplication::notify(receiver, event); });
    return handled;
}

}  // namespace mk27x
