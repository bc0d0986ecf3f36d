"""The register of Windows behaviour that the simulation (src/winsim) or the
tests rely on and that no record confirms: no conformance test of Wine's that
runs on Windows (dlls/taskschd/tests/scheduler.c, dlls/schedsvc/tests/rpcapi.c)
and no Microsoft documentation says what Windows answers. Each row names the
case of test_platform.py that observes it; on Windows the suite prints what
each case saw. An answer that differs from the simulation's is a fault of the
simulation to mend.
"""

import collections

Unconfirmed = collections.namedtuple("Unconfirmed", "behaviour simulation observed_by")

UNCONFIRMED = [
    Unconfirmed(*row)
    for row in [
        # The calls of every operation, with the module's own arguments.
        (
            "Connect with four VT_EMPTY VARIANTs (the records use VT_NULL)",
            "S_OK",
            "test_register_find_update_run_delete",
        ),
        (
            "RegisterTask with TASK_LOGON_INTERACTIVE_TOKEN, VT_EMPTY user and password (records: TASK_LOGON_NONE)",
            "S_OK",
            "test_register_find_update_run_delete",
        ),
        (
            "RunEx with a VT_EMPTY VARIANT, flags 0, session 0, no user (no record runs a task)",
            "S_OK and an IRunningTask",
            "test_register_find_update_run_delete",
        ),
        (
            "GetTask of a missing task in the root (MS-TSCH: SchRpcRetrieveTask only)",
            "ERROR_FILE_NOT_FOUND",
            "test_not_found",
        ),
        ("DeleteTask behind a missing folder (MS-TSCH: SchRpcDelete only)", "ERROR_PATH_NOT_FOUND", "test_not_found"),
        # Names.
        (
            'RegisterTask of names holding * ? " < > | or U+0001 to U+001F, or ending with a space',
            "ERROR_INVALID_NAME",
            "test_names_no_task_may_have",
        ),
        (
            "GetTask of a name no task may have (MS-TSCH: SchRpcRetrieveTask, 2.3.11's names); "
            "task_exists may say False",
            "ERROR_INVALID_NAME",
            "test_names_no_task_may_have",
        ),
        (
            "names that differ only in case name one task, which keeps the spelling first registered",
            "one task",
            "test_names_that_differ_only_in_case_find_the_same_task",
        ),
        ("a NUL inside a name is part of the name", "the whole name is the task's", "test_a_name_holding_nul"),
        (
            "DeleteTask with a null name in the root (SchRpcDelete of the root is recorded)",
            "E_ACCESSDENIED",
            "test_empty_names",
        ),
        # Folders (the records make them with CreateFolder; rpcapi.c records SchRpcRegisterTask making them).
        ("RegisterTask makes the folders a path names", "S_OK, the folder made", "test_a_path_makes_its_folders"),
        (
            "DeleteTask of a folder's name acts on the folder as SchRpcDelete does",
            "ERROR_DIR_NOT_EMPTY, then S_OK once empty",
            "test_a_path_makes_its_folders",
        ),
        (
            "a RegisterTask refused on an empty folder's name takes the folder away (our reading of test_GetTask, "
            "where DeleteFolder then finds nothing); a folder that holds anything stays",
            "so",
            "test_a_path_makes_its_folders",
        ),
        (
            "RegisterTask with TASK_CREATE_OR_UPDATE onto an empty folder's name "
            "(test_GetTask records TASK_CREATE only: E_ACCESSDENIED)",
            "E_ACCESSDENIED",
            "test_a_path_makes_its_folders",
        ),
        ("a task's name takes no folder below it", "ERROR_ALREADY_EXISTS", "test_a_path_makes_its_folders"),
        # Error objects.
        (
            "a failed call leaves an earlier error object of the thread in place (Wine does)",
            "the earlier object stays",
            "test_a_failed_call_and_an_earlier_error_object",
        ),
        # Running.
        (
            "RunEx of a disabled task: the record contradicts itself, the RunEx page saying S_OK and no run, "
            "the Run page SCHED_E_TASK_DISABLED for Run, which it calls RunEx with no flags and no user, "
            "as the module calls it",
            "S_OK and an IRunningTask, no run",
            "test_running_a_disabled_task",
        ),
        (
            "RunEx of a task whose instance still runs, under the default policy IgnoreNew",
            "S_OK and an IRunningTask (a simulated run ends at once)",
            "test_running_a_task_that_still_runs",
        ),
        # Task definitions: put_XmlText is recorded, RegisterTask is not.
        (
            "RegisterTask refuses the definitions put_XmlText refuses, malformed ones included, with its codes",
            "the same codes",
            "test_task_definitions_windows_refuses",
        ),
        (
            'the error object of a refused definition, "(line,column):node:value"',
            "that description",
            "test_task_definitions_windows_refuses",
        ),
        (
            'the error object of a malformed document, "(line,column)::ERROR: text"',
            "that description",
            "test_task_definitions_windows_refuses",
        ),
        (
            "a document both malformed and outside the schema",
            "SCHED_E_MALFORMEDXML (read to its end first)",
            "test_task_definitions_windows_refuses",
        ),
        (
            'the line of "(line,column)" counted at a bare LF, as these documents end lines (MS-TSCH 2.3.10 '
            "speaks of carriage returns)",
            "a line at each LF, CR LF or lone CR",
            "test_task_definitions_windows_refuses",
        ),
    ]
] + [
    # The schema check's choices where no record says (src/winsim/task_definition.cpp names them).
    Unconfirmed(behaviour, simulation, f"test_task_definitions_no_record_decides[{case}]")
    for case, behaviour, simulation in [
        ("children-out-of-order", "children in any order, xs:sequence included", "accepted"),
        ("duplicated-child", "a child past its maxOccurs", "SCHED_E_TOO_MANY_NODES"),
        ("exec-without-command", "a required child missing (recorded only for Actions)", "SCHED_E_MISSINGNODE"),
        ("duration-not-a-duration", "a value its type refuses (recorded only for a boolean)", "SCHED_E_INVALIDVALUE"),
        ("boolean-one", 'xs:boolean "1" and "0"', "accepted"),
        ("unknown-child", "an unknown child below the document element", "SCHED_E_UNEXPECTEDNODE"),
        ("child-in-another-namespace", "a known child in another namespace", "SCHED_E_NAMESPACE"),
        ("newer-than-its-version", "an element newer than the Task's version", "SCHED_E_UNEXPECTEDNODE"),
        ("version-1.7", "a version above 1.6", "SCHED_E_INVALIDVALUE"),
        ("context-of-no-principal", "Actions' Context naming no Principal's id", "SCHED_E_INVALIDVALUE"),
        (
            "message-without-title",
            "the schema's required children, ShowMessage's Title among them",
            "SCHED_E_MISSINGNODE",
        ),
    ]
]
