#include "ParamInput.h"

namespace {

bool IsBlank(char16_t c)
{
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

bool IsDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

constexpr ParamBounds kBounds[kParamFieldCount] = {
    {1, 247},  // address
    {5, 350},  // maximum voltage
    {1, 350},  // minimum voltage
};

bool InBounds(ParamField field, uint32_t value)
{
    const ParamBounds b = kBounds[field];
    if (field == kParamAddress) {
        const auto v = static_cast<int32_t>(value);
        return v >= b.low && v <= b.high;
    }
    return value >= static_cast<uint32_t>(b.low) && value <= static_cast<uint32_t>(b.high);
}

uint16_t Threshold(uint16_t read, uint32_t volts)
{
    // Untouched: keep the hundredths that were read.
    if (volts == read / 100u)
        return read;
    return static_cast<uint16_t>(volts * 100u);
}

}  // namespace

ParamBounds ParamFieldBounds(ParamField field)
{
    return kBounds[field];
}

bool ParseParamNumber(std::u16string_view text, uint32_t* value)
{
    text = text.substr(0, kParamTextLimit);
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i == text.size() || !IsDigit(text[i]))
        return false;
    uint32_t n = 0;  // unsigned arithmetic: wraps modulo 2^32
    for (; i < text.size() && IsDigit(text[i]); ++i)
        n = n * 10u + static_cast<uint32_t>(text[i] - u'0');
    *value = negative ? 0u - n : n;
    return true;
}

ParamVerdict CheckParamField(ParamField field, std::u16string_view text, uint32_t* value)
{
    uint32_t n = 0;
    if (!ParseParamNumber(text, &n))
        return ParamVerdict::kNotANumber;
    if (!InBounds(field, n))
        return ParamVerdict::kOutOfRange;
    *value = n;
    return ParamVerdict::kAccepted;
}

ParamCheck CheckParamTexts(std::u16string_view address, std::u16string_view maxVoltage,
                           std::u16string_view minVoltage)
{
    const std::u16string_view texts[kParamFieldCount] = {address, maxVoltage, minVoltage};
    ParamCheck check{ParamVerdict::kAccepted, kParamFieldCount, {0, 0, 0}};
    for (int f = 0; f < kParamFieldCount; ++f) {
        const auto field = static_cast<ParamField>(f);
        check.verdict = CheckParamField(field, texts[f], &check.values[f]);
        if (check.verdict != ParamVerdict::kAccepted) {
            check.field = field;
            break;
        }
    }
    return check;
}

std::string ParamRefusalText(ParamField field, ParamVerdict verdict)
{
    switch (verdict) {
        case ParamVerdict::kAccepted: return {};
        case ParamVerdict::kNotANumber: return "请输入一个正整数。";
        case ParamVerdict::kOutOfRange: break;
    }
    const ParamBounds b = kBounds[field];
    return "请输入一个在 " + std::to_string(b.low) + " 和 " + std::to_string(b.high) +
           " 之间的整数。";
}

ParamValues ParamValuesFromSettings(const Settings& read)
{
    return ParamValues{read.currentRange, read.address, read.highVoltage / 100u,
                       read.lowVoltage / 100u};
}

Settings ParamSettingsToWrite(const Settings& read, const ParamValues& edited)
{
    return Settings{Threshold(read.highVoltage, edited.maxVoltage),
                    Threshold(read.lowVoltage, edited.minVoltage),
                    static_cast<uint16_t>(edited.address),
                    static_cast<uint16_t>(edited.currentRange)};
}
