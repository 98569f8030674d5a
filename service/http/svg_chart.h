// SPDX-License-Identifier: Apache-2.0
// Draws a point's reduced series as an SVG line chart: one column of the
// plot per pixel, a vertical stroke from each column's least to its
// greatest value, joined to the next column.
#ifndef HISTFEED_SERVICE_HTTP_SVG_CHART_H_
#define HISTFEED_SERVICE_HTTP_SVG_CHART_H_

#include <cstdint>
#include <string>

#include "service/storage/storage_reader.h"

namespace histfeed::service::http {

struct ChartFrame {
  int64_t width = 900, height = 320;  // the whole picture, in pixels
  int64_t fromMillis = 0, toMillis = 1;
};

// The plot's width in pixels: the columns to ask the reader for.
int64_t PlotColumns(const ChartFrame& frame);

// `series` must have been reduced to PlotColumns(frame) columns over the
// frame's time range.
std::string DrawChart(const Series& series, const ChartFrame& frame, const std::string& title);

// "YYYY-MM-DD HH:MM:SS.mmm" (UTC), shortened to what a span of
// `spanMillis` needs to tell its times apart.
std::string AxisTimeText(int64_t millis, int64_t spanMillis);

}  // namespace histfeed::service::http

#endif  // HISTFEED_SERVICE_HTTP_SVG_CHART_H_
