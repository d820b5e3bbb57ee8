// Limits of a quantity a logger measures (temperature in °C, relative humidity in %RH), the delay
// before a reading outside them raises an alarm and the rule that decides it, with the parsers that
// turn what a person types ("2:8", "15m", "cumulative") into them. No Qt here.
//
// Every parser refuses bad text with one line that says what was wrong and leaves its output alone,
// so a caller stores nothing on a refusal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace history {

// When readings outside a limit raise an alarm:
//  instant     - every excursion;
//  consecutive - an excursion that lasts at least the delay;
//  cumulative  - every excursion on a side once the time outside on that side, summed over the
//                range looked at, reaches the delay.
enum class AlarmRule { instant, consecutive, cumulative };

// The limits of one quantity. A bound left open is no limit on that side; a value equal to a bound
// is within it.
struct QuantityLimits {
  std::optional<double> lower, upper;
  int64_t delay = 0;  // seconds, 0 to kMaxDelay
  AlarmRule rule = AlarmRule::consecutive;

  bool limited() const { return lower.has_value() || upper.has_value(); }
  bool above(double value) const { return upper.has_value() && value > *upper; }
  bool below(double value) const { return lower.has_value() && value < *lower; }
  // Whether the values hold together (finite bounds, lower not above upper, delay in range), for
  // limits that come from somewhere else than the parsers (a database row, a file); false with a
  // line saying why otherwise.
  bool valid(std::string& error) const;

  bool operator==(const QuantityLimits& o) const {
    return lower == o.lower && upper == o.upper && delay == o.delay && rule == o.rule;
  }
};

// The limits a sensor's readings are held to.
struct Limits {
  QuantityLimits temperature;  // °C
  QuantityLimits humidity;     // %RH

  bool operator==(const Limits& o) const { return temperature == o.temperature && humidity == o.humidity; }
};

// The longest alarm delay: ten years, far beyond any logger's memory, and far from overflowing.
constexpr int64_t kMaxDelay = 3660ll * 24 * 3600;

// "LOW:HIGH" with either side left open (":8" no lower limit, "2:" no upper, ":" none). Numbers use a
// decimal point ("2.5", "-20", "1e2"); a decimal comma, anything not a number, NaN or an infinity,
// and LOW above HIGH are refused. Blanks around the numbers are allowed.
bool parseRange(std::string_view text, std::optional<double>& lower, std::optional<double>& upper,
                std::string& error);
// An alarm delay: "0", or whole numbers with units from days down, each unit at most once: "90s",
// "15m", "2h", "1h30m", "1d12h". A number without a unit other than 0 is refused (minutes or
// seconds?), as are negative delays, fractions and delays over kMaxDelay.
bool parseDelay(std::string_view text, int64_t& seconds, std::string& error);
// "instant", "consecutive" or "cumulative".
bool parseRule(std::string_view text, AlarmRule& rule, std::string& error);

// The forms the parsers read back: "2:8", ":8", "2.5:", ":"; "0", "1h30m", "1d2h3m4s";
// "consecutive". A number is written in the fewest digits that read back as the same value.
std::string formatRange(const std::optional<double>& lower, const std::optional<double>& upper);
std::string formatDelay(int64_t seconds);
const char* ruleName(AlarmRule rule);

// A duration as people read it, in every output that is not read back (report, window, workbook,
// excursions): the two largest units, "45 s", "12 min 30 s", "3 h 05 min", "2 d 04 h".
std::string durationText(int64_t seconds);

}  // namespace history
