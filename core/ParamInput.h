// The parameter dialog's input rules without any toolkit: how an edit's text
// becomes a number, which bounds each field has, the refusal texts, and how
// the dialog's whole-volt values become the registers written back.
//
// Texts are UTF-16, as the edits hold them. Nothing here allocates except
// the message builder.
#pragma once

#include "MeterBlocks.h"

#include <cstdint>
#include <string>
#include <string_view>

// Only this many UTF-16 units of an edit take part in the parse; the rest
// of a longer text is ignored as if it were not there.
constexpr std::size_t kParamTextLimit = 63;

// Reads `text` as one unsigned decimal: ASCII white space skipped, one '+'
// or '-', then ASCII digits up to the first other character; the rest is
// ignored. A minus negates modulo 2^32 ("-1" is 4294967295), and too many
// digits wrap modulo 2^32 as the classic C runtime's unsigned scan does
// ("4294967296" is 0). Returns false, leaving *value alone, when no digit
// follows the white space and sign.
bool ParseParamNumber(std::u16string_view text, uint32_t* value);

enum ParamField : int {
    kParamAddress = 0,
    kParamMaxVoltage = 1,
    kParamMinVoltage = 2,
    kParamFieldCount = 3,
};

// A field's accepted range, inclusive: whole volts for the thresholds.
struct ParamBounds {
    int low;
    int high;
};

// The one table of the parameter limits, for every front end: address
// 1..247, maximum voltage 5..350, minimum voltage 1..350.
ParamBounds ParamFieldBounds(ParamField field);

enum class ParamVerdict {
    kAccepted,
    kNotANumber,
    kOutOfRange,
};

// Parses and bounds-checks one field: address 1..247, maximum voltage
// 5..350, minimum voltage 1..350. On kAccepted *value holds the number. The
// address is compared as a signed 32-bit integer, the voltages as
// unsigned; for these bounds both read "-1" as out of range.
ParamVerdict CheckParamField(ParamField field, std::u16string_view text, uint32_t* value);

// Outcome of checking the three edits in the order address, maximum,
// minimum; the first refusal stops the check.
struct ParamCheck {
    ParamVerdict verdict;
    ParamField field;                   // the refused field; kParamFieldCount when accepted
    uint32_t values[kParamFieldCount];  // valid for the fields before `field`
};

ParamCheck CheckParamTexts(std::u16string_view address, std::u16string_view maxVoltage,
                           std::u16string_view minVoltage);

// The refusal text for a field, UTF-8: "请输入一个正整数。" or
// "请输入一个在 1 和 247 之间的整数。"; empty for kAccepted.
std::string ParamRefusalText(ParamField field, ParamVerdict verdict);

// What the dialog shows and returns: whole volts for the thresholds.
struct ParamValues {
    uint32_t currentRange;
    uint32_t address;
    uint32_t maxVoltage;  // volts
    uint32_t minVoltage;  // volts
};

// The dialog's opening values: thresholds in whole volts, hundredths dropped.
ParamValues ParamValuesFromSettings(const Settings& read);

// The registers to write. A threshold the operator left at the whole-volt
// value it opened with goes back exactly as it was read, so 300.55 V stays
// 300.55 V; a changed one is written as volts x 100. Address and range are
// the dialog's values.
Settings ParamSettingsToWrite(const Settings& read, const ParamValues& edited);
