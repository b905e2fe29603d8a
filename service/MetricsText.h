// The meters' snapshots in the Prometheus text exposition format 0.0.4.
//
// Per meter, labelled meter, port and address (all prefixed quorvan_meter_):
//   up                               1 while the last poll succeeded
//   voltage_volts, current_amperes, power_watts, voltage_alarm
//   energy_joules_total              counter, 1 Wh = 3600 J
//   last_reading_timestamp_seconds   when the last good reading was taken
//   polls_total, poll_failures_total
// A meter that is down shows up 0, its counters and the time of its last
// good reading, but none of its old values: a scraper must not mistake
// them for the present. Values are printed as the meter sent them
// (hundredths, tenths), never through a float.
#pragma once

#include "MeterSnapshot.h"

#include <string>
#include <vector>

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// Appends the exposition of `meters` to *out.
void RenderMetrics(const std::vector<MeterSnapshot>& meters, std::string* out);

// A label value between its quotes: backslash, double quote and line feed escaped.
std::string EscapeLabelValue(const std::string& value);
