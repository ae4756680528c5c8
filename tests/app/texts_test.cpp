// The catalog of the program's words: the texts composed from data, with the
// captions and flags of their boxes.
#include "app/texts.h"

#include <gtest/gtest.h>

#include <string>

namespace mk27x {
namespace {

TEST(Texts, PortOpenFailuresByKindOfPort) {
    EXPECT_EQ(PortOpenFailureMessage({false, PortKind::Network, "tcp://h:1", "Connection refused"}),
              (OperatorMessage{"Порт tcp://h:1 отсутсвует.\rИли занят другим приложением."
                               "\rConnection refused.",
                               "Zozuvi-dada", MB_OK | MB_ICONSTOP}));
    EXPECT_EQ(PortOpenFailureMessage({false, PortKind::Serial, "COM9", ""}).text,
              "Порт COM9 отсутсвует.\rИли занят другим приложением.");
    EXPECT_EQ(PortOpenFailureMessage({false, PortKind::Usb, "USB", ""}).flags, 0x30u);
}

TEST(Texts, OutcomesOfTheSessionInTheWindowsWords) {
    ConnectResult c;
    c.port = {false, PortKind::Serial, "COM9", "No such file or directory"};
    EXPECT_EQ(ConnectFailureMessage(c)->text,
              "Порт COM9 отсутсвует.\rИли занят другим приложением.");  // the window's own
    c.outcome = ConnectOutcome::NotIdentified;
    EXPECT_EQ(ConnectFailureMessage(c), (OperatorMessage{"No answer. Please change parameters.",
                                                         "MK271-SP", MB_OK | MB_ICONSTOP}));
    c.outcome = ConnectOutcome::ReadFailed;  // the watchdog's to tell
    EXPECT_FALSE(ConnectFailureMessage(c));
    // Raw unsigned values.
    EXPECT_EQ(CompareMessage({kDiaCorrection, 0xFFFF, 0}).text,
              "Parameters 'Dia Correction' not equal:\rWrite=65535, Read=0.");
    EXPECT_FALSE(RestoreOutcomeMessage(FlashResult::ReadFailed));
    EXPECT_EQ(RestoreOutcomeMessage(FlashResult::NoEcho)->text, "Restore ERROR.");
}

TEST(Texts, FilesAndCalibration) {
    EXPECT_EQ(SampleFileErrorMessage("/x/s.txt"),
              (OperatorMessage{"Cannot write file /x/s.txt.", "MK271-SP", MB_OK | MB_ICONSTOP}));
    UploadOutcome outcome;
    EXPECT_EQ(UploadOutcomeMessage(outcome),
              (OperatorMessage{"Файл калибровки записан в датчик!!!", "Сообщение...", MB_OK}));
    outcome.result = UploadOutcome::Result::Rejected;
    EXPECT_EQ(UploadOutcomeMessage(outcome),
              (OperatorMessage{"Ошибка записи файла калибровки!!!", "Внимание !",
                               MB_OK | MB_ICONEXCLAMATION}));
    EXPECT_EQ(CalibrationRefusalMessage({CalibrationRefusal::Kind::ConversionError, "'x' is"}),
              (OperatorMessage{"'x' is", "MK27x-SP", MB_OK | MB_ICONSTOP}));
    EXPECT_EQ(CalibrationRefusalMessage({CalibrationRefusal::Kind::CannotOpen, "Cannot"}).caption,
              "MK271-SP");
}

TEST(Texts, StatisticsOfKnownSamples) {
    SampleStatistics st;
    st.count = 6;
    st.mean = 14.0 / 6;
    st.stddev = 2.1602469;
    st.min = -1.0;
    st.max = 5.0;
    st.peak_to_peak = 6.0;
    st.rate_hz = 5 / 0.440;
    st.gaps = 1;
    EXPECT_EQ(StatisticsText(st),
              "Samples: 6\rMean: 2.333 mm\r\xCF\x83: 2.160 mm\rMin: -1.000 mm\rMax: 5.000 mm"
              "\rPeak-to-peak: 6.000 mm\rRate: 11.4 Hz\rGaps: 1");
    EXPECT_EQ(StatisticsText(SampleStatistics{}), "No samples.");
    SampleStatistics one;
    one.count = 1;
    one.mean = one.min = one.max = 7.5;
    EXPECT_EQ(StatisticsText(one),
              "Samples: 1\rMean: 7.500 mm\r\xCF\x83: -\rMin: 7.500 mm\rMax: 7.500 mm"
              "\rPeak-to-peak: 0.000 mm\rRate: -\rGaps: 0");
}

}  // namespace
}  // namespace mk27x
