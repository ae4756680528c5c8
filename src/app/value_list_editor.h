// A two-column key/value grid with per-row cell options: the key column is
// fixed text, the value cell of each row is edited as its options say.
//
// The grid reports what its owner needs to take cell texts back: the keyboard
// focus leaving it (Exit), a context menu asked for anywhere on it, an open
// editor included (ContextPopup), and every key typed into a value cell before
// the cell sees it (the key filter may drop it). CellText() reads what a cell
// shows, the text of an editor still open included.
//
// The right mouse button only asks for the context menu: it does not move the
// current cell, so the menu acts on the row selected before. Tab and Shift+Tab
// move from cell to cell; Ctrl+Tab and Ctrl+Shift+Tab move the keyboard focus
// on to the next or previous control of the window, from an open editor too.
// The key column takes the width the value column leaves, so the grid is never
// wider than its viewport and does not scroll sideways.
//
// Threading: window thread only.
#pragma once

#include <QPointer>
#include <QStringList>
#include <QTableWidget>
#include <functional>
#include <vector>

#include "params/parameter_table.h"

namespace mk27x {

// Options of one row's value cell.
struct ItemProp {
    EditStyle edit_style = EditStyle::Simple;
    // Longest text the editor takes; 0 = no limit.
    int max_length = 0;
    QStringList pick_list;
    // Not typed into: a pick-list row then takes only items of its list, any
    // other row is not edited at all.
    bool read_only = false;
};

class ValueListEditor : public QTableWidget {
    Q_OBJECT
public:
    static constexpr int kKeyColumn = 0;
    static constexpr int kValueColumn = 1;

    explicit ValueListEditor(QWidget* parent = nullptr);

    // Appends a row; returns its index (rows count from 0 below the title row).
    int InsertRow(const QString& key, const QString& value);
    QString Key(int row) const;
    QString Value(int row) const;
    // Sets a cell's text; an editor open on that row is closed without taking
    // its text.
    void SetValue(int row, const QString& value);
    // What the value cell of `row` shows: the text of its open editor, if any.
    QString CellText(int row) const;
    // The row whose value editor is open, or -1, and that editor.
    int EditingRow() const { return editor_ ? editor_row_ : -1; }
    QWidget* OpenEditor() const { return editor_; }
    // Closes an open editor without taking its text.
    void DiscardEditor();

    // Called for every key typed into a value cell (row, the key's text, the
    // cell's text so far); true drops the key.
    std::function<bool(int row, const QString& key, const QString& text)> key_filter;

    // For the delegate: an editor was opened on `row`.
    void EditorOpened(int row, QWidget* editor);

    const ItemProp& ItemProps(int row) const { return props_[static_cast<std::size_t>(row)]; }
    void SetItemProps(int row, ItemProp props);

signals:
    // The "..." button of an ellipsis row was pressed.
    void EditButtonClick(int row);
    // The keyboard focus left the grid and its editors.
    void Exit();
    // A context menu was asked for at `global` (screen coordinates).
    void ContextPopup(const QPoint& global);

protected:
    void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    // True when the key filter drops this key press on `row`.
    bool DropsKey(int row, QKeyEvent* event) const;
    // Ctrl+Tab or Ctrl+Shift+Tab: moves the focus out of the grid; true when
    // the key was one of them.
    bool LeavesByKey(const QKeyEvent* event);
    // The control the focus goes to from the grid, forward or back, or null.
    QWidget* FocusNeighbour(bool next);

    std::vector<ItemProp> props_;
    QPointer<QWidget> editor_;
    int editor_row_ = -1;
};

}  // namespace mk27x
