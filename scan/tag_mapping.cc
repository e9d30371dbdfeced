#include "scan/tag_mapping.h"

#include <cmath>
#include <limits>

#include "scan/text.h"

namespace dovrel::scan {

namespace {

// Boundaries of the popularimeter ranges: the lowest rating byte of 1, 2,
// 3, 4 and 5 stars.
constexpr unsigned kPopmOneStar = 1;
constexpr unsigned kPopmTwoStars = 64;
constexpr unsigned kPopmThreeStars = 128;
constexpr unsigned kPopmFourStars = 196;
constexpr unsigned kPopmFiveStars = 255;

constexpr double kMaxStars = 5;
constexpr double kMaxPercent = 100;
constexpr double kPercentPerStar = 20;
constexpr double kBpmLimit = 100000;

// The decimal number at the start of `text` (after spaces), "." or "," as
// its decimal mark; NaN when there is none.
double leading_number(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  double value = 0;
  bool digits = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    digits = true;
  }
  if (i < text.size() && (text[i] == '.' || text[i] == ',')) {
    double scale = 0.1;
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      value += (text[i] - '0') * scale;
      scale /= 10;
      digits = true;
    }
  }
  if (!digits) return std::numeric_limits<double>::quiet_NaN();
  return negative ? -value : value;
}

}  // namespace

std::uint8_t stars_from_popularimeter(unsigned rating) {
  if (rating >= kPopmFiveStars) return 5;
  if (rating >= kPopmFourStars) return 4;
  if (rating >= kPopmThreeStars) return 3;
  if (rating >= kPopmTwoStars) return 2;
  if (rating >= kPopmOneStar) return 1;
  return 0;
}

std::uint8_t stars_from_rating_text(std::string_view text) {
  const double value = leading_number(text);
  if (!(value >= 0) || value > kMaxPercent) return 0;
  if (value <= kMaxStars) return static_cast<std::uint8_t>(std::floor(value + 0.5));
  return static_cast<std::uint8_t>(std::ceil(value / kPercentPerStar));
}

double bpm_from_text(std::string_view text) {
  const double value = leading_number(text);
  if (!(value >= 0) || value >= kBpmLimit) return 0;
  return value;
}

std::uint16_t duration_seconds(long long milliseconds) {
  if (milliseconds <= 0) return 0;
  const long long seconds = (milliseconds + 500) / 1000;
  return static_cast<std::uint16_t>(std::min<long long>(seconds, std::numeric_limits<std::uint16_t>::max()));
}

std::uint32_t clamp_u32(long long value) {
  if (value <= 0) return 0;
  return static_cast<std::uint32_t>(std::min<long long>(value, std::numeric_limits<std::uint32_t>::max()));
}

std::string title_from_file_name(std::string_view file_name) {
  const std::size_t dot = file_name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) file_name = file_name.substr(0, dot);
  return clip_utf8(valid_utf8(file_name), kMaxTitleBytes);
}

}  // namespace dovrel::scan
