// The service's view in the Prometheus text exposition format 0.0.4.
//
// Meter series carry the label `meter` alone, so that replacing an adapter
// (a new /dev/serial/by-id name) or readdressing a meter keeps every
// series; where a meter hangs is on quorvan_meter_info. Per meter (all
// prefixed quorvan_meter_):
//   info{meter,port,address}         1
//   up                               1 while the latest poll succeeded
//   voltage_volts, current_amperes, power_watts, voltage_alarm
//   energy_joules_total              counter, 1 Wh = 3600 J
//   last_reading_timestamp_seconds   when the last good reading was taken
//   polls_total, poll_failures_total
// The service itself (quorvan_meterd_): build_info{version},
// line_open{line}, line_open_failures_total{line}, mqtt_connected (with
// [mqtt] only), config_last_reload_successful,
// config_last_reload_success_timestamp_seconds; and the process_* metrics
// of Prometheus's client libraries.
//
// A meter that is down shows up 0, its counters and the time of its last
// good reading, but none of its old values: a scraper must not mistake
// them for the present. Values are printed as the meter sent them
// (hundredths, tenths), never through a float.
#pragma once

#include "ProcessStats.h"
#include "ServiceStatus.h"

#include <string>

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// Appends the exposition of `view` and `process` to *out.
void RenderMetrics(const ServiceView& view, const ProcessStats& process, std::string* out);

// A label value between its quotes: backslash, double quote and line feed escaped.
std::string EscapeLabelValue(const std::string& value);
