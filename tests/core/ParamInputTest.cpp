#include "ParamInput.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ParseCase {
    std::u16string text;
    bool number;
    uint32_t value;
};

TEST(ParamInput, ReadsOneUnsignedDecimal)
{
    const std::u16string blanks61(61, u' ');
    const ParseCase cases[] = {
        {u"12", true, 12},
        {u" 12abc", true, 12},  // a unit letter after the number is ignored
        {u"\t\r\n+7 V", true, 7},
        {u"0300", true, 300},
        {u"-1", true, 4294967295u},  // negated modulo 2^32
        {u"-0", true, 0},
        {u"4294967295", true, 4294967295u},
        {u"4294967296", true, 0},  // wraps, as the classic unsigned scan does
        {u"4294967308", true, 12},
        {u"", false, 0},
        {u"   ", false, 0},
        {u"abc", false, 0},
        {u"+", false, 0},
        {u"+-1", false, 0},
        {u"- 1", false, 0},
        {u"\uFF11\uFF12", false, 0},   // full-width digits are not digits
        {u"\u300012", false, 0},       // nor is an ideographic space white space
        {blanks61 + u"12", true, 12},  // 63 characters: all count
        {blanks61 + u" 12", true, 1},  // the 64th character is cut off
        {blanks61 + u"  12", false, 0},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(&c - cases);
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(ParseParamNumber(c.text, &value), c.number);
        EXPECT_EQ(value, c.number ? c.value : 0xDEADBEEF);
    }
}

struct CheckCase {
    const char16_t* address;
    const char16_t* maxVoltage;
    const char16_t* minVoltage;
    ParamVerdict verdict;
    ParamField field;
    const char* message;
};

TEST(ParamInput, ChecksAddressThenMaximumThenMinimum)
{
    const CheckCase cases[] = {
        {u"0", u"300", u"250", ParamVerdict::kOutOfRange, kParamAddress,
         "请输入一个在 1 和 247 之间的整数。"},
        {u"248", u"300", u"250", ParamVerdict::kOutOfRange, kParamAddress,
         "请输入一个在 1 和 247 之间的整数。"},
        {u"-1", u"300", u"250", ParamVerdict::kOutOfRange, kParamAddress,
         "请输入一个在 1 和 247 之间的整数。"},
        {u"1", u"4", u"250", ParamVerdict::kOutOfRange, kParamMaxVoltage,
         "请输入一个在 5 和 350 之间的整数。"},
        {u"1", u"-1", u"250", ParamVerdict::kOutOfRange, kParamMaxVoltage,
         "请输入一个在 5 和 350 之间的整数。"},
        {u"1", u"351", u"250", ParamVerdict::kOutOfRange, kParamMaxVoltage,
         "请输入一个在 5 和 350 之间的整数。"},
        {u"247", u"350", u"0", ParamVerdict::kOutOfRange, kParamMinVoltage,
         "请输入一个在 1 和 350 之间的整数。"},
        {u"", u"300", u"250", ParamVerdict::kNotANumber, kParamAddress, "请输入一个正整数。"},
        {u"1", u"   ", u"250", ParamVerdict::kNotANumber, kParamMaxVoltage, "请输入一个正整数。"},
        {u"1", u"5", u"abc", ParamVerdict::kNotANumber, kParamMinVoltage, "请输入一个正整数。"},
        // The first refusal stops the check.
        {u"0", u"abc", u"abc", ParamVerdict::kOutOfRange, kParamAddress,
         "请输入一个在 1 和 247 之间的整数。"},
        // No check that the minimum lies below the maximum.
        {u" 12abc", u"5", u"350", ParamVerdict::kAccepted, kParamFieldCount, ""},
        {u"4294967297", u"5", u"1", ParamVerdict::kAccepted, kParamFieldCount, ""},
    };
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(&c - cases);
        const ParamCheck check = CheckParamTexts(c.address, c.maxVoltage, c.minVoltage);
        EXPECT_EQ(check.verdict, c.verdict);
        EXPECT_EQ(check.field, c.field);
        EXPECT_EQ(ParamRefusalText(check.field, check.verdict), c.message);
    }
    const ParamCheck check = CheckParamTexts(u" 12abc", u"350", u"1");
    EXPECT_EQ(check.values[kParamAddress], 12u);
    EXPECT_EQ(check.values[kParamMaxVoltage], 350u);
    EXPECT_EQ(check.values[kParamMinVoltage], 1u);
}

TEST(ParamInput, UntouchedThresholdsKeepTheirHundredths)
{
    const Settings read{30055, 25099, 17, 2};
    const ParamValues opened = ParamValuesFromSettings(read);
    EXPECT_EQ(opened.maxVoltage, 300u);
    EXPECT_EQ(opened.minVoltage, 250u);
    EXPECT_EQ(opened.address, 17u);
    EXPECT_EQ(opened.currentRange, 2u);

    Settings out = ParamSettingsToWrite(read, opened);
    EXPECT_EQ(out.highVoltage, 30055);
    EXPECT_EQ(out.lowVoltage, 25099);
    EXPECT_EQ(out.address, 17);
    EXPECT_EQ(out.currentRange, 2);

    // Only the changed threshold goes back in whole volts.
    out = ParamSettingsToWrite(read, ParamValues{1, 9, 301, 250});
    EXPECT_EQ(out.highVoltage, 30100);
    EXPECT_EQ(out.lowVoltage, 25099);
    EXPECT_EQ(out.address, 9);
    EXPECT_EQ(out.currentRange, 1);

    out = ParamSettingsToWrite(read, ParamValues{7, 17, 300, 5});
    EXPECT_EQ(out.highVoltage, 30055);
    EXPECT_EQ(out.lowVoltage, 500);
    EXPECT_EQ(out.currentRange, 7);
}

}  // namespace
