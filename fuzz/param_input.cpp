// The parameter dialog's number parsing and range check on arbitrary text.
// Input: UTF-16 units (two bytes each) of the three edits, split at 0xFFFF.
#include "ParamInput.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

constexpr uint32_t kLow[kParamFieldCount] = {1, 5, 1};
constexpr uint32_t kHigh[kParamFieldCount] = {247, 350, 350};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::u16string> texts(1);
    for (size_t i = 0; i + 1 < size; i += 2) {
        char16_t unit;
        std::memcpy(&unit, data + i, sizeof unit);
        if (unit == 0xFFFF && texts.size() < kParamFieldCount)
            texts.emplace_back();
        else
            texts.back() += unit;
    }
    texts.resize(kParamFieldCount);

    const ParamCheck check = CheckParamTexts(texts[0], texts[1], texts[2]);
    for (int f = 0; f < kParamFieldCount; ++f) {
        const auto field = static_cast<ParamField>(f);
        uint32_t value = 0xDEADBEEF;
        const ParamVerdict verdict = CheckParamField(field, texts[f], &value);
        if (verdict == ParamVerdict::kAccepted)
            Require(value >= kLow[f] && value <= kHigh[f]);
        else
            Require(value == 0xDEADBEEF && !ParamRefusalText(field, verdict).empty());
        // The whole check stops at the first refusal and agrees with each field.
        if (f < check.field)
            Require(verdict == ParamVerdict::kAccepted && check.values[f] == value);
        else if (f == check.field)
            Require(verdict == check.verdict);
        // Only the first kParamTextLimit units count.
        uint32_t a = 1, b = 2;
        const bool parsedA = ParseParamNumber(texts[f], &a);
        const bool parsedB = ParseParamNumber(texts[f].substr(0, kParamTextLimit), &b);
        Require(parsedA == parsedB && (!parsedA || a == b));
    }
    if (check.field != kParamFieldCount)
        return 0;

    // Accepted volts written and read back give the volts shown.
    Settings read{};
    if (size >= 8)
        std::memcpy(&read, data + size - 8, 8);
    const ParamValues edited{read.currentRange, check.values[kParamAddress],
                             check.values[kParamMaxVoltage], check.values[kParamMinVoltage]};
    const ParamValues shown = ParamValuesFromSettings(ParamSettingsToWrite(read, edited));
    Require(shown.address == edited.address && shown.maxVoltage == edited.maxVoltage &&
            shown.minVoltage == edited.minVoltage);
    return 0;
}
