#include "history/Limits.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <system_error>

namespace history {

namespace {

// The text as a message shows it: quoted, at most 40 characters, anything but printable ASCII as '?'
// so that the message stays one line whatever was typed.
std::string quoted(std::string_view text) {
  constexpr size_t kShown = 40;
  std::string out = "\"";
  for (size_t i = 0; i < text.size() && i < kShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  if (text.size() > kShown) out += "...";
  return out + "\"";
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// One bound: empty (open) or a finite number written with a decimal point.
bool parseBound(std::string_view whole, std::string_view text, const char* side, std::optional<double>& out,
                std::string& error) {
  text = trimmed(text);
  if (text.empty()) {
    out.reset();
    return true;
  }
  const bool plus = text.front() == '+';  // from_chars takes '-' only
  const std::string_view digits = plus ? text.substr(1) : text;
  double value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  const bool allRead = ec == std::errc() && end == digits.data() + digits.size() &&
                       !(plus && !digits.empty() && digits.front() == '-');
  if (!allRead || !std::isfinite(value)) {
    error = std::string("limits ") + quoted(whole) + ": the " + side + " limit " + quoted(text) +
            " is not a number" +
            (text.find(',') != std::string_view::npos ? " (write a decimal point: 2.5)" : "");
    return false;
  }
  out = value + 0.0;  // -0 is 0
  return true;
}

std::string number(double value) {
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return ec == std::errc() ? std::string(buffer, end) : std::string("?");
}

}  // namespace

bool QuantityLimits::valid(std::string& error) const {
  if ((lower && !std::isfinite(*lower)) || (upper && !std::isfinite(*upper))) {
    error = "a limit is not a finite number";
    return false;
  }
  if (lower && upper && *lower > *upper) {
    error = "the lower limit " + number(*lower) + " is above the upper limit " + number(*upper);
    return false;
  }
  if (delay < 0 || delay > kMaxDelay) {
    error = "the alarm delay of " + std::to_string(delay) + " s is out of range (0 to " +
            formatDelay(kMaxDelay) + ")";
    return false;
  }
  if (rule != AlarmRule::instant && rule != AlarmRule::consecutive && rule != AlarmRule::cumulative) {
    error = "unknown alarm rule";
    return false;
  }
  return true;
}

bool parseRange(std::string_view text, std::optional<double>& lower, std::optional<double>& upper,
                std::string& error) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos) {
    error = "limits " + quoted(text) + ": write LOW:HIGH, :HIGH or LOW: (one colon), e.g. 2:8";
    return false;
  }
  std::optional<double> low, high;
  if (!parseBound(text, text.substr(0, colon), "lower", low, error) ||
      !parseBound(text, text.substr(colon + 1), "upper", high, error))
    return false;
  if (low && high && *low > *high) {
    error = "limits " + quoted(text) + ": the lower limit is above the upper limit";
    return false;
  }
  lower = low;
  upper = high;
  return true;
}

bool parseDelay(std::string_view text, int64_t& seconds, std::string& error) {
  const std::string_view whole = text;
  text = trimmed(text);
  const auto refuse = [&](const std::string& why) {
    error = "alarm delay " + quoted(whole) + ": " + why;
    return false;
  };
  if (text.empty()) return refuse("empty; write e.g. 0, 90s, 15m, 2h or 1h30m");
  if (text.front() == '-') return refuse("a delay cannot be negative");
  if (text == "0") {
    seconds = 0;
    return true;
  }
  static constexpr struct {
    char unit;
    int64_t seconds;
  } kUnits[] = {{'d', 86400}, {'h', 3600}, {'m', 60}, {'s', 1}};
  int64_t total = 0;
  size_t nextUnit = 0;  // units come from days down, each once
  size_t i = 0;
  while (i < text.size()) {
    const size_t start = i;
    int64_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      value = value * 10 + (text[i] - '0');
      if (value > kMaxDelay) return refuse("too long (at most " + formatDelay(kMaxDelay) + ")");
      ++i;
    }
    if (i == start) return refuse("write whole numbers with units, e.g. 0, 90s, 15m, 2h or 1h30m");
    if (i == text.size()) return refuse("give a unit (s, m, h or d), e.g. 15m");
    size_t unit = nextUnit;
    while (unit < 4 && kUnits[unit].unit != text[i]) ++unit;
    if (unit == 4) {
      bool known = false;
      for (const auto& u : kUnits) known = known || u.unit == text[i];
      return refuse(known ? "write the units from days down, each once, e.g. 1h30m"
                          : "write whole numbers with units (s, m, h or d), e.g. 0, 90s, 15m, 2h or 1h30m");
    }
    total += value * kUnits[unit].seconds;  // value <= kMaxDelay, total <= kMaxDelay: no overflow
    if (total > kMaxDelay) return refuse("too long (at most " + formatDelay(kMaxDelay) + ")");
    nextUnit = unit + 1;
    ++i;
  }
  seconds = total;
  return true;
}

bool parseRule(std::string_view text, AlarmRule& rule, std::string& error) {
  for (AlarmRule r : {AlarmRule::instant, AlarmRule::consecutive, AlarmRule::cumulative})
    if (text == ruleName(r)) {
      rule = r;
      return true;
    }
  error = "alarm rule " + quoted(text) + ": not one of instant, consecutive, cumulative";
  return false;
}

std::string formatRange(const std::optional<double>& lower, const std::optional<double>& upper) {
  return (lower ? number(*lower) : std::string()) + ":" + (upper ? number(*upper) : std::string());
}

std::string formatDelay(int64_t seconds) {
  if (seconds <= 0) return "0";
  std::string out;
  for (const auto& [unit, size] : {std::pair<char, int64_t>{'d', 86400}, {'h', 3600}, {'m', 60}, {'s', 1}}) {
    if (seconds >= size) out += std::to_string(seconds / size) + unit;
    seconds %= size;
  }
  return out;
}

std::string durationText(int64_t seconds) {
  char text[48];
  const long long s = seconds < 0 ? 0 : static_cast<long long>(seconds);
  if (s < 60)
    std::snprintf(text, sizeof text, "%lld s", s);
  else if (s < 3600)
    std::snprintf(text, sizeof text, "%lld min %02lld s", s / 60, s % 60);
  else if (s < 86400)
    std::snprintf(text, sizeof text, "%lld h %02lld min", s / 3600, s / 60 % 60);
  else
    std::snprintf(text, sizeof text, "%lld d %02lld h", s / 86400, s / 3600 % 24);
  std::string out = text;
  // "12 min 00 s" reads as "12 min".
  for (const std::string zero : {" 00 s", " 00 min", " 00 h"})
    if (out.size() > zero.size() && out.compare(out.size() - zero.size(), std::string::npos, zero) == 0)
      out.erase(out.size() - zero.size());
  return out;
}

const char* ruleName(AlarmRule rule) {
  switch (rule) {
    case AlarmRule::instant:
      return "instant";
    case AlarmRule::consecutive:
      return "consecutive";
    case AlarmRule::cumulative:
      return "cumulative";
  }
  return "?";
}

}  // namespace history
