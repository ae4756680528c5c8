// The parameter grid of the main window, offscreen against the in-process
// virtual sensor: cell commits from the three events, the digit guard, the
// context menu and its commands.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QProgressBar>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QTest>

#include "app/value_list_editor.h"
#include "pickers/formsync.h"
#include "pickers/outlogic.h"
#include "pickers/range.h"
#include "window_harness.h"

namespace mk27x {
namespace {

using Shown = RecordingMessageBox::Shown;
using Bytes = std::vector<std::uint8_t>;

class ParameterGridTest : public ::testing::Test {
protected:
    void SetUp() override {
        w.show();
        w.MessageBeep = [this] { ++beeps; };
    }

    QModelIndex Cell(int row) { return grid.model()->index(row, ValueListEditor::kValueColumn); }

    // Selects the value cell of `row` (committing the row left) and opens its editor.
    QLineEdit* Edit(int row) {
        grid.setCurrentIndex(Cell(row));
        grid.edit(Cell(row));
        QWidget* editor = grid.OpenEditor();
        if (auto* line = qobject_cast<QLineEdit*>(editor)) return line;
        return editor ? editor->findChild<QLineEdit*>() : nullptr;
    }
    QComboBox* EditList(int row) {
        grid.setCurrentIndex(Cell(row));
        grid.edit(Cell(row));
        return qobject_cast<QComboBox*>(grid.OpenEditor());
    }
    QLineEdit* OpenLine() { return qobject_cast<QLineEdit*>(grid.OpenEditor()); }
    void Select(int row) { grid.setCurrentIndex(Cell(row)); }
    // Types `text` over what the open editor of `row` holds.
    void Type(int row, const QString& text) {
        QLineEdit* line = Edit(row);
        ASSERT_NE(line, nullptr);
        line->setText(text);
    }
    std::vector<QString> MenuTexts() {
        std::vector<QString> texts;
        for (QAction* a : w.PopupMenuParam->actions())
            texts.push_back(a->isSeparator() ? "-" : a->text());
        return texts;
    }

