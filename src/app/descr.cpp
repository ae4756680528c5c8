#include "app/descr.h"

#include <QPlainTextEdit>
#include <QTimer>
#include <QVBoxLayout>

namespace mk27x {

TFormDescr::TFormDescr(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint),
      Memo1(new QPlainTextEdit(this)),
      TimerPos(new QTimer(this)) {
    setObjectName("FormDescr");
    resize(122, 348);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Memo1);
    Memo1->setObjectName("Memo1");
    Memo1->setPlainText("Memo1");
    TimerPos->setInterval(1);
    FormCreate();
}

void TFormDescr::FormCreate() {
    TimerPos->stop();
}

}  // namespace mk27x
