#include "app/value_list_editor.h"

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <utility>

namespace mk27x {
namespace {

// The editor of an ellipsis row: the text and the button beside it.
class EllipsisEditor : public QWidget {
public:
    explicit EllipsisEditor(QWidget* parent) : QWidget(parent) {
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        edit = new QLineEdit(this);
        edit->setFrame(false);
        button = new QToolButton(this);
        button->setText("...");
        button->setObjectName("EllipsisButton");
        layout->addWidget(edit, 1);
        layout->addWidget(button);
        setFocusProxy(edit);
        setAutoFillBackground(true);
        // The row button sits at the right end of the value cell.
        button->setFixedWidth(16);
    }

    QLineEdit* edit;
    QToolButton* button;
};

// Ctrl+Tab (1) and Ctrl+Shift+Tab (-1) move the focus out of the grid; 0 for
// any other key.
int LeavingDirection(const QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    if (!(modifiers & Qt::ControlModifier) || (modifiers & Qt::AltModifier)) return 0;
    if (event->key() == Qt::Key_Backtab) return -1;
    if (event->key() != Qt::Key_Tab) return 0;
    return (modifiers & Qt::ShiftModifier) ? -1 : 1;
}

// Makes the value cells' editors from the row options.
class ItemPropDelegate : public QStyledItemDelegate {
public:
    explicit ItemPropDelegate(ValueListEditor* grid) : QStyledItemDelegate(grid), grid_(grid) {}

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        QWidget* editor = MakeEditor(parent, option, index);
        if (editor && index.column() == ValueListEditor::kValueColumn)
            grid_->EditorOpened(index.row(), editor);
        return editor;
    }

    QWidget* MakeEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const {
        if (index.column() != ValueListEditor::kValueColumn)
            return QStyledItemDelegate::createEditor(parent, option, index);
        const int row = index.row();
        const ItemProp& props = grid_->ItemProps(row);
        switch (props.edit_style) {
            case EditStyle::PickList: {
                auto* combo = new QComboBox(parent);
                combo->addItems(props.pick_list);
                combo->setEditable(!props.read_only);
                if (combo->lineEdit() && props.max_length > 0)
                    combo->lineEdit()->setMaxLength(props.max_length);
                return combo;
            }
            case EditStyle::Ellipsis: {
                auto* editor = new EllipsisEditor(parent);
                if (props.max_length > 0) editor->edit->setMaxLength(props.max_length);
                editor->edit->setReadOnly(props.read_only);
                ValueListEditor* grid = grid_;
                QObject::connect(editor->button, &QToolButton::clicked, grid,
                                 [grid, row] { emit grid->EditButtonClick(row); });
                return editor;
            }
            case EditStyle::Simple:
                break;
        }
        auto* edit = new QLineEdit(parent);
        edit->setFrame(false);
        if (props.max_length > 0) edit->setMaxLength(props.max_length);
        return edit;
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        const QString text = index.data(Qt::EditRole).toString();
        if (auto* combo = qobject_cast<QComboBox*>(editor)) {
            const int item = combo->findText(text);
            if (combo->isEditable())
                combo->setEditText(text);
            else
                combo->setCurrentIndex(item);
        } else if (auto* ellipsis = dynamic_cast<EllipsisEditor*>(editor)) {
            ellipsis->edit->setText(text);
        } else if (auto* edit = qobject_cast<QLineEdit*>(editor)) {
            edit->setText(text);
        } else {
            QStyledItemDelegate::setEditorData(editor, index);
        }
    }

    void setModelData(QWidget* editor, QAbstractItemModel* model,
                      const QModelIndex& index) const override {
        if (auto* combo = qobject_cast<QComboBox*>(editor)) {
            // A list without a chosen item leaves the cell as it was.
            if (combo->isEditable())
                model->setData(index, combo->currentText());
            else if (combo->currentIndex() >= 0)
                model->setData(index, combo->currentText());
        } else if (auto* ellipsis = dynamic_cast<EllipsisEditor*>(editor)) {
            model->setData(index, ellipsis->edit->text());
        } else if (auto* edit = qobject_cast<QLineEdit*>(editor)) {
            model->setData(index, edit->text());
        } else {
            QStyledItemDelegate::setModelData(editor, model, index);
        }
    }

    // The delegate's own filter takes every Tab for the next cell; the keys that
    // leave the grid pass on to the grid's filter.
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::KeyPress &&
            LeavingDirection(static_cast<QKeyEvent*>(event)) != 0)
            return false;
        return QStyledItemDelegate::eventFilter(object, event);
    }

private:
    ValueListEditor* grid_;
};

// The text an editor of the value column shows.
QString EditorText(QWidget* editor) {
    if (auto* combo = qobject_cast<QComboBox*>(editor)) return combo->currentText();
    if (auto* ellipsis = dynamic_cast<EllipsisEditor*>(editor)) return ellipsis->edit->text();
    if (auto* edit = qobject_cast<QLineEdit*>(editor)) return edit->text();
    return {};
}

}  // namespace

