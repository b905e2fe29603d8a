// GET /: one small HTML page for a person: each line (open or not, and
// why) and each meter (values, up or down, age of its last reading,
// failures), the broker and the configuration, and a link to /metrics.
// No script and nothing from elsewhere; it asks the browser to load it
// again every kRefreshSeconds.
#pragma once

#include "ServiceStatus.h"

#include <cstdint>
#include <string>

inline constexpr int kStatusRefreshSeconds = 5;
inline constexpr const char* kStatusContentType = "text/html; charset=utf-8";

// Appends the page for `view` as of `nowUnixMs` to *out.
void RenderStatusPage(const ServiceView& view, int64_t nowUnixMs, std::string* out);

// `text` with &, <, >, " and ' as entities.
std::string HtmlEscaped(const std::string& text);
