#pragma once
// Display texts of failures that many C++ tests compare against, spelled once:
// the simulated system message, a blank and the code in parentheses. And the
// task definition the tests register.

#include <string_view>

namespace velmora::testing_support {

inline constexpr std::string_view access_denied_text = "Access is denied. (0x80070005)";
inline constexpr std::string_view file_not_found_text = "The system cannot find the file specified. (0x80070002)";
inline constexpr std::string_view invalid_argument_text = "The parameter is incorrect. (0x80070057)";

// A minimal valid task definition: one action.
inline constexpr std::string_view task_xml =
    "<Task xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">"
    "<Actions><Exec><Command>cmd</Command></Exec></Actions></Task>";
// How the call log shows it: its first 32 characters and "...".
inline constexpr std::string_view task_xml_in_log = "<Task xmlns=\"http://schemas.micr...";

}  // namespace velmora::testing_support