ValueListEditor::ValueListEditor(QWidget* parent) : QTableWidget(0, 2, parent) {
    setHorizontalHeaderLabels({"Parameter", "Value"});
    horizontalHeader()->setHighlightSections(false);
    // Fixed columns wider than the viewport would leave a hidden sideways range
    // that scrolling a value cell into view uses, cutting the names' first
    // letters: the key column stretches to what the value column leaves.
    horizontalHeader()->setSectionResizeMode(kKeyColumn, QHeaderView::Stretch);
    horizontalHeader()->setSectionResizeMode(kValueColumn, QHeaderView::Fixed);
    horizontalHeader()->setStretchLastSection(false);
    setColumnWidth(kValueColumn, 60);
    verticalHeader()->setVisible(false);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(18);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFrameShape(QFrame::NoFrame);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                    QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    setItemDelegate(new ItemPropDelegate(this));
    // The button face behind the cells.
    QPalette p = palette();
    p.setColor(QPalette::Base, p.color(QPalette::Button));
    setPalette(p);

    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget* now) {
        auto inside = [this](QWidget* w) { return w && (w == this || isAncestorOf(w)); };
        if (inside(old) && !inside(now)) emit Exit();
    });
}

void ValueListEditor::EditorOpened(int row, QWidget* editor) {
    editor_ = editor;
    editor_row_ = row;
    // Keys and context menus of the editor and its parts come here first.
    editor->installEventFilter(this);
    for (QWidget* part : editor->findChildren<QWidget*>()) part->installEventFilter(this);
}

QString ValueListEditor::CellText(int row) const {
    if (editor_ && editor_row_ == row) return EditorText(editor_);
    return Value(row);
}

void ValueListEditor::DiscardEditor() {
    if (editor_) closeEditor(editor_, QAbstractItemDelegate::NoHint);
}

void ValueListEditor::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
    if (editor == editor_) editor_ = nullptr;
    QTableWidget::closeEditor(editor, hint);
}

bool ValueListEditor::DropsKey(int row, QKeyEvent* event) const {
    if (!key_filter || row < 0 || event->text().isEmpty()) return false;
    return key_filter(row, event->text(), CellText(row));
}

QWidget* ValueListEditor::FocusNeighbour(bool next) {
    QWidget* w = this;
    while (true) {
        w = next ? w->nextInFocusChain() : w->previousInFocusChain();
        if (!w || w == this) return nullptr;
        if (isAncestorOf(w) || w->isWindow() || w->window() != window()) continue;
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisible() && w->isEnabled() &&
            !w->focusProxy())
            return w;
    }
}

bool ValueListEditor::LeavesByKey(const QKeyEvent* event) {
    const int direction = LeavingDirection(event);
    if (direction == 0) return false;
    if (QWidget* target = FocusNeighbour(direction > 0))
        target->setFocus(direction > 0 ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

bool ValueListEditor::eventFilter(QObject* watched, QEvent* event) {
    if (editor_ && (watched == editor_ || editor_->isAncestorOf(qobject_cast<QWidget*>(watched)))) {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (LeavesByKey(key) || DropsKey(editor_row_, key)) return true;
        }
        if (event->type() == QEvent::ContextMenu) {
            emit ContextPopup(static_cast<QContextMenuEvent*>(event)->globalPos());
            return true;
        }
    }
    return QTableWidget::eventFilter(watched, event);
}

void ValueListEditor::keyPressEvent(QKeyEvent* event) {
    if (LeavesByKey(event)) return;
    // A key on a selected value cell opens its editor with that key.
    const QModelIndex current = currentIndex();
    if (current.isValid() && current.column() == kValueColumn && !editor_ &&
        DropsKey(current.row(), event))
        return;
    QTableWidget::keyPressEvent(event);
}

void ValueListEditor::contextMenuEvent(QContextMenuEvent* event) {
    emit ContextPopup(event->globalPos());
}

// The right button leaves the current cell, the selection and the click state
// of the left button alone; the context menu event follows on its own.
void ValueListEditor::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    QTableWidget::mousePressEvent(event);
}

void ValueListEditor::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    QTableWidget::mouseReleaseEvent(event);
}

void ValueListEditor::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    QTableWidget::mouseDoubleClickEvent(event);
}

int ValueListEditor::InsertRow(const QString& key, const QString& value) {
    const int row = rowCount();
    insertRow(row);
    auto* key_item = new QTableWidgetItem(key);
    key_item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    setItem(row, kKeyColumn, key_item);
    setItem(row, kValueColumn, new QTableWidgetItem(value));
    props_.resize(static_cast<std::size_t>(row) + 1);
    SetItemProps(row, ItemProp{});
    return row;
}

QString ValueListEditor::Key(int row) const {
    return item(row, kKeyColumn)->text();
}

QString ValueListEditor::Value(int row) const {
    return item(row, kValueColumn)->text();
}

void ValueListEditor::SetValue(int row, const QString& value) {
    if (editor_ && editor_row_ == row) DiscardEditor();
    item(row, kValueColumn)->setText(value);
}

void ValueListEditor::SetItemProps(int row, ItemProp props) {
    const bool editable = !props.read_only || props.edit_style == EditStyle::PickList;
    props_[static_cast<std::size_t>(row)] = std::move(props);
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (editable) flags |= Qt::ItemIsEditable;
    item(row, kValueColumn)->setFlags(flags);
}

}  // namespace mk27x