    WindowHarness h;
    TFormMain& w = *h.window;
    ValueListEditor& grid = *w.ValueListEditorParam;
    int beeps = 0;
};

TEST_F(ParameterGridTest, LeavingARowCommitsOrPutsBackItsText) {
    Type(5, "70000");  // above 65535
    Select(8);
    EXPECT_EQ(grid.Value(5), "500");
    EXPECT_EQ(w.session.Values()[5], 500);
    EXPECT_EQ(w.CurrentParameter, 8);

    Type(8, "255");
    Select(5);
    EXPECT_EQ(w.session.Values()[8], 255);
    EXPECT_EQ(grid.Value(8), "255");

    Type(5, "");
    Select(19);
    EXPECT_EQ(grid.Value(5), "500");

    Type(19, "-9999");
    Select(6);
    EXPECT_EQ(w.session.Values()[19], 0xD8F1);

    // A range row holding 130 puts back the truncated text.
    w.session.Values()[6] = 130;
    w.FillParameterGrid();
    EXPECT_EQ(grid.Value(6), "8");
    Type(6, "1001");
    Select(3);
    EXPECT_EQ(grid.Value(6), "7");
    EXPECT_EQ(w.session.Values()[6], 130);
    EXPECT_TRUE(h.messages.shown.empty());
}

TEST_F(ParameterGridTest, DistanceRowsNeedAnIdentifiedSensor) {
    Type(9, "25000");
    Select(5);
    EXPECT_EQ(w.session.Values()[9], 0);  // R is 0: put back
    EXPECT_EQ(grid.Value(9), "0");

    h.Connect();
    Type(9, "25000");
    Select(5);
    EXPECT_EQ(w.session.Values()[9], 8192);
}

TEST_F(ParameterGridTest, PickListRowsStoreTheirItems) {
    QComboBox* combo = EditList(3);
    ASSERT_NE(combo, nullptr);
    combo->setCurrentText("230400");
    Select(13);
    EXPECT_EQ(w.session.Values()[3], 96);
}

TEST_F(ParameterGridTest, ATextThatIsNoIntegerIsReportedAndKeepsTheRow) {
    Type(5, "12a");
    Select(8);
    EXPECT_EQ(h.messages.shown, (std::vector<Shown>{{"'12a' is not a valid integer value",
                                                     "MK27x-SP", MB_OK | MB_ICONSTOP}}));
    EXPECT_EQ(w.CurrentParameter, 5);
    EXPECT_EQ(w.session.Values()[5], 500);
    EXPECT_EQ(grid.Value(5), "12a");
}

TEST_F(ParameterGridTest, RowsOneAndEighteenAreNotCommitted) {
    Type(1, "12");
    Select(5);
    EXPECT_EQ(w.session.Values()[1], 0);
    EXPECT_EQ(grid.Value(1), "12");
    w.FillParameterGrid();
    EXPECT_EQ(grid.Value(1), "0");
}

TEST_F(ParameterGridTest, DigitGuardBeepsAtFiveCharacters) {
    Type(5, "12345");
    QLineEdit* line = OpenLine();
    ASSERT_NE(line, nullptr);
    QTest::keyClick(line, Qt::Key_6);
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(line->text(), "12345");
    QTest::keyClick(line, Qt::Key_A);  // letters pass
    QTest::keyClick(line, Qt::Key_Backspace);
    EXPECT_EQ(beeps, 1);

    // The sign counts on row 19 only; other rows let it through.
    Type(19, "-1234");
    line = OpenLine();
    QTest::keyClick(line, Qt::Key_Minus);
    EXPECT_EQ(beeps, 2);
    Type(8, "12");
    line = OpenLine();
    QTest::keyClick(line, Qt::Key_3);
    EXPECT_EQ(beeps, 2);
}

TEST_F(ParameterGridTest, ContextMenuCommitsTheOpenEditorFirst) {
    EXPECT_EQ(MenuTexts(), (std::vector<QString>{"Load", "Read", "Compare", "-", "Load All",
                                                 "Read All", "Compare All", "-", "Write to FLASH",
                                                 "Default"}));
    h.Connect();
    Type(8, "7");
    QLineEdit* line = OpenLine();
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(2, 2), line->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(line, &event);
    EXPECT_EQ(w.session.Values()[8], 7);
    EXPECT_TRUE(w.PopupMenuParam->isVisible());
    w.PopupMenuParam->hide();

    // Load acts on the row just committed: write, 100 ms, read all.
    w.PopupMenuLoad->trigger();
    EXPECT_EQ(h.sensor->Register(0x10), 7);
    EXPECT_EQ(grid.Value(8), "7");
    EXPECT_TRUE(h.messages.shown.empty());
}

TEST_F(ParameterGridTest, MenuCommandsThroughTheWindow) {
    h.Connect();
    // Compare shows the raw values; the grid keeps the edit.
    Type(8, "9");
    Select(5);
    Select(8);
    w.PopupMenuCompare->trigger();
    EXPECT_EQ(h.messages.shown,
              (std::vector<Shown>{{"Parameters 'DelayMsr' not equal:\rWrite=9, Read=1.", "MK271-SP",
                                   MB_OK | MB_ICONEXCLAMATION}}));
    EXPECT_EQ(grid.Value(8), "9");

    // Read brings the sensor's value back into every row.
    h.messages.shown.clear();
    w.PopupMenuRead->trigger();
    EXPECT_EQ(grid.Value(8), "1");

    // Both confirmations cancelled: nothing is sent.
    h.opened.back()->ClearLog();
    h.messages.answers = {IDCANCEL, IDCANCEL};
    w.PopupMenuFLASH->trigger();
    w.PopupMenuDefault->trigger();
    EXPECT_TRUE(h.opened.back()->WrittenBytes().empty());
    EXPECT_EQ(h.messages.shown.size(), 2u);

    // Load on the address: the grid and the combo box follow the sensor.
    QComboBox* address = EditList(2);
    ASSERT_NE(address, nullptr);
    address->setCurrentText("5");
    Select(5);
    Select(2);
    w.PopupMenuLoad->trigger();
    EXPECT_EQ(h.sensor->Address(), 5);
    EXPECT_EQ(w.ComboBoxWorkCodeDev->currentText(), "5");
    EXPECT_EQ(grid.Value(2), "5");
}

TEST_F(ParameterGridTest, ReadAllWithASilentSensorKeepsTheGridAndTheBar) {
    h.Connect();
    w.session.Values()[8] = 77;
    w.FillParameterGrid();
    sim::Faults faults;
    faults.silent_after_requests = 9;
    h.sensor->SetFaults(faults);
    w.PopupMenuReadAll->trigger();
    EXPECT_EQ(grid.Value(8), "77");
    EXPECT_EQ(w.ProgressBarParam->value(), 7);
    w.TimerAnswerTimer();
    EXPECT_EQ(h.messages.shown.back().text, "No answer.");
}

TEST_F(ParameterGridTest, MenuIsDisabledWhileStreaming) {
    h.Connect();
    w.session.StartStream();
    w.ValueListEditorParamContextPopup(QPoint(10, 10));
    for (QAction* a : w.PopupMenuParam->actions())
        if (!a->isSeparator()) {
            EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
        }
    w.PopupMenuParam->hide();
    w.session.StopStream();
    w.ValueListEditorParamContextPopup(QPoint(10, 10));
    EXPECT_TRUE(w.PopupMenuLoad->isEnabled());
    w.PopupMenuParam->hide();
}

TEST_F(ParameterGridTest, RowButtonWithABadRangeTextReportsAndOpensNothing) {
    TFormSynchro synchro;
    TFormOutLogic out_logic;
    TFormRange range;
    w.SetPickerDialogs({synchro, out_logic, range});
    Select(6);
    grid.SetValue(7, "abc");
    w.ValueListEditorParamEditButtonClick();
    EXPECT_EQ(h.messages.shown, (std::vector<Shown>{{"'abc' is not a valid integer value",
                                                     "MK27x-SP", MB_OK | MB_ICONSTOP}}));
    EXPECT_FALSE(range.isVisible());
    EXPECT_EQ(grid.Value(7), "abc");  // no refill after the failed preset
}

}  // namespace
}  // namespace mk27x
