// The text of the progress and summary lines.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "status/meter.h"

namespace mirt {
namespace {

constexpr size_t kShortestName = 8;
constexpr const char* kGap = "  ";

std::string formatted(const char* format, double value, const char* unit) {
  char text[48];
  std::snprintf(text, sizeof text, format, value, unit);
  return text;
}

// "0.4 s", "12.3 s", "1:23", "1:02:03"
std::string duration(double seconds) {
  if (seconds < 60) return formatted("%.1f %s", seconds, "s");
  const auto whole = static_cast<unsigned long long>(seconds);
  char text[48];
  if (whole < 3600)
    std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
  else
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60,
                  whole % 60);
  return text;
}

// Plain bytes to one stored byte; empty until a block has finished.
std::string ratio(uint64_t plain, uint64_t packed) {
  if (plain == 0 || packed == 0) return "";
  return formatted("%.2f%s", static_cast<double>(plain) / static_cast<double>(packed), ":1");
}

// The name's end is where files differ most: keep it.
std::string shortened(const std::string& name, size_t room) {
  if (name.size() <= room) return name;
  if (room < kShortestName) return "";
  return "..." + name.substr(name.size() - (room - 3));
}

std::string joined(const std::vector<std::string>& fields) {
  std::string line;
  for (const std::string& field : fields) {
    if (field.empty()) continue;
    if (!line.empty()) line += kGap;
    line += field;
  }
  return line;
}

}  // namespace

std::string meter_size(uint64_t bytes) {
  if (bytes < 10000) return std::to_string(bytes) + " B";
  const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (value >= 1000 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  return formatted("%.1f %s", value, units[unit]);
}

std::string meter_line(const MeterView& view, size_t width) {
  const bool known = view.total != 0;
  const uint64_t done = known && view.in_done > view.total ? view.total : view.in_done;
  std::string bytes = meter_size(done);
  std::string percent;
  std::string left;
  std::string speed;
  if (known) {
    bytes += " / " + meter_size(view.total);
    percent = formatted("%.0f%s", 100.0 * static_cast<double>(done) / static_cast<double>(view.total), "%");
  }
  const double rate = view.seconds > 0 ? static_cast<double>(done) / view.seconds : 0;
  if (rate > 0) {
    speed = meter_size(static_cast<uint64_t>(rate)) + "/s";
    if (known) left = duration(static_cast<double>(view.total - done) / rate) + " left";
  }
  // Least needed last: each is dropped in turn while the line is too long.
  std::vector<std::string> fields = {bytes, percent, left, speed, ratio(view.plain, view.packed)};
  // Room for a name that still tells files apart comes before the extras.
  const size_t name_room =
      view.name.empty() ? 0 : std::min(view.name.size(), kShortestName) + std::string(kGap).size();
  while (fields.size() > 2 && joined(fields).size() + name_room > width) fields.pop_back();
  if (joined(fields).size() > width) fields[0] = meter_size(done);
  std::string rest = joined(fields);
  if (rest.size() > width) rest.resize(width);
  const size_t used = rest.size() + std::string(kGap).size();
  const std::string name = used < width ? shortened(view.name, width - used) : "";
  return joined({name, rest});
}

std::string meter_summary(const std::string& name, uint64_t from, uint64_t to, double seconds,
                          bool expanding) {
  const std::string shown = expanding ? ratio(to, from) : ratio(from, to);
  return name + ": " + meter_size(from) + " -> " + meter_size(to) +
         (shown.empty() ? "" : " (" + shown + ")") + " in " + duration(seconds);
}

}  // namespace mirt
