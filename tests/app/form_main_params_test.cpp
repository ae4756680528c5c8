// The parameter grid of the main window, offscreen against the in-process
// virtual sensor: cell commits from the three events, the digit guard, the
// context menu and its commands.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>

#include "app/value_list_editor.h"
#include "pickers/dialog_driver.h"
#include "pickers/formsync.h"
#include "pickers/outlogic.h"
#include "pickers/range.h"
#include "support/recording_message_box.h"
#include "window_harness.h"

namespace mk27x {
namespace {

using Shown = RecordingMessageBox::Shown;
using Bytes = std::vector<std::uint8_t>;

class ParameterGridTest : public ::testing::Test {
protected:
    void SetUp() override {
        w.show();
        w.grid.MessageBeep = [this] { ++beeps; };
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
    // The window active, as under the operator's hands.
    void Activate() {
        w.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    }
    // The value cell of `row` in window coordinates.
    QPoint At(int row) { return grid.viewport()->mapTo(&w, grid.visualRect(Cell(row)).center()); }
    void Click(int row, Qt::MouseButton button) {
        QTest::mousePress(w.windowHandle(), button, {}, At(row));
        w.PopupMenuParam->hide();
        QTest::mouseRelease(w.windowHandle(), button, {}, At(row));
    }
    bool InGrid(const QWidget* widget) {
        return widget && (widget == &grid || grid.isAncestorOf(widget));
    }
    void Key(int key, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(QApplication::focusWidget(), static_cast<Qt::Key>(key), modifiers);
    }
    std::vector<std::string> MenuTexts() {
        std::vector<std::string> texts;
        for (QAction* a : w.PopupMenuParam->actions())
            texts.push_back(a->isSeparator() ? "-" : a->text().toStdString());
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
    EXPECT_EQ(w.grid.CurrentParameter, 8);

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
    w.grid.FillParameterGrid();
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
    EXPECT_EQ(w.grid.CurrentParameter, 5);
    EXPECT_EQ(w.session.Values()[5], 500);
    EXPECT_EQ(grid.Value(5), "12a");
}

TEST_F(ParameterGridTest, ATextThatIsNoIntegerIsReportedOncePerClick) {
    h.Connect();
    Activate();
    // Like a real box, the report holds the keyboard focus while it is up.
    h.messages.while_shown = [this] {
        QPointer<QWidget> had = QApplication::focusWidget();
        w.ButtonConnect->setFocus();
        if (had) had->setFocus();
    };
    Type(5, "12a");
    Click(8, Qt::LeftButton);
    EXPECT_EQ(h.messages.shown.size(), 1u);
    Click(10, Qt::RightButton);
    EXPECT_EQ(h.messages.shown.size(), 2u);
    Click(5, Qt::LeftButton);
    EXPECT_EQ(h.messages.shown.size(), 3u);
    EXPECT_EQ(h.messages.shown.back().text, "'12a' is not a valid integer value");
    EXPECT_EQ(w.grid.CurrentParameter, 5);
    EXPECT_EQ(w.session.Values()[5], 500);
}

TEST_F(ParameterGridTest, EveryTypedRowTakesAtMostItsMaximumLength) {
    for (int row = 0; row < kParameterCount; ++row) {
        const ParameterRow& p = ParameterTable[static_cast<std::size_t>(row)];
        grid.setCurrentIndex(Cell(row));
        grid.edit(Cell(row));
        QWidget* editor = grid.OpenEditor();
        ASSERT_NE(editor, nullptr) << row;
        QLineEdit* line = qobject_cast<QLineEdit*>(editor);
        if (!line) line = editor->findChild<QLineEdit*>();
        if (p.edit_style == EditStyle::PickList && p.read_only) {
            EXPECT_EQ(line, nullptr) << row;  // a list, not typed into
        } else {
            ASSERT_NE(line, nullptr) << row;
            EXPECT_EQ(line->maxLength(), p.max_length) << row;
        }
        grid.DiscardEditor();
    }
}

TEST_F(ParameterGridTest, RowsOneAndEighteenAreNotCommitted) {
    Type(1, "12");
    Select(5);
    EXPECT_EQ(w.session.Values()[1], 0);
    EXPECT_EQ(grid.Value(1), "12");
    w.grid.FillParameterGrid();
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
    EXPECT_EQ(MenuTexts(),
              (std::vector<std::string>{"Load", "Read", "Compare", "-", "Load All", "Read All",
                                        "Compare All", "-", "Write to FLASH", "Default", "-",
                                        "Save parameters to file…", "Load parameters from file…"}));
    h.Connect();
    Type(8, "7");
    QLineEdit* line = OpenLine();
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(2, 2),
                            line->mapToGlobal(QPoint(2, 2)));
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

TEST_F(ParameterGridTest, RightClickOnAnotherRowLeavesTheMenuOnTheRowSelected) {
    h.Connect();
    Type(8, "7");
    Click(5, Qt::RightButton);
    EXPECT_EQ(w.grid.CurrentParameter, 8);
    EXPECT_EQ(grid.currentRow(), 8);
    h.opened.back()->ClearLog();
    w.PopupMenuLoad->trigger();
    // DelayMsr's register 0x10 takes 7 (then the whole set is read back).
    Bytes written = h.opened.back()->WrittenBytes();
    written.resize(6);
    EXPECT_EQ(written, (Bytes{0x01, 0x83, 0x80, 0x81, 0x87, 0x80}));
}

TEST_F(ParameterGridTest, TabMovesInTheGridAndCtrlTabOutOfIt) {
    Activate();
    Select(5);
    grid.setFocus();
    for (int i = 0; i < 45; ++i) Key(Qt::Key_Tab);
    EXPECT_TRUE(InGrid(QApplication::focusWidget()));
    EXPECT_EQ(w.grid.CurrentParameter, 8);  // 45 cells on from row 5 (40 cells, wrapping)

    Key(Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(QApplication::focusWidget(), w.ComboBoxCOM);
    grid.setFocus();
    Key(Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), w.ButtonDescription);

    // Out of an open editor: the text is taken as the grid is left.
    Type(8, "7");
    Key(Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_FALSE(InGrid(QApplication::focusWidget()));
    EXPECT_EQ(w.session.Values()[8], 7);
}

TEST_F(ParameterGridTest, NamesStartAtTheLeftEdgeWhateverCellIsCurrent) {
    h.Connect();
    for (int height : {600, 300}) {  // without and with the vertical scroll bar
        w.resize(w.width(), height);
        for (int row : {0, 19, 5}) {
            Edit(row);
            EXPECT_EQ(grid.columnViewportPosition(0), 0) << height << " " << row;
        }
        EXPECT_EQ(grid.horizontalScrollBar()->maximum(), 0);
    }
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
    w.grid.FillParameterGrid();
    sim::Faults faults;
    faults.silent_after_requests = 9;
    h.sensor->SetFaults(faults);
    w.PopupMenuReadAll->trigger();
    EXPECT_EQ(grid.Value(8), "77");
    EXPECT_EQ(w.ProgressBarParam->value(), 7);
    w.link.TimerAnswerTimer();
    EXPECT_EQ(h.messages.shown.back().text, "No answer.");
}

TEST_F(ParameterGridTest, MenuIsDisabledWhileStreaming) {
    h.Connect();
    w.session.StartStream();
    w.grid.ValueListEditorParamContextPopup(QPoint(10, 10));
    for (QAction* a :
         {w.PopupMenuLoad, w.PopupMenuRead, w.PopupMenuCompare, w.PopupMenuLoadAll,
          w.PopupMenuReadAll, w.PopupMenuCompareAll, w.PopupMenuFLASH, w.PopupMenuDefault}) {
        EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
    }
    w.PopupMenuParam->hide();
    w.session.StopStream();
    w.grid.ValueListEditorParamContextPopup(QPoint(10, 10));
    EXPECT_TRUE(w.PopupMenuLoad->isEnabled());
    w.PopupMenuParam->hide();
}

TEST_F(ParameterGridTest, RowButtonWithABadRangeTextReportsAndOpensNothing) {
    TFormSynchro synchro;
    TFormOutLogic out_logic;
    TFormRange range;
    w.grid.SetPickerDialogs({synchro, out_logic, range});
    Select(6);
    grid.SetValue(7, "abc");
    w.grid.ValueListEditorParamEditButtonClick();
    EXPECT_EQ(h.messages.shown, (std::vector<Shown>{{"'abc' is not a valid integer value",
                                                     "MK27x-SP", MB_OK | MB_ICONSTOP}}));
    EXPECT_FALSE(range.isVisible());
    EXPECT_EQ(grid.Value(7), "abc");  // no refill after the failed preset
}

TEST_F(ParameterGridTest, RowButtonOfOutLogicOpensItsPickerAndRefillsTheGrid) {
    TFormSynchro synchro;
    TFormOutLogic out_logic;
    TFormRange range;
    w.grid.SetPickerDialogs({synchro, out_logic, range});
    w.session.Values()[kOutLogic] = 0xF8;
    Select(kOutLogic);
    grid.edit(Cell(kOutLogic));
    auto* button = grid.OpenEditor()->findChild<QToolButton*>();
    ASSERT_NE(button, nullptr);

    DialogDriver driver(out_logic, [&] {
        out_logic.CheckBox1->setChecked(true);
        out_logic.CheckBox3->setChecked(true);
        out_logic.Button1->click();
    });
    button->click();
    EXPECT_TRUE(driver.opened);
    EXPECT_TRUE(driver.modal);
    EXPECT_EQ(w.session.Values()[kOutLogic], 0xFD);  // bits 0 and 2 set, the rest kept
    EXPECT_EQ(grid.Value(kOutLogic), "253");
    EXPECT_TRUE(h.messages.shown.empty());
}

}  // namespace
}  // namespace mk27x
