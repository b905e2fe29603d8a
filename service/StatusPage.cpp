#include "StatusPage.h"

#include "MeterFormat.h"

#include <cstdio>
#include <initializer_list>

namespace {

// Small, readable without colour (the words say it), fits a phone.
constexpr const char* kStyle =
    "body{font:15px/1.4 system-ui,sans-serif;margin:1.5em;color:#1b1f23;background:#fff}"
    "h1{font-size:1.5em;margin:0 0 .2em}h2{font-size:1.15em;margin:1.4em 0 .4em}"
    "p{margin:.3em 0}.muted{color:#57606a}"
    "table{border-collapse:collapse;min-width:40%}"
    "th,td{padding:.3em .8em;border-bottom:1px solid #d0d7de;text-align:left;white-space:nowrap}"
    "td.n{text-align:right;font-variant-numeric:tabular-nums}"
    "th{background:#f6f8fa;font-weight:600}"
    ".ok{color:#116329;font-weight:600}.bad{color:#b42318;font-weight:600}"
    ".wait{color:#57606a;font-weight:600}"
    "td.why,span.why{white-space:normal;color:#57606a;font-weight:400;min-width:12em}"
    "span.why{display:block;font-size:.85em;max-width:24em}"
    "td.port{white-space:normal;word-break:break-all;max-width:20em}"
    "a{color:#0550ae}";

std::string Age(int64_t nowMs, int64_t thenMs)
{
    const int64_t ms = nowMs > thenMs ? nowMs - thenMs : 0;
    char text[48];
    if (ms < 10000)
        std::snprintf(text, sizeof text, "%.1f s ago", static_cast<double>(ms) / 1000.0);
    else if (ms < 120000)
        std::snprintf(text, sizeof text, "%lld s ago", static_cast<long long>(ms / 1000));
    else if (ms < 7200000)
        std::snprintf(text, sizeof text, "%lld min ago", static_cast<long long>(ms / 60000));
    else
        std::snprintf(text, sizeof text, "%lld h ago", static_cast<long long>(ms / 3600000));
    return text;
}

void Cell(std::string* out, const std::string& text, const char* cls = nullptr)
{
    *out += cls != nullptr ? std::string("<td class=\"") + cls + "\">" : std::string("<td>");
    *out += text;
    *out += "</td>";
}

void Head(std::string* out, std::initializer_list<const char*> names)
{
    *out += "<tr>";
    for (const char* name : names)
        *out += std::string("<th>") + name + "</th>";
    *out += "</tr>\n";
}

void Summary(const ServiceView& view, int64_t nowMs, std::string* out)
{
    size_t up = 0;
    for (const MeterSnapshot& m : view.meters)
        up += m.up;
    const ServiceFacts& s = view.service;
    *out += "<h1>quorvan-meterd</h1>\n<p class=\"muted\">version " QUORVAN_VERSION
            ", running since " +
            UtcTimestamp(s.startUnixMs) + ". This page reloads every " +
            std::to_string(kStatusRefreshSeconds) +
            " s; Prometheus reads <a href=\"metrics\">/metrics</a>.</p>\n";
    *out += "<p><b>" + std::to_string(up) + " of " + std::to_string(view.meters.size()) +
            "</b> meters up, as of " + UtcTimestamp(nowMs) + ".</p>\n";
    if (!s.mqttEnabled)
        *out += "<p>MQTT: off.</p>\n";
    else if (s.mqttConnected)
        *out += "<p>MQTT: <span class=\"ok\">connected</span> to " + HtmlEscaped(s.mqttBroker) +
                ".</p>\n";
    else
        *out += "<p>MQTT: <span class=\"bad\">not connected</span> to " +
                HtmlEscaped(s.mqttBroker) +
                (s.mqttError.empty() ? std::string() : ": " + HtmlEscaped(s.mqttError)) + ".</p>\n";
    *out += "<p>Configuration taken at " + UtcTimestamp(s.reloadUnixMs) + ".";
    if (!s.reloadOk)
        *out += " <span class=\"bad\">The last reload was refused</span>: " +
                HtmlEscaped(s.reloadError) + "; the configuration above stays in force.";
    *out += "</p>\n";
}

void Lines(const ServiceView& view, std::string* out)
{
    *out += "<h2>Lines</h2>\n<table>\n";
    Head(out, {"Port", "State", "Failed opens", "Why"});
    for (const LineStatus& l : view.lines) {
        *out += "<tr>";
        Cell(out, HtmlEscaped(l.device.empty() ? l.port : l.device), "port");
        Cell(out, l.open ? "open" : "not open", l.open ? "ok" : "bad");
        Cell(out, std::to_string(l.openFailures), "n");
        Cell(out, HtmlEscaped(l.lastError), "why");
        *out += "</tr>\n";
    }
    *out += "</table>\n";
}

void Meters(const ServiceView& view, int64_t nowMs, std::string* out)
{
    *out += "<h2>Meters</h2>\n<table>\n";
    Head(out, {"Meter", "Line", "Address", "State", "Voltage", "Current", "Power", "Energy",
               "Alarm", "Last reading", "Polls", "Failed"});
    for (const MeterSnapshot& m : view.meters) {
        const bool live = m.up && m.haveReading;
        *out += "<tr>";
        Cell(out, HtmlEscaped(m.name));
        Cell(out, HtmlEscaped(m.port), "port");
        Cell(out, std::to_string(m.address), "n");
        if (!m.decided)
            Cell(out, "waiting", "wait");
        else if (m.up)
            Cell(out, "up", "ok");
        else
            Cell(out, "down<span class=\"why\">" + HtmlEscaped(m.lastError) + "</span>", "bad");
        Cell(out, live ? HundredthsText(m.reading.voltage) + " V" : "", "n");
        Cell(out, live ? HundredthsText(m.reading.current) + " A" : "", "n");
        Cell(out, live ? TenthsText(m.reading.power) + " W" : "", "n");
        Cell(out, live ? std::to_string(m.reading.energy) + " Wh" : "", "n");
        if (live)
            Cell(out, m.reading.VoltageAlarm() ? "ALARM" : "no",
                 m.reading.VoltageAlarm() ? "bad" : nullptr);
        else
            Cell(out, "");
        Cell(out, m.haveReading ? Age(nowMs, m.readingUnixMs) : "never", "n");
        Cell(out, std::to_string(m.polls), "n");
        Cell(out, std::to_string(m.failures), "n");
        *out += "</tr>\n";
    }
    *out += "</table>\n";
}

}  // namespace

std::string HtmlEscaped(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

void RenderStatusPage(const ServiceView& view, int64_t nowUnixMs, std::string* out)
{
    out->reserve(out->size() + 2048 + view.meters.size() * 512 + view.lines.size() * 256);
    *out +=
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta http-equiv=\"refresh\" content=\"" +
        std::to_string(kStatusRefreshSeconds) +
        "\"><meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
        "<title>quorvan-meterd</title><style>";
    *out += kStyle;
    *out += "</style></head><body>\n";
    Summary(view, nowUnixMs, out);
    Lines(view, out);
    Meters(view, nowUnixMs, out);
    *out += "</body></html>\n";
}
