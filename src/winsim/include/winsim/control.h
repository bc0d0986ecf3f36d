#pragma once
// Scripting and inspection of the simulated Windows platform, for tests.
// Thread-safe. The Python control module `_winsim` mirrors these functions.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/windows.h"

namespace winsim {

// The error object that a scripted failing call leaves on its thread.
struct ErrorObject {
    enum class Kind { none, plain, restricted };
    Kind kind = Kind::none;
    // IErrorInfo::GetDescription, and the description output of
    // IRestrictedErrorInfo::GetErrorDetails. nullopt: a null BSTR.
    std::optional<std::u16string> description;
    // Restricted only: the error code output of GetErrorDetails.
    HRESULT code = 0;
    // Restricted only: the restricted description output. nullopt: a null BSTR.
    std::optional<std::u16string> restricted_description;
};

// The steps that can be scripted. Any other name throws std::invalid_argument.
// "CoInitializeEx", "CoCreateInstance", "Connect", "GetFolder", "GetTask",
// "RunEx", "DeleteTask", "RegisterTask", "SysAllocStringLen",
// "GetErrorDetails", "GetDescription".
bool is_step(std::string_view step);

// Empty store, no scripted outcomes, default message table, combase present,
// no latency, nothing paused, counters, call log and violations cleared.
// Error objects left on threads and init depths of threads are not touched.
void reset();

// The next `count` calls of `step` fail with `hresult` and leave `error` on the
// thread; with null_out they succeed (S_OK) and leave the out-pointer null.
// A non-negative hresult without null_out makes the call do its work and
// return that value. Throws std::invalid_argument for a wrong step, a negative
// count, or null_out on a step that has no out-pointer.
void script(std::string_view step, HRESULT hresult, bool null_out = false, ErrorObject error = {}, int count = 1);

enum class Apartment { none, sta, mta };
// Puts the calling thread into that apartment with init depth 1 (none: depth 0).
void set_apartment(Apartment apartment);

// Replaces the system message table's text for a code; nullopt removes it.
void set_message(std::uint32_t code, std::optional<std::u16string> text);

// Whether "combase.dll" loads and whether it exports "RoOriginateError".
void set_combase(bool loads, bool has_ro_originate_error);

// Every call of `step` sleeps this long before doing its work (0: none).
void set_latency(std::string_view step, double seconds);

// A paused step blocks each caller until resume(step).
void pause(std::string_view step);
void resume(std::string_view step);
// How many callers are blocked in a paused step right now.
int waiting(std::string_view step);

// The task store: name (UTF-16, exactly as registered) to XML text.
std::map<std::u16string, std::u16string> tasks();
// Runs recorded by IRegisteredTask::RunEx, per task name.
std::map<std::u16string, long> run_counts();
// COM objects, BSTRs and HSTRINGs alive now, error objects parked on threads included.
long live_objects();
// The calling thread's COM initialisation count.
int init_depth();
// The platform calls since reset(), in order, for example "CoInitializeEx",
// "ITaskFolder::GetTask", "SysFreeString", "IUnknown::Release(ITaskFolder)".
std::vector<std::string> calls();
// Misuse the simulation detected since reset() (double free, release of a
// dead object, a COM call on a thread without an apartment, ...), one line each.
std::vector<std::string> violations();

}  // namespace winsim
