#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "HistorySupport.h"
#include "history/History.h"

namespace {

history::StoredRecord stored(uint16_t sensor, int64_t time, float humidity, float temperature, float ambient,
                             bool flagged = false) {
  history::StoredRecord r{"VLM1", historytest::record(2026, 1, 1, 0, 0, 0, sensor), time, flagged};
  r.record.humidity = humidity;
  r.record.temperature = temperature;
  r.record.ambientTemperature = ambient;
  return r;
}

}  // namespace

TEST(Statistics, PerSensorWithTheMeanKineticTemperature) {
  const std::vector<history::StoredRecord> records = {
      stored(7, 200, 40, 30, 19),
      stored(3, 50, 10, 5, 5),
      stored(7, 100, std::numeric_limits<float>::quiet_NaN(), 20, 21),
      stored(7, 300, 99, 500, -40, true),  // a damaged record: counted, its values not used
      stored(7, 150, 60, std::numeric_limits<float>::quiet_NaN(), 20),
  };
  const auto stats = history::statistics(records);
  ASSERT_EQ(stats.size(), 2u);
  EXPECT_EQ(stats[0].sensor, 3);
  EXPECT_EQ(stats[0].count, 1);
  EXPECT_NEAR(stats[0].meanKineticTemperature, 5.0, 1e-9);  // one value: itself

  const history::SensorStats& s = stats[1];
  EXPECT_EQ(s.sensor, 7);
  EXPECT_EQ(s.count, 4);
  EXPECT_EQ(s.first, 100);
  EXPECT_EQ(s.last, 300);
  EXPECT_EQ(s.checksumErrors, 1);
  EXPECT_EQ(s.humidity.count, 2);
  EXPECT_DOUBLE_EQ(s.humidity.min, 40);
  EXPECT_DOUBLE_EQ(s.humidity.max, 60);
  EXPECT_DOUBLE_EQ(s.humidity.mean, 50);
  EXPECT_EQ(s.temperature.count, 2);
  EXPECT_DOUBLE_EQ(s.temperature.mean, 25);
  EXPECT_EQ(s.ambientTemperature.count, 3);
  EXPECT_DOUBLE_EQ(s.ambientTemperature.min, 19);
  EXPECT_DOUBLE_EQ(s.ambientTemperature.max, 21);
  // 20 and 30 °C with dH/R = 10000 K, worked by hand:
  //   10000 / 293.15 = 34.112229,  10000 / 303.15 = 32.986970
  //   mean of e^-34.112229 and e^-32.986970 = e^-32.986970 * (1 + e^-1.125259) / 2
  //                                          = e^-32.986970 * (1 + 0.324568) / 2 = e^-32.986970 * 0.662284
  //   ln = -32.986970 + ln 0.662284 = -32.986970 - 0.412061 = -33.399031
  //   MKT = 10000 / 33.399031 = 299.4099 K = 26.2599 °C, above the arithmetic mean of 25 °C.
  EXPECT_NEAR(s.meanKineticTemperature, 26.2599, 5e-4);
  // A larger activation energy weighs the warm value more.
  EXPECT_GT(history::meanKineticTemperature({20, 30}, 20000), s.meanKineticTemperature);
  EXPECT_TRUE(std::isnan(history::meanKineticTemperature({})));
  EXPECT_TRUE(history::statistics({}).empty());
}

TEST(Statistics, DewPointByMagnusMatchesTheTables) {
  // Dew point tables: 20 °C at 50 %RH gives 9.3 °C, 25 °C at 60 %RH 16.7 °C, 30 °C at 80 %RH 26.2 °C.
  EXPECT_NEAR(history::dewPoint(20, 50), 9.3, 0.06);
  EXPECT_NEAR(history::dewPoint(25, 60), 16.7, 0.06);
  EXPECT_NEAR(history::dewPoint(30, 80), 26.2, 0.06);
  EXPECT_NEAR(history::dewPoint(-10, 100), -10, 1e-9);  // saturated air: the temperature itself
  EXPECT_TRUE(std::isnan(history::dewPoint(20, 0)));
  EXPECT_TRUE(std::isnan(history::dewPoint(std::numeric_limits<double>::quiet_NaN(), 50)));
}
