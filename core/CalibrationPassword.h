// The meter's calibration password: asked for by every front end before a
// calibration is sent, so that a wrong one never reaches the line.
#pragma once

#include <string_view>

// Compared exactly, letter case included.
constexpr std::string_view kCalibrationPassword = "KVRA518";

constexpr bool IsCalibrationPassword(std::string_view text)
{
    return text == kCalibrationPassword;
}
