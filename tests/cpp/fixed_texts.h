#pragma once
// Display texts of failures that many C++ tests compare against, spelled once:
// the simulated system message, a blank and the code in parentheses.

#include <string_view>

namespace velmora::testing_support {

inline constexpr std::string_view access_denied_text = "Access is denied. (0x80070005)";
inline constexpr std::string_view file_not_found_text = "The system cannot find the file specified. (0x80070002)";
inline constexpr std::string_view invalid_argument_text = "The parameter is incorrect. (0x80070057)";

}  // namespace velmora::testing_support
