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
// "GetErrorDetails", "GetDescription", "WindowsCreateString".
bool is_step(std::string_view step);

// Empty store, no scripted outcomes, default message table, combase present,
// no latency, nothing paused, counters, call log and violations cleared.
// Error objects left on threads and init depths of threads are not touched.
void reset();

// The next `count` calls of `step` fail with `hresult` and leave `error` on the
// thread; with null_out they succeed (S_OK) and leave the out-pointer null.
// A non-negative hresult without null_out makes the call do its work and
// return that value. Scripts of one step queue up in the order given; a
// caller paused in the step takes the script that is next when it resumes.
// A call leaves the thread's error object alone unless its outcome brings
// one back (a script's error, or the plain error object of a malformed task
// definition): a failing scheduler call with an error of kind none does not
// clear an error object left by an earlier call, as on Windows and Wine.
// Throws std::invalid_argument for a wrong step, a negative count, or null_out
// on a step that has no out-pointer.
void script(std::string_view step, HRESULT hresult, bool null_out = false, ErrorObject error = {}, int count = 1);

enum class Apartment { none, sta, mta };
// Puts the calling thread into that apartment with init depth 1 (none: depth 0).
void set_apartment(Apartment apartment);

// Replaces the system message table's text for a code; nullopt removes it.
void set_message(std::uint32_t code, std::optional<std::u16string> text);

// Whether "combase.dll" loads and whether it exports "RoOriginateError".
void set_combase(bool loads, bool has_ro_originate_error);

// Every call of `step` sleeps this long before doing its work (0: none).
// Throws std::invalid_argument for a wrong step or seconds outside 0..3600.
void set_latency(std::string_view step, double seconds);

// A paused step blocks each caller until resume(step).
void pause(std::string_view step);
void resume(std::string_view step);
// How many callers are blocked in a paused step right now. All three throw
// std::invalid_argument for a wrong step.
int waiting(std::string_view step);

// The task store: path relative to the root folder, without the leading "\"
// ("name", or "folder\name" for a task registered through a subfolder path),
// UTF-16 exactly as first registered (later spellings in another case name the
// same task), to the XML text exactly as last registered.
std::map<std::u16string, std::u16string> tasks();
// Runs recorded by IRegisteredTask::RunEx, per task name.
std::map<std::u16string, long> run_counts();
// COM objects, BSTRs, HSTRINGs and FormatMessageW buffers alive now, error
// objects parked on threads included. A thread's parked error object is
// released when the thread ends.
long live_objects();
// The calling thread's COM initialisation count.
int init_depth();
// The platform calls since reset(), in order, from every thread, capped at
// 100000 entries (later calls are not recorded). Each entry is one of:
//   a function's name: "CoInitializeEx", "CoUninitialize", "CoCreateInstance",
//     "GetErrorInfo", "SetErrorInfo", "LoadLibraryExA", "GetProcAddress",
//     "FreeLibrary", "RoOriginateError", "FormatMessageW", "LocalFree",
//     "WindowsCreateString", "WindowsDeleteString";
//   "SysAllocStringLen(TEXT)" and "SysFreeString(TEXT)", TEXT being the
//     string's text in UTF-8 (unpaired surrogates as U+FFFD), cut after 32
//     characters and then followed by "..."; "SysFreeString(null)" for a null
//     BSTR, "SysFreeString(<freed>)" and "SysFreeString(<unknown>)" for a
//     pointer that is no live BSTR; SysStringLen is not logged;
//   a method as "Interface::Method": "ITaskService::Connect",
//     "ITaskService::GetFolder", "ITaskFolder::GetTask",
//     "ITaskFolder::DeleteTask", "ITaskFolder::RegisterTask",
//     "IRegisteredTask::RunEx", "IErrorInfo::GetDescription",
//     "IRestrictedErrorInfo::GetErrorDetails",
//     "ILanguageExceptionErrorInfo2::CapturePropagationContext", ...;
//   an IUnknown method as "IUnknown::Release(KIND)", "IUnknown::AddRef(KIND)"
//     or "IUnknown::QueryInterface(KIND)", KIND being the object's own kind
//     whatever interface it was called through: ITaskService, ITaskFolder,
//     IRegisteredTask, IRunningTask, IErrorInfo (a plain error object) or
//     IRestrictedErrorInfo (a restricted one).
// A call is logged when it is entered, before it waits in a paused step.
// References that the runtime itself takes or drops (an error object parked
// on or taken from a thread, the reference QueryInterface hands out) are not
// calls and are not logged.
std::vector<std::string> calls();
// Misuse the simulation detected since reset() (double free, release of a
// dead object, a COM call on a thread without an apartment, ...), one line each.
std::vector<std::string> violations();

}  // namespace winsim
