#pragma once
// What the fidelity tests need to know about the platform they run on: the
// simulation (Linux), Wine, or Windows itself. The same test source runs on
// all three; where Wine is known to differ from Windows the expectation says
// so, and the simulation is held to what Windows does.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace velmora::fidelity {

enum class Platform { simulation, wine, windows };

Platform platform_under_test();
std::string_view platform_name(Platform platform);

// Every place where Wine is known to answer otherwise than Windows, each
// described in wine_differences (platform_under_test.cpp) with the record of
// Windows' answer. The simulation is held to Windows; a run under Wine passes
// with Wine's answer and lists, at its end, each difference that it met.
enum class WineDiffers {
    message_texts,
    ro_originate_error,
    run_ex,
    malformed_error_object,
    root_element_name,
    empty_actions,
    names_with_colon_or_slash,
    delete_with_null_name,
    folder_kept_after_refusal,
};

// Under Wine: notes that the run met the difference and returns true.
bool under_wine(WineDiffers difference);

// A value on which Wine and Windows disagree. The simulation stands in for
// Windows, so it is held to the Windows value.
template <class T>
struct WindowsOrWine {
    WineDiffers difference;
    T windows;
    T wine;

    const T& here() const { return under_wine(difference) ? wine : windows; }
};

// The calling thread's COM apartment, found out without changing it: a probe
// CoInitializeEx for the multithreaded apartment, balanced at once when it
// succeeds. S_OK means the thread had none, S_FALSE that it was already in the
// multithreaded one, RPC_E_CHANGED_MODE that it is single-threaded.
enum class Apartment { none, mta, sta };
Apartment current_apartment();
std::string_view apartment_name(Apartment apartment);

// Enters the apartment (none: nothing) with one initialisation; returns
// whether CoInitializeEx succeeded.
bool enter_apartment(Apartment apartment);

// The system message table's text for the codes that the task operations can
// produce, as Windows has it and as Wine has it ("" where there is none).
std::string_view system_text(HRESULT code);

// The display text of a failure with that code and no error object: the
// system text, a blank and the code in parentheses, or the code alone.
std::string expected_display_text(HRESULT code);

// A task definition that Windows and Wine accept: one Exec action that starts
// a command which exits at once.
std::string task_xml(std::string_view description);

}  // namespace velmora::fidelity
