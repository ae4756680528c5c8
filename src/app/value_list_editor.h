// A two-column key/value grid with per-row cell options: the key column is
// fixed text, the value cell of each row is edited as its options say.
#pragma once

#include <QStringList>
#include <QTableWidget>
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
    void SetValue(int row, const QString& value);

    const ItemProp& ItemProps(int row) const { return props_[static_cast<std::size_t>(row)]; }
    void SetItemProps(int row, ItemProp props);

signals:
    // The "..." button of an ellipsis row was pressed.
    void EditButtonClick(int row);

private:
    std::vector<ItemProp> props_;
};

}  // namespace mk27x
