// SPDX-License-Identifier: Apache-2.0
#include "service/http/svg_chart.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "service/printable_text.h"

namespace histfeed::service::http {
namespace {

constexpr int64_t kLeft = 72, kRight = 12, kTop = 12, kBottom = 30;
constexpr int kGridLines = 5;

// Text for XML: markup escaped, and bytes XML forbids or that are not
// UTF-8 shown as \xHH (VisibleText).
std::string Escape(const std::string& text) {
  std::string out;
  for (char c : VisibleText(text)) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string Fixed(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string ValueLabel(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

// A step of 1, 2 or 5 times a power of ten near `rough`.
double NiceStep(double rough) {
  double power = std::pow(10.0, std::floor(std::log10(rough)));
  double fraction = rough / power;
  return (fraction <= 1 ? 1 : fraction <= 2 ? 2 : fraction <= 5 ? 5 : 10) * power;
}

std::string Line(int64_t x1, double y1, int64_t x2, double y2, const char* cls) {
  return "<line class=\"" + std::string(cls) + "\" x1=\"" + std::to_string(x1) + "\" y1=\"" +
         Fixed(y1) + "\" x2=\"" + std::to_string(x2) + "\" y2=\"" + Fixed(y2) + "\"/>";
}

std::string Text(double x, double y, const char* anchor, const std::string& text) {
  return "<text x=\"" + Fixed(x) + "\" y=\"" + Fixed(y) + "\" text-anchor=\"" + anchor + "\">" +
         Escape(text) + "</text>";
}

}  // namespace

int64_t PlotColumns(const ChartFrame& frame) { return std::max<int64_t>(1, frame.width - kLeft - kRight); }

std::string AxisTimeText(int64_t millis, int64_t spanMillis) {
  int64_t seconds = millis >= 0 ? millis / 1000 : -((-millis + 999) / 1000);
  int milli = static_cast<int>(millis - seconds * 1000);
  std::time_t time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  if (gmtime_r(&time, &utc) == nullptr) return "?";
  char text[48];
  if (spanMillis >= 3LL * 86400 * 1000) {
    std::strftime(text, sizeof text, "%Y-%m-%d", &utc);
  } else if (spanMillis >= 10LL * 60 * 1000) {
    std::strftime(text, sizeof text, "%m-%d %H:%M", &utc);
  } else if (spanMillis >= 10LL * 1000) {
    std::strftime(text, sizeof text, "%H:%M:%S", &utc);
  } else {
    char whole[32];
    std::strftime(whole, sizeof whole, "%H:%M:%S", &utc);
    std::snprintf(text, sizeof text, "%s.%03d", whole, milli);
  }
  return text;
}

std::string DrawChart(const Series& series, const ChartFrame& frame, const std::string& title) {
  const int64_t width = frame.width, height = frame.height;
  const int64_t plotBottom = height - kBottom, plotRight = width - kRight;
  const int64_t span = frame.toMillis - frame.fromMillis;
  double low = INFINITY, high = -INFINITY;
  for (const SeriesColumn& column : series.columns) {
    low = std::min(low, column.min);
    high = std::max(high, column.max);
  }
  if (series.columns.empty()) {
    low = 0;
    high = 1;
  } else if (low == high || !std::isfinite(high - low)) {
    low -= 1;
    high += 1;
  }
  // Grid lines at round values, the axis widened to the nearest of them.
  double step = NiceStep((high - low) / kGridLines);
  if (std::isfinite(step) && step > 0) {
    low = std::floor(low / step) * step;
    high = std::ceil(high / step) * step;
  } else {
    step = (high - low) / kGridLines;
  }
  auto y = [&](double value) {
    return static_cast<double>(plotBottom) -
           (value - low) / (high - low) * static_cast<double>(plotBottom - kTop);
  };

  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" width=\"" +
                    std::to_string(width) + "\" height=\"" + std::to_string(height) +
                    "\" viewBox=\"0 0 " + std::to_string(width) + " " + std::to_string(height) +
                    "\" data-columns=\"" + std::to_string(series.columns.size()) +
                    "\" data-values=\"" + std::to_string(series.values) + "\" data-from=\"" +
                    std::to_string(frame.fromMillis) + "\" data-to=\"" +
                    std::to_string(frame.toMillis) + "\" data-plot-left=\"" +
                    std::to_string(kLeft) + "\" data-plot-width=\"" +
                    std::to_string(PlotColumns(frame)) + "\">";
  svg += "<title>" + Escape(title) + "</title>";
  // Styled here too, so the picture looks the same opened on its own.
  svg += "<style>.plot{fill:#fff;stroke:#c8ccd2}.grid{stroke:#eceef1}"
         "text{font:11px sans-serif;fill:#555}"
         ".series{fill:none;stroke:#1f6feb;stroke-width:1.5;stroke-linejoin:round;"
         "stroke-linecap:round}</style>";
  svg += "<rect class=\"plot\" x=\"" + std::to_string(kLeft) + "\" y=\"" + std::to_string(kTop) +
         "\" width=\"" + std::to_string(plotRight - kLeft) + "\" height=\"" +
         std::to_string(plotBottom - kTop) + "\"/>";
  for (int i = 0; i <= 2 * kGridLines; ++i) {
    double value = low + step * i;
    if (value > high + step / 2) break;
    svg += Line(kLeft, y(value), plotRight, y(value), "grid");
    svg += Text(kLeft - 6, y(value) + 4, "end", ValueLabel(std::abs(value) < step / 1e6 ? 0 : value));
  }
  for (int i = 0; i <= 4; ++i) {
    double x = static_cast<double>(kLeft) + static_cast<double>(plotRight - kLeft) * i / 4;
    int64_t millis = frame.fromMillis + span / 4 * i;
    const char* anchor = i == 0 ? "start" : i == 4 ? "end" : "middle";
    svg += Text(x, static_cast<double>(height) - 10, anchor, AxisTimeText(millis, span));
  }

  // Each column draws to its extreme nearer the previous one first.
  std::string path;
  double previous = NAN;
  for (const SeriesColumn& column : series.columns) {
    std::string x = std::to_string(kLeft + column.column) + ".5";
    double top = y(column.max), bottom = y(column.min);
    bool downFirst = std::isnan(previous) || std::abs(previous - top) <= std::abs(previous - bottom);
    double first = downFirst ? top : bottom, second = downFirst ? bottom : top;
    // A lone first value still needs a segment to show as a dot.
    bool lone = path.empty();
    path += (path.empty() ? "M" : "L") + x + "," + Fixed(first);
    if (second != first || lone) path += "L" + x + "," + Fixed(second);
    previous = second;
  }
  if (path.empty()) {
    svg += Text(static_cast<double>(kLeft + plotRight) / 2, static_cast<double>(kTop + plotBottom) / 2,
                "middle", "no values in this range");
  } else {
    svg += "<path id=\"series\" class=\"series\" d=\"" + path + "\"/>";
  }
  svg += "</svg>";
  return svg;
}

}  // namespace histfeed::service::http
