// The row-button pickers through their modal loops: the presets, OK, Cancel
// and the title-bar close, the dispatch by parameter index, the conversion
// error of a range text that is no integer, and the placement over the owner.
#include "pickers/pickers.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <array>
#include <cstdlib>
#include <tuple>

#include "dialog_driver.h"
#include "pickers/formsync.h"
#include "pickers/outlogic.h"
#include "pickers/range.h"
#include "support/recording_message_box.h"
#include "ui/application.h"

namespace mk27x {
namespace {

using Shown = RecordingMessageBox::Shown;

struct Pickers : ::testing::Test {
    Pickers() {
        owner.setGeometry(200, 150, 800, 500);
        owner.show();
        values = DefaultParameterSet();
    }

    // Presses the button of `current` with the given grid texts of rows 7 and 8.
    void Press(int current, QString begin_text = "0", QString end_text = "1000") {
        const CellText texts = [&](int index) {
            return index == kRangeBegin ? begin_text : index == kRangeEnd ? end_text : "junk";
        };
        EditParameterWithPicker(current, values, texts, range_mm, dialogs, &owner);
    }

    QWidget owner;
    TFormOutLogic out_logic;
    TFormSynchro synchro;
    TFormRange range;
    PickerDialogs dialogs{synchro, out_logic, range};
    ParameterSet values;
    std::int16_t range_mm = 50;
};

// ---- Range editor ------------------------------------------------------------

TEST_F(Pickers, RangeTexts370And800OpenAt37And80AndOkStores6062And13107) {
    for (int row : {kRangeBegin, kRangeEnd}) {
        values[kRangeBegin] = 1;
        values[kRangeEnd] = 2;
        std::int32_t begin = -1, end = -1;
        QStringList labels;
        bool red_at_257 = false;
        DialogDriver driver(range, [&] {
            begin = range.PosBgn;
            end = range.PosEnd;
            labels = {range.LabelBgn->text(), range.LabelEnd->text(), range.LabelRang->text()};
            red_at_257 = range.ScaleBitmap->pixel(257, 40) == qRgb(255, 0, 0);
            range.Button1->click();
        });
        Press(row, "370", "800");
        EXPECT_TRUE(driver.opened && driver.modal && !driver.left_open);
        EXPECT_EQ(begin, 37);
        EXPECT_EQ(end, 80);
        EXPECT_TRUE(red_at_257);
        EXPECT_EQ(labels, (QStringList{"19 mm", "40 mm", "22 mm"}));
        EXPECT_EQ(values[kRangeBegin], 6062);
        EXPECT_EQ(values[kRangeEnd], 13107);
        EXPECT_EQ(range.RangeMm, 50);
        EXPECT_EQ(range.ScaleBitmap, nullptr);
    }
}

TEST_F(Pickers, RangeTexts5And4OpenAt1And0Percent) {
    DialogDriver driver(range, [&] { range.Button1->click(); });
    Press(kRangeEnd, "5", "4");
    EXPECT_TRUE(driver.opened);
    EXPECT_EQ(values[kRangeBegin], 164);
    EXPECT_EQ(values[kRangeEnd], 0);
}

TEST_F(Pickers, RangeMarkersSetWithTheMouseAreStoredOnOk) {
    DialogDriver driver(range, [&] {
        QTest::mouseClick(&range, Qt::LeftButton, {}, QPoint(344, 50));
        QTest::mousePress(&range, Qt::RightButton, {}, QPoint(100, 50));
        QTest::mouseMove(&range, QPoint(3, 60));
        QTest::mouseRelease(&range, Qt::RightButton, {}, QPoint(3, 60));
        range.Button1->click();
    });
    Press(kRangeBegin, "370", "800");
    EXPECT_EQ(values[kRangeBegin], 8192);  // begin right of end is accepted
    EXPECT_EQ(values[kRangeEnd], 0);
}

TEST_F(Pickers, RangeCancelLeavesBothParametersWhateverWasDragged) {
    values[kRangeBegin] = 130;
    values[kRangeEnd] = 9000;
    DialogDriver driver(range, [&] {
        QTest::mouseClick(&range, Qt::LeftButton, {}, QPoint(600, 50));
        QTest::mouseClick(&range, Qt::RightButton, {}, QPoint(20, 50));
        range.Button2->click();
    });
    Press(kRangeBegin, "8", "549");
    EXPECT_TRUE(driver.opened);
    EXPECT_FALSE(range.Accepted);
    EXPECT_EQ(values[kRangeBegin], 130);
    EXPECT_EQ(values[kRangeEnd], 9000);
}

TEST_F(Pickers, RangeTextOffTheScaleStoresTheNearerEndUnlessTheMouseSetIt) {
    DialogDriver driver(range, [&] {
        EXPECT_EQ(range.PosBgn, -9);  // (-99 + 5) / 10
        EXPECT_EQ(range.PosEnd, 1000);
        range.Button1->click();
    });
    Press(kRangeBegin, "-99", "9999");
    EXPECT_EQ(values[kRangeBegin], 0);
    EXPECT_EQ(values[kRangeEnd], 16384);
}

TEST_F(Pickers, RangeTextThatIsNoIntegerIsReportedAndOpensNothing) {
    for (const auto& [begin, end, bad] :
         {std::tuple{"12a", "800", "12a"}, std::tuple{"370", "-", "-"}, std::tuple{"", "800", ""},
          std::tuple{"4-2", "x", "4-2"}}) {
        values[kRangeBegin] = 11;
        values[kRangeEnd] = 22;
        range.PosBgn = 3;
        range.PosEnd = 4;
        range.RangeMm = 7;
        RecordingMessageBox messages;
        DialogDriver driver(range, [&] { range.Button1->click(); });
        EXPECT_FALSE(ReportingEscapes(messages, [&] { Press(kRangeEnd, begin, end); }));
        const std::string text = std::string("'") + bad + "' is not a valid integer value";
        EXPECT_EQ(messages.shown, (std::vector<Shown>{{text, "MK27x-SP", MB_OK | MB_ICONSTOP}}));
        QTest::qWait(10);  // a dialog that had opened would be driven here
        EXPECT_FALSE(driver.opened);
        EXPECT_EQ(values[kRangeBegin], 11);
        EXPECT_EQ(values[kRangeEnd], 22);
        EXPECT_EQ(range.PosBgn, 3);
        EXPECT_EQ(range.PosEnd, 4);
        EXPECT_EQ(range.RangeMm, 7);
    }
}

TEST_F(Pickers, RangeTitleBarCloseLeavesAcceptedAsItWas) {
    DialogDriver ok(range, [&] { range.Button1->click(); });
    Press(kRangeBegin, "100", "200");
    ASSERT_EQ(values[kRangeBegin], 1638);

    DialogDriver closed(range, [&] {
        QTest::mouseClick(&range, Qt::LeftButton, {}, QPoint(344, 50));
        range.close();
    });
    Press(kRangeBegin, "100", "200");
    EXPECT_TRUE(closed.opened && !closed.left_open);
    EXPECT_TRUE(range.Accepted);
    EXPECT_EQ(values[kRangeBegin], 8192);

    DialogDriver cancel(range, [&] { range.Button2->click(); });
    Press(kRangeBegin, "100", "200");
    DialogDriver closed_again(range, [&] {
        QTest::mouseClick(&range, Qt::LeftButton, {}, QPoint(10, 50));
        range.close();
    });
    Press(kRangeBegin, "100", "200");
    EXPECT_FALSE(range.Accepted);
    EXPECT_EQ(values[kRangeBegin], 8192);
}

// ---- Synchronization picker -------------------------------------------------

TEST_F(Pickers, SynchroLayout) {
    EXPECT_EQ(synchro.windowTitle(), "FormSynchro");
    EXPECT_EQ(synchro.size(), QSize(187, 147));
    EXPECT_EQ(synchro.minimumSize(), synchro.maximumSize());
    EXPECT_EQ(synchro.RadioGroup1->geometry(), QRect(1, 0, 185, 105));
    EXPECT_EQ(synchro.RadioGroup1->title(), "");
    ASSERT_EQ(synchro.RadioGroup1->Count(), 3);
    EXPECT_EQ(synchro.RadioGroup1->Item(0)->text(), "Time Synchronization");
    EXPECT_EQ(synchro.RadioGroup1->Item(1)->text(), "Trigger Synchronization");
    EXPECT_EQ(synchro.RadioGroup1->Item(2)->text(), "Net  Synchronization");
    EXPECT_EQ(synchro.RadioGroup1->ItemIndex(), 0);
    EXPECT_EQ(synchro.Button1->text(), "OK");
    EXPECT_EQ(synchro.Button1->geometry(), QRect(8, 112, 75, 25));
    EXPECT_EQ(synchro.Button2->text(), "Cancel");
    EXPECT_EQ(synchro.Button2->geometry(), QRect(104, 112, 75, 25));
    EXPECT_FALSE(synchro.Accepted);
    EXPECT_EQ(synchro.Button1->nextInFocusChain(), synchro.Button2);
}

TEST_F(Pickers, SynchroPresetsFromTheValueAndOkWritesBits2And0Only) {
    struct Case {
        std::uint16_t value;
        int choose;  // -1: accept the preset
        int preset;
        std::uint16_t stored;
    };
    const Case cases[] = {
        {0x0005, -1, 2, 0x0004}, {0x0004, 1, 2, 0x0001},  {0x00F2, 0, 0, 0x00F2},
        {0x00F2, 1, 0, 0x00F3},  {0x00F2, 2, 0, 0x00F6},  {0xABF2, 2, 0, 0xABF6},
        {0xABF7, 0, 2, 0xABF2},  {0x0001, -1, 1, 0x0001}, {0x0000, 1, 0, 0x0001},
    };
    for (const Case& c : cases) {
        values[kSynchronization] = c.value;
        int preset = -1;
        DialogDriver driver(synchro, [&] {
            preset = synchro.RadioGroup1->ItemIndex();
            if (c.choose >= 0)
                QTest::mouseClick(synchro.RadioGroup1->Item(c.choose), Qt::LeftButton);
            QTest::mouseClick(synchro.Button1, Qt::LeftButton);
        });
        Press(kSynchronization);
        EXPECT_TRUE(driver.opened && driver.modal) << c.value;
        EXPECT_EQ(preset, c.preset) << c.value;
        EXPECT_EQ(values[kSynchronization], c.stored) << c.value << " item " << c.choose;
    }
}

TEST_F(Pickers, SynchroCancelAndTitleBarClose) {
    values[kSynchronization] = 0x00F2;
    DialogDriver cancel(synchro, [&] {
        synchro.RadioGroup1->SetItemIndex(2);
        synchro.Button2->click();
    });
    Press(kSynchronization);
    EXPECT_FALSE(synchro.Accepted);
    EXPECT_EQ(values[kSynchronization], 0x00F2);

    DialogDriver closed(synchro, [&] {
        synchro.RadioGroup1->SetItemIndex(1);
        synchro.close();
    });
    Press(kSynchronization);
    EXPECT_EQ(values[kSynchronization], 0x00F2);  // Accepted was false

    DialogDriver ok(synchro, [&] { synchro.Button1->click(); });
    Press(kSynchronization);
    DialogDriver closed_after_ok(synchro, [&] {
        synchro.RadioGroup1->SetItemIndex(1);
        synchro.close();
    });
    Press(kSynchronization);
    EXPECT_TRUE(synchro.Accepted);
    EXPECT_EQ(values[kSynchronization], 0x00F3);
}

TEST_F(Pickers, EscapeAndEnterHaveNoDialogWideMeaning) {
    values[kSynchronization] = 0;
    bool still_open = false;
    DialogDriver driver(synchro, [&] {
        synchro.RadioGroup1->Item(1)->setFocus();
        QTest::keyClick(synchro.RadioGroup1->Item(1), Qt::Key_Escape);
        QTest::keyClick(synchro.RadioGroup1->Item(1), Qt::Key_Return);
        still_open = synchro.isVisible();
        synchro.Button1->setFocus();
        QTest::keyClick(synchro.Button1, Qt::Key_Space);
    });
    synchro.RadioGroup1->SetItemIndex(1);
    Press(kSynchronization);
    EXPECT_TRUE(still_open);
    EXPECT_FALSE(driver.left_open);
    EXPECT_TRUE(synchro.Accepted);
}

// ---- Output-logic picker ------------------------------------------------------

TEST_F(Pickers, OutLogicLayout) {
    EXPECT_EQ(out_logic.windowTitle(), "FormOutLogic");
    EXPECT_EQ(out_logic.size(), QSize(192, 146));
    EXPECT_EQ(out_logic.minimumSize(), out_logic.maximumSize());
    EXPECT_EQ(out_logic.CheckBox1->text(), "LowLimit Out Logic");
    EXPECT_EQ(out_logic.CheckBox1->geometry(), QRect(40, 16, 121, 17));
    EXPECT_EQ(out_logic.CheckBox2->text(), "UpLimit Out Logic");
    EXPECT_EQ(out_logic.CheckBox2->geometry(), QRect(40, 48, 113, 17));
    EXPECT_EQ(out_logic.CheckBox3->text(), "InRange Out Logic");
    EXPECT_EQ(out_logic.CheckBox3->geometry(), QRect(40, 80, 121, 17));
    EXPECT_EQ(out_logic.Button1->geometry(), QRect(16, 112, 75, 25));
    EXPECT_EQ(out_logic.Button2->geometry(), QRect(104, 112, 75, 25));
    EXPECT_FALSE(out_logic.Accepted);
}

TEST_F(Pickers, OutLogicPresetsEveryBoxAndOkWritesBits0To2Only) {
    struct Case {
        std::uint16_t value;
        std::array<bool, 3> preset;
        std::array<bool, 3> chosen;
        std::uint16_t stored;
    };
    const Case cases[] = {
        {0x00F8, {false, false, false}, {true, true, true}, 0x00FF},
        {0x00F8, {false, false, false}, {false, false, false}, 0x00F8},
        {0x12FF, {true, true, true}, {false, true, false}, 0x12FA},
        {0x0005, {true, false, true}, {true, false, true}, 0x0005},
        {0xFF02, {false, true, false}, {true, false, false}, 0xFF01},
    };
    for (const Case& c : cases) {
        values[kOutLogic] = c.value;
        // What an earlier use left in the boxes never shows through.
        out_logic.CheckBox1->setChecked(!c.preset[0]);
        out_logic.CheckBox2->setChecked(!c.preset[1]);
        out_logic.CheckBox3->setChecked(!c.preset[2]);
        std::array<bool, 3> preset{};
        DialogDriver driver(out_logic, [&] {
            QCheckBox* boxes[] = {out_logic.CheckBox1, out_logic.CheckBox2, out_logic.CheckBox3};
            for (int i = 0; i < 3; ++i) {
                preset[i] = boxes[i]->isChecked();
                if (boxes[i]->isChecked() != c.chosen[i])
                    QTest::mouseClick(boxes[i], Qt::LeftButton, {}, QPoint(5, 8));
            }
            QTest::mouseClick(out_logic.Button1, Qt::LeftButton);
        });
        Press(kOutLogic);
        EXPECT_TRUE(driver.opened && driver.modal);
        EXPECT_EQ(preset, c.preset) << c.value;
        EXPECT_EQ(values[kOutLogic], c.stored) << c.value;
    }
}

TEST_F(Pickers, OutLogicCancelLeavesTheValue) {
    values[kOutLogic] = 0x00F8;
    DialogDriver driver(out_logic, [&] {
        out_logic.CheckBox2->setChecked(true);
        out_logic.Button2->click();
    });
    Press(kOutLogic);
    EXPECT_TRUE(driver.opened);
    EXPECT_FALSE(out_logic.Accepted);
    EXPECT_EQ(values[kOutLogic], 0x00F8);
}

// ---- Dispatch ---------------------------------------------------------------

TEST_F(Pickers, OnlyTheFourPickerRowsOpenADialogAndNothingElseChanges) {
    const ParameterSet before = values;
    for (int current = 0; current < kParameterCount; ++current) {
        if (current == kSynchronization || current == kRangeBegin || current == kRangeEnd ||
            current == kOutLogic)
            continue;
        DialogDriver s(synchro, [&] { synchro.Button2->click(); });
        DialogDriver o(out_logic, [&] { out_logic.Button2->click(); });
        DialogDriver r(range, [&] { range.Button2->click(); });
        Press(current, "junk", "junk");
        QTest::qWait(5);
        EXPECT_FALSE(s.opened || o.opened || r.opened) << current;
    }
    EXPECT_EQ(values, before);

    DialogDriver s(synchro, [&] { synchro.Button1->click(); });
    Press(kSynchronization, "junk", "junk");  // the range texts are not read
    EXPECT_TRUE(s.opened);
    DialogDriver o(out_logic, [&] { out_logic.Button1->click(); });
    Press(kOutLogic, "junk", "junk");
    EXPECT_TRUE(o.opened);
    EXPECT_EQ(values, before);  // accepted unchanged: the defaults map onto themselves
}

TEST_F(Pickers, DialogsOpenCentredOverTheOwner) {
    QPoint centres[3];
    DialogDriver s(synchro, [&] {
        centres[0] = synchro.frameGeometry().center();
        synchro.Button2->click();
    });
    Press(kSynchronization);
    DialogDriver o(out_logic, [&] {
        centres[1] = out_logic.frameGeometry().center();
        out_logic.Button2->click();
    });
    Press(kOutLogic);
    DialogDriver r(range, [&] {
        centres[2] = range.frameGeometry().center();
        range.Button2->click();
    });
    Press(kRangeEnd);
    const QPoint owner_centre = owner.frameGeometry().center();
    for (const QPoint& c : centres) {
        EXPECT_LE(std::abs(c.x() - owner_centre.x()), 2);
        EXPECT_LE(std::abs(c.y() - owner_centre.y()), 2);
    }
}

}  // namespace
}  // namespace mk27x
