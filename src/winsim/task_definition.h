#pragma once
// The check that the Task Scheduler makes of a task definition before it
// registers it: a well-formed document, valid against the Task Scheduler
// Schema.

#include <optional>
#include <string_view>

#include "winsim/windows.h"

namespace winsim::detail {

// Why a definition is refused: the code RegisterTask returns and what
// MS-TSCH 2.3.10 TASK_XML_ERROR_INFO reports with it.
struct DefinitionError {
    HRESULT code;
    long line;    // 1-based
    long column;  // 1-based, in UTF-16 units
    // The element or attribute at fault or missing; empty when the document
    // is not well-formed.
    std::u16string_view node;
    // The offending value as written; for a document that is not well-formed,
    // the parser's message.
    std::u16string_view value;
};

// The first reason to refuse the definition, or nothing when it is valid.
// `node` and `value` point into the document or into fixed texts.
std::optional<DefinitionError> check_task_definition(std::u16string_view document);

// Whether a valid definition lets its task be started on demand: its Settings
// neither disable it (Enabled) nor forbid it (AllowStartOnDemand).
bool starts_on_demand(std::u16string_view document);

}  // namespace winsim::detail
