#pragma once

#include "failures/task_failure.h"

namespace velmora::failures {

// Raises the package's exception for a failed scheduler step: calls
// velmora.errors.TaskPermissionError (E_ACCESSDENIED) or TaskSchedulerError
// with (message, HRESULT as an unsigned int, step label). Needs the
// interpreter lock. Afterwards exactly one exception is set: that instance,
// or whatever the import, the lookup or the call raised instead.
void raise_task_failure(TaskFailure failure);

}  // namespace velmora::failures
