#pragma once

#include <expected>
#include <string_view>

#include "failures/task_failure.h"

// The four task operations on the root folder "\" of the local Task Scheduler.
// Each opens its own scheduler session on the calling thread, makes its
// request, closes the session and leaves the thread's COM state as it found
// it. They touch no Python object and run with the interpreter lock released.
//
// Text arguments are UTF-8, given as pointer and length (string_view): not
// NUL-limited, borrowed for the duration of the call. A scheduler failure is
// returned as a TaskFailure; an internal fault (a text that cannot become a
// BSTR) is thrown as failures::InternalFault.
namespace velmora::scheduler {

template <class T>
using Outcome = std::expected<T, failures::TaskFailure>;

Outcome<void> run_task(std::string_view task_name);
Outcome<void> delete_task(std::string_view task_name);
Outcome<bool> task_exists(std::string_view task_name);
Outcome<void> register_xml(std::string_view task_name, std::string_view xml_data);

}  // namespace velmora::scheduler
