// The Task Scheduler: ITaskService, ITaskFolder, IRegisteredTask and
// IRunningTask over one in-memory store shared by every thread.
//
// Each answer names its record: a case of Wine's conformance tests, which run
// on Windows (dlls/taskschd/tests/scheduler.c, dlls/schedsvc/tests/rpcapi.c;
// a check under todo_wine is what Windows does and Wine does not), or
// Microsoft's documentation (MS-TSCH, the protocol under these interfaces).
// What no record confirms says so, and tests/platform/register.py lists it
// with the platform-suite case that observes it on Windows.
//
// A call leaves an error object on the calling thread only where this file
// says so (a refused task definition, a scripted failure); otherwise, failed
// or not, it leaves the thread's error object as it was. Wine's service does
// the same; for Windows it is not recorded.

#include <algorithm>
#include <cstdio>
#include <expected>
#include <map>
#include <new>
#include <random>
#include <set>
#include <string>

#include "com_object.h"
#include "sim_state.h"
#include "strings.h"
#include "task_definition.h"
#include "task_names.h"

namespace winsim::detail {
namespace {

constexpr HRESULT file_not_found = __HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
constexpr HRESULT path_not_found = __HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
constexpr HRESULT already_exists = __HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
constexpr HRESULT not_connected = __HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
constexpr HRESULT invalid_name = __HRESULT_FROM_WIN32(123L);        // ERROR_INVALID_NAME
constexpr HRESULT dir_not_empty = __HRESULT_FROM_WIN32(145L);       // ERROR_DIR_NOT_EMPTY
constexpr HRESULT server_unavailable = __HRESULT_FROM_WIN32(1722L);  // RPC_S_SERVER_UNAVAILABLE
constexpr HRESULT null_ref_pointer = __HRESULT_FROM_WIN32(1780L);    // RPC_X_NULL_REF_POINTER

struct StoredTask {
    std::u16string xml;     // as last registered
    bool starts_on_demand;  // read from it once, at registration
};

// Paths are kept relative to the root folder, without a leading "\"; a task
// in a subfolder is "folder\name". Paths are found under any casing and keep
// the spelling they were first stored with.
struct Store {
    std::map<std::u16string, StoredTask, NameLess> tasks;
    std::set<std::u16string, NameLess> folders;  // besides the root
    std::map<std::u16string, long, NameLess> runs;
    std::mt19937_64 guids{std::random_device{}()};
};

Store& store() {
    static auto* const instance = new Store;
    return *instance;
}

// Ends a scheduler call. An error object that the call brings back replaces
// the thread's; without one the thread's error object stays as it was, also
// when the call fails (as Wine's Task Scheduler does).
HRESULT finish(HRESULT hr, IErrorInfo* error = nullptr) {
    if (error != nullptr) park_error(error);
    return hr;
}

HRESULT finish_scripted(const Outcome& outcome) { return finish(outcome.hresult, make_error_object(outcome.error)); }

std::u16string folder_of(std::u16string_view path) {
    const std::size_t slash = path.rfind(u'\\');
    return slash == std::u16string_view::npos ? std::u16string() : std::u16string(path.substr(0, slash));
}

// A path as given to a folder, made relative to the root. Paths starting with
// "\" are taken from the root.
std::u16string resolve(const std::u16string& folder, std::u16string_view path) {
    if (!path.empty() && path.front() == u'\\') return std::u16string(path.substr(1));
    if (folder.empty()) return std::u16string(path);
    return folder + u'\\' + std::u16string(path);
}

// Caller holds the lock.
bool folder_exists(const std::u16string& folder) { return folder.empty() || store().folders.contains(folder); }

// Whether anything is stored below the folder. Caller holds the lock.
bool folder_holds_anything(std::u16string_view folder) {
    const auto below = [&](std::u16string_view path) {
        return path.size() > folder.size() && path[folder.size()] == u'\\' &&
               !NameLess{}(path.substr(0, folder.size()), folder) && !NameLess{}(folder, path.substr(0, folder.size()));
    };
    return std::ranges::any_of(store().tasks, [&](const auto& task) { return below(task.first); }) ||
           std::ranges::any_of(store().folders, below);
}

// Removes the folder when it holds nothing: S_OK, else ERROR_DIR_NOT_EMPTY.
// Caller holds the lock.
HRESULT erase_if_empty(std::set<std::u16string, NameLess>::iterator folder) {
    if (folder_holds_anything(*folder)) return dir_not_empty;
    store().folders.erase(folder);
    return S_OK;
}

// The path with its deepest existing folder spelt as that folder was stored.
// Caller holds the lock.
std::u16string with_stored_folder(std::u16string path) {
    for (std::u16string folder = folder_of(path); !folder.empty(); folder = folder_of(folder)) {
        const auto found = store().folders.find(folder);
        if (found == store().folders.end()) continue;
        path.replace(0, found->size(), *found);  // same length: casing is folded unit by unit
        break;
    }
    return path;
}

// Which part of a path that names no task is missing. A path that names a
// folder names no task either: ERROR_PATH_NOT_FOUND (scheduler.c test_GetTask:
// GetTask(root, "\\Wine") with \Wine an empty folder; a missing folder
// likewise). A missing task in a folder that is there: ERROR_FILE_NOT_FOUND
// (MS-TSCH 3.2.5.4.3 SchRpcRetrieveTask). Caller holds the lock.
HRESULT missing(const std::u16string& key) {
    return store().folders.contains(key) || !folder_exists(folder_of(key)) ? path_not_found : file_not_found;
}

// The task's path as stored when it is there, else which part is missing.
std::expected<std::u16string, HRESULT> find_task(const std::u16string& key) {
    std::lock_guard lock(state_mutex());
    if (const auto found = store().tasks.find(key); found != store().tasks.end()) return found->first;
    return std::unexpected(missing(key));
}

// Deletes what the path names, as SchRpcDelete does, under which DeleteTask
// lies: a task; an empty folder; not the root (rpcapi.c: SchRpcDelete(L"") is
// E_ACCESSDENIED) and not a folder that holds anything (ERROR_DIR_NOT_EMPTY,
// rpcapi.c, and scheduler.c test_GetTask: DeleteTask(folder, NULL), todo_wine).
// That DeleteTask takes a folder's own path this way is our reading of that
// case; the deletion of an empty folder through it is not recorded.
HRESULT delete_path(const std::u16string& key) {
    if (key.empty()) return E_ACCESSDENIED;
    std::lock_guard lock(state_mutex());
    Store& s = store();
    if (const auto found = s.tasks.find(key); found != s.tasks.end()) {
        s.tasks.erase(found);
        return S_OK;
    }
    if (const auto folder = s.folders.find(key); folder != s.folders.end()) return erase_if_empty(folder);
    return missing(key);
}

std::u16string new_guid_name() {
    std::uint64_t high;
    std::uint64_t low;
    {
        std::lock_guard lock(state_mutex());
        high = store().guids();
        low = store().guids();
    }
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%04X-%012llX}", static_cast<unsigned>(high >> 32),
                  static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
                  static_cast<unsigned>(low >> 48), static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
    return std::u16string(text, text + 38);
}

class RunningTask final : public IRunningTask, public ObjectCore {
public:
    explicit RunningTask(std::u16string path) : ObjectCore("IRunningTask", true), path_(std::move(path)) {}

    WINSIM_IUNKNOWN_MEMBERS
    WINSIM_IDISPATCH_MEMBERS

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* pName) override {
        if (!enter_method("IRunningTask::get_Name")) return E_UNEXPECTED;
        return finish(hand_out_bstr(path_.substr(path_.rfind(u'\\') + 1), pName));
    }
    HRESULT STDMETHODCALLTYPE get_InstanceGuid(BSTR* pGuid) override {
        if (!enter_method("IRunningTask::get_InstanceGuid")) return E_UNEXPECTED;
        return finish(hand_out_bstr(new_guid_name(), pGuid));
    }
    HRESULT STDMETHODCALLTYPE get_Path(BSTR* pPath) override {
        if (!enter_method("IRunningTask::get_Path")) return E_UNEXPECTED;
        return finish(hand_out_bstr(u'\\' + path_, pPath));
    }
    HRESULT STDMETHODCALLTYPE get_State(TASK_STATE* pState) override {
        if (!enter_method("IRunningTask::get_State")) return E_UNEXPECTED;
        if (pState == nullptr) return finish(E_POINTER);
        *pState = TASK_STATE_RUNNING;
        return finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE get_CurrentAction(BSTR* pName) override {
        if (!enter_method("IRunningTask::get_CurrentAction")) return E_UNEXPECTED;
        return finish(hand_out_bstr(std::nullopt, pName));
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        if (!enter_method("IRunningTask::Stop")) return E_UNEXPECTED;
        return finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE Refresh() override {
        if (!enter_method("IRunningTask::Refresh")) return E_UNEXPECTED;
        return finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE get_EnginePID(DWORD* pPID) override {
        if (!enter_method("IRunningTask::get_EnginePID")) return E_UNEXPECTED;
        if (pPID == nullptr) return finish(E_POINTER);
        *pPID = 0;
        return finish(S_OK);
    }

private:
    void* find_interface(REFIID riid) noexcept {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IRunningTask)
            return static_cast<IRunningTask*>(this);
        return nullptr;
    }

    std::u16string path_;
};

class RegisteredTask final : public IRegisteredTask, public ObjectCore {
public:
    explicit RegisteredTask(std::u16string path) : ObjectCore("IRegisteredTask", true), path_(std::move(path)) {}

    WINSIM_IUNKNOWN_MEMBERS
    WINSIM_IDISPATCH_MEMBERS

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* pName) override {
        if (!enter_method("IRegisteredTask::get_Name")) return E_UNEXPECTED;
        return finish(hand_out_bstr(path_.substr(path_.rfind(u'\\') + 1), pName));
    }
    HRESULT STDMETHODCALLTYPE get_Path(BSTR* pPath) override {
        if (!enter_method("IRegisteredTask::get_Path")) return E_UNEXPECTED;
        return finish(hand_out_bstr(u'\\' + path_, pPath));
    }
    HRESULT STDMETHODCALLTYPE get_State(TASK_STATE* pState) override {
        if (!enter_method("IRegisteredTask::get_State")) return E_UNEXPECTED;
        if (pState == nullptr) return finish(E_POINTER);
        *pState = TASK_STATE_READY;
        return finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* pEnabled) override {
        if (!enter_method("IRegisteredTask::get_Enabled")) return E_UNEXPECTED;
        if (pEnabled == nullptr) return finish(E_POINTER);
        *pEnabled = -1;
        return finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL) override {
        if (!enter_method("IRegisteredTask::put_Enabled")) return E_UNEXPECTED;
        return finish(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE Run(VARIANT, IRunningTask** ppRunningTask) override {
        if (!enter_method("IRegisteredTask::Run")) return E_UNEXPECTED;
        if (ppRunningTask == nullptr) return finish(E_POINTER);
        *ppRunningTask = nullptr;
        return finish(start(ppRunningTask));
    }
    HRESULT STDMETHODCALLTYPE RunEx(VARIANT, LONG, LONG, BSTR user, IRunningTask** ppRunningTask) override {
        if (!enter_method("IRegisteredTask::RunEx")) return E_UNEXPECTED;
        bstr_text(user, "IRegisteredTask::RunEx");
        if (ppRunningTask != nullptr) *ppRunningTask = nullptr;
        const std::optional<Outcome> outcome = enter_step(Step::RunEx);
        if (outcome && outcome->fails()) return finish_scripted(*outcome);
        if (ppRunningTask == nullptr) return finish(E_POINTER);
        if (outcome && outcome->null_out) return finish(S_OK);
        const HRESULT hr = start(ppRunningTask);
        return finish(FAILED(hr) || !outcome ? hr : outcome->hresult);
    }
    HRESULT STDMETHODCALLTYPE GetInstances(LONG, IRunningTaskCollection** ppRunningTasks) override {
        if (!enter_method("IRegisteredTask::GetInstances")) return E_UNEXPECTED;
        if (ppRunningTasks != nullptr) *ppRunningTasks = nullptr;
        return finish(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE get_LastRunTime(DATE* pLastRunTime) override {
        if (!enter_method("IRegisteredTask::get_LastRunTime")) return E_UNEXPECTED;
        if (pLastRunTime != nullptr) *pLastRunTime = 0;
        return finish(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE get_LastTaskResult(LONG* pLastTaskResult) override {
        if (!enter_method("IRegisteredTask::get_LastTaskResult")) return E_UNEXPECTED;
        if (pLastTaskResult != nullptr) *pLastTaskResult = 0;
        return finish(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE get_NumberOfMissedRuns(LONG* pNumberOfMissedRuns) override {
        if (!enter_method("IRegisteredTask::get_NumberOfMissedRuns")) return E_UNEXPECTED;
        if (pNumberOfMissedRuns != nullptr) *pNumberOfMissedRuns = 0;
        return finish(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE get_NextRunTime(DATE* pNextRunTime) override {
        if (!enter_method("IRegisteredTask::get_NextRunTime")) return E_UNEXPECTED;
        if (pNextRunTime != nullptr) *pNextRunTime = 0;
        return finish(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE get_Definition(ITaskDefinition** ppDefinition) override {
        if (!enter_method("IRegisteredTask::get_Definition")) return E_UNEXPECTED;
        if (ppDefinition != nullptr) *ppDefinition = nullptr;
        return finish(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE get_Xml(BSTR* pXml) override {
        if (!enter_method("IRegisteredTask::get_Xml")) return E_UNEXPECTED;
        std::optional<std::u16string> xml;
        {
            std::lock_guard lock(state_mutex());
            auto found = store().tasks.find(path_);
            if (found != store().tasks.end()) xml = found->second.xml;
        }
        if (!xml) {
            if (pXml != nullptr) *pXml = nullptr;
            return finish(file_not_found);
        }
        return finish(hand_out_bstr(xml, pXml));
    }
    HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG, BSTR* pSddl) override {
        if (!enter_method("IRegisteredTask::GetSecurityDescriptor")) return E_UNEXPECTED;
        if (pSddl != nullptr) *pSddl = nullptr;
        return finish(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR, LONG) override {
        if (!enter_method("IRegisteredTask::SetSecurityDescriptor")) return E_UNEXPECTED;
        return finish(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE Stop(LONG) override {
        if (!enter_method("IRegisteredTask::Stop")) return E_UNEXPECTED;
        return finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetRunTimes(const SYSTEMTIME*, const SYSTEMTIME*, DWORD* pCount,
                                          SYSTEMTIME** pRunTimes) override {
        if (!enter_method("IRegisteredTask::GetRunTimes")) return E_UNEXPECTED;
        if (pCount != nullptr) *pCount = 0;
        if (pRunTimes != nullptr) *pRunTimes = nullptr;
        return finish(E_NOTIMPL);
    }

private:
    // Records one run and hands out its instance at once: the task is not waited for.
    HRESULT start(IRunningTask** out) {
        {
            std::lock_guard lock(state_mutex());
            const auto found = store().tasks.find(path_);
            if (found == store().tasks.end()) return file_not_found;
            // A disabled task, or one that may not be started on demand, is
            // not run, and the call succeeds all the same (IRegisteredTask::
            // RunEx documentation, Remarks); that it hands out an instance
            // then is not recorded.
            if (found->second.starts_on_demand) ++store().runs[path_];
        }
        *out = new RunningTask(path_);
        return S_OK;
    }

    void* find_interface(REFIID riid) noexcept {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IRegisteredTask)
            return static_cast<IRegisteredTask*>(this);
        return nullptr;
    }

    std::u16string path_;
};

class TaskFolder final : public ITaskFolder, public ObjectCore {
public:
    explicit TaskFolder(std::u16string path) : ObjectCore("ITaskFolder", true), path_(std::move(path)) {}

    WINSIM_IUNKNOWN_MEMBERS
    WINSIM_IDISPATCH_MEMBERS

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* pName) override {
        if (!enter_method("ITaskFolder::get_Name")) return E_UNEXPECTED;
        const std::size_t slash = path_.rfind(u'\\');
        return finish(hand_out_bstr(
            path_.empty() ? u"\\" : (slash == std::u16string::npos ? path_ : path_.substr(slash + 1)), pName));
    }
    HRESULT STDMETHODCALLTYPE get_Path(BSTR* pPath) override {
        if (!enter_method("ITaskFolder::get_Path")) return E_UNEXPECTED;
        return finish(hand_out_bstr(u'\\' + path_, pPath));
    }
    HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** ppFolder) override {
        if (!enter_method("ITaskFolder::GetFolder")) return E_UNEXPECTED;
        if (ppFolder == nullptr) return finish(E_POINTER);
        *ppFolder = nullptr;
        // Relative to this folder, also with a leading "\"; null is
        // E_INVALIDARG, "" this folder and "\" ERROR_INVALID_NAME
        // (scheduler.c test_GetFolder).
        std::u16string text = bstr_text(path, "ITaskFolder::GetFolder");
        if (path == nullptr) return finish(E_INVALIDARG);
        if (text.empty()) return finish(open_folder(path_, ppFolder));
        if (text == u"\\" || !is_valid_path(text)) return finish(invalid_name);
        if (text.front() == u'\\') text.erase(0, 1);
        return finish(open_folder(path_.empty() ? text : path_ + u'\\' + text, ppFolder));
    }
    HRESULT STDMETHODCALLTYPE GetFolders(LONG, ITaskFolderCollection** ppFolders) override {
        if (!enter_method("ITaskFolder::GetFolders")) return E_UNEXPECTED;
        if (ppFolders != nullptr) *ppFolders = nullptr;
        return finish(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE CreateFolder(BSTR, VARIANT, ITaskFolder** ppFolder) override {
        if (!enter_method("ITaskFolder::CreateFolder")) return E_UNEXPECTED;
        if (ppFolder != nullptr) *ppFolder = nullptr;
        return finish(E_NOTIMPL);
    }
    // Deletes the folder that `subFolderName` names, relative to this one,
    // when it holds nothing (scheduler.c test_GetFolder: S_OK, with or
    // without a leading "\"; ERROR_DIR_NOT_EMPTY for a folder that holds one;
    // ERROR_FILE_NOT_FOUND once it is gone; E_ACCESSDENIED for a null or empty
    // name; "/" is ERROR_INVALID_NAME, todo_wine).
    HRESULT STDMETHODCALLTYPE DeleteFolder(BSTR subFolderName, LONG) override {
        if (!enter_method("ITaskFolder::DeleteFolder")) return E_UNEXPECTED;
        const std::u16string text = bstr_text(subFolderName, "ITaskFolder::DeleteFolder");
        if (text.empty() || text == u"\\") return finish(E_ACCESSDENIED);
        if (!is_valid_path(text)) return finish(invalid_name);
        std::lock_guard lock(state_mutex());
        const auto folder = store().folders.find(resolve(path_, text));
        return finish(folder == store().folders.end() ? file_not_found : erase_if_empty(folder));
    }
    HRESULT STDMETHODCALLTYPE GetTask(BSTR path, IRegisteredTask** ppTask) override {
        if (!enter_method("ITaskFolder::GetTask")) return E_UNEXPECTED;
        const std::u16string text = bstr_text(path, "ITaskFolder::GetTask");
        if (ppTask != nullptr) *ppTask = nullptr;
        const std::optional<Outcome> outcome = enter_step(Step::GetTask);
        if (outcome && outcome->fails()) return finish_scripted(*outcome);
        if (ppTask == nullptr) return finish(E_POINTER);
        if (outcome && outcome->null_out) return finish(S_OK);
        // scheduler.c test_GetTask: GetTask(root, NULL) is E_INVALIDARG; so
        // is the root itself (MS-TSCH 3.2.5.4.3 SchRpcRetrieveTask).
        if (text.empty() || text == u"\\") return finish(E_INVALIDARG);
        if (!is_valid_path(text)) return finish(invalid_name);
        auto stored = find_task(resolve(path_, text));
        if (!stored) return finish(stored.error());
        *ppTask = new RegisteredTask(std::move(*stored));
        return finish(outcome ? outcome->hresult : S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetTasks(LONG, IRegisteredTaskCollection** ppTasks) override {
        if (!enter_method("ITaskFolder::GetTasks")) return E_UNEXPECTED;
        if (ppTasks != nullptr) *ppTasks = nullptr;
        return finish(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE DeleteTask(BSTR name, LONG flags) override {
        if (!enter_method("ITaskFolder::DeleteTask")) return E_UNEXPECTED;
        const std::u16string text = bstr_text(name, "ITaskFolder::DeleteTask");
        const std::optional<Outcome> outcome = enter_step(Step::DeleteTask);
        if (outcome && outcome->fails()) return finish_scripted(*outcome);
        // Flags are unused and must be 0 (MS-TSCH 3.2.5.4.14 SchRpcDelete;
        // rpcapi.c: flags 1 is E_INVALIDARG).
        if (flags != 0) return finish(E_INVALIDARG);
        if (!text.empty() && text != u"\\" && !is_valid_path(text)) return finish(invalid_name);
        // A null name is this folder itself (scheduler.c test_GetTask); "\"
        // is the root.
        const HRESULT hr = delete_path(text.empty() ? path_ : resolve(path_, text));
        return finish(FAILED(hr) || !outcome ? hr : outcome->hresult);
    }
    HRESULT STDMETHODCALLTYPE RegisterTask(BSTR path, BSTR xmlText, LONG flags, VARIANT, VARIANT,
                                           TASK_LOGON_TYPE logonType, VARIANT, IRegisteredTask** ppTask) override {
        if (!enter_method("ITaskFolder::RegisterTask")) return E_UNEXPECTED;
        const std::u16string name = bstr_text(path, "ITaskFolder::RegisterTask");
        const std::u16string xml = bstr_text(xmlText, "ITaskFolder::RegisterTask");
        if (ppTask != nullptr) *ppTask = nullptr;
        const std::optional<Outcome> outcome = enter_step(Step::RegisterTask);
        if (outcome && outcome->fails()) return finish_scripted(*outcome);
        if (outcome && outcome->null_out) return finish(S_OK);
        // The document travels as a [string, ref] pointer, which RPC refuses
        // to send null (scheduler.c test_GetTask: RPC_X_NULL_REF_POINTER;
        // MS-TSCH 3.2.5.4.2): nothing is parsed.
        if (xmlText == nullptr) return finish(null_ref_pointer);
        // A refused definition has left its error object on the thread.
        const HRESULT hr = register_task(name, xml, flags, logonType, ppTask);
        return finish(FAILED(hr) || !outcome ? hr : outcome->hresult);
    }
    HRESULT STDMETHODCALLTYPE RegisterTaskDefinition(BSTR, ITaskDefinition*, LONG, VARIANT, VARIANT, TASK_LOGON_TYPE,
                                                     VARIANT, IRegisteredTask** ppTask) override {
        if (!enter_method("ITaskFolder::RegisterTaskDefinition")) return E_UNEXPECTED;
        if (ppTask != nullptr) *ppTask = nullptr;
        return finish(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG, BSTR* pSddl) override {
        if (!enter_method("ITaskFolder::GetSecurityDescriptor")) return E_UNEXPECTED;
        if (pSddl != nullptr) *pSddl = nullptr;
        return finish(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR, LONG) override {
        if (!enter_method("ITaskFolder::SetSecurityDescriptor")) return E_UNEXPECTED;
        return finish(E_NOTIMPL);
    }

    // Opens the folder `path` of the root, with or without a leading "\";
    // "" and "\" are the root itself (scheduler.c test_GetFolder: null, ""
    // and "\" give the root, "/" and "." ERROR_INVALID_NAME (todo_wine), a
    // missing folder ERROR_PATH_NOT_FOUND).
    static HRESULT open_folder(std::u16string_view path, ITaskFolder** out) {
        std::u16string key;
        if (!path.empty() && path != u"\\") {
            if (!is_valid_path(path)) return invalid_name;
            key = resolve(u"", path);
            std::lock_guard lock(state_mutex());
            const auto found = store().folders.find(key);
            if (found == store().folders.end()) return path_not_found;
            key = *found;
        }
        *out = new TaskFolder(std::move(key));
        return S_OK;
    }

private:
    HRESULT register_task(std::u16string name, const std::u16string& xml, LONG flags, TASK_LOGON_TYPE logon_type,
                          IRegisteredTask** out) {
        if (logon_type < TASK_LOGON_NONE || logon_type > TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD) return E_INVALIDARG;
        const bool validate_only = (flags & TASK_VALIDATE_ONLY) != 0;
        const bool update = (flags & TASK_UPDATE) != 0;
        // No flags at all creates, as TASK_CREATE does (scheduler.c
        // test_GetTask: create_new_task and open_existing_task).
        const bool create = (flags & TASK_CREATE) != 0 || !update;
        if (auto error = check_task_definition(xml)) return refuse(*error);
        if (name.empty()) {
            // A null path registers the task in the root under a GUID that the
            // service makes up; in any other folder it is E_INVALIDARG
            // (scheduler.c test_GetTask).
            if (!path_.empty()) return E_INVALIDARG;
            name = new_guid_name();
        }
        if (!is_valid_path(name)) return invalid_name;
        const std::u16string key = resolve(path_, name);
        // Validation does not look at the store (scheduler.c test_GetTask:
        // TASK_VALIDATE_ONLY onto the name of a folder is S_OK).
        if (validate_only) return S_OK;
        const bool on_demand = starts_on_demand(xml);
        std::u16string stored;
        {
            std::lock_guard lock(state_mutex());
            Store& s = store();
            // A folder's name takes no task (scheduler.c test_GetTask:
            // ERROR_ACCESS_DENIED, todo_wine). An empty folder does not
            // outlive the refusal there: DeleteFolder of it next finds nothing
            // (ERROR_FILE_NOT_FOUND, todo_wine; S_OK on Windows 10 1507) and
            // CreateFolder makes it anew. That the refusal takes it is our
            // reading; what becomes of a folder that holds anything is not
            // recorded, and it stays (tests/platform/register.py).
            if (const auto folder = s.folders.find(key); folder != s.folders.end()) {
                (void)erase_if_empty(folder);
                return E_ACCESSDENIED;
            }
            // Nor does a task's name take a folder: not recorded, our choice
            // (the task store is a file system, where that name is taken).
            for (std::u16string folder = folder_of(key); !folder.empty(); folder = folder_of(folder))
                if (s.tasks.contains(folder)) return already_exists;
            const auto existing = s.tasks.find(key);
            if (existing != s.tasks.end() && !update) return already_exists;
            if (existing == s.tasks.end() && !create) return file_not_found;
            if (existing != s.tasks.end()) {
                // An update under another casing keeps the name as first registered.
                existing->second = StoredTask{xml, on_demand};
                stored = existing->first;
            } else {
                stored = with_stored_folder(key);
                // Registering into a folder that does not exist creates it
                // (rpcapi.c: SchRpcRegisterTask of L"Wine\\Folder1\\Task1"
                // after Folder1 was deleted, then SchRpcDelete of the folder).
                for (std::u16string folder = folder_of(stored); !folder.empty(); folder = folder_of(folder))
                    s.folders.insert(folder);
                s.tasks.emplace(stored, StoredTask{xml, on_demand});
            }
        }
        if (out != nullptr) *out = new RegisteredTask(std::move(stored));
        return S_OK;
    }

    // A refused definition leaves a plain error object. MS-TSCH 2.3.10
    // TASK_XML_ERROR_INFO gives the line, column, node and value; how the COM
    // layer words them is not recorded. The text is "(line,column):node:value",
    // and for a document that is not well-formed "(line,column)::ERROR: "
    // and the parser's message, as Windows' messages are quoted in reports.
    static HRESULT refuse(const DefinitionError& error) {
        const std::string where = "(" + std::to_string(error.line) + "," + std::to_string(error.column) + "):";
        std::u16string description(where.begin(), where.end());
        description += error.node;
        description += error.code == SCHED_E_MALFORMEDXML ? u":ERROR: " : u":";
        description += error.value;
        park_error(make_error_object(ErrorObject{ErrorObject::Kind::plain, std::move(description), 0, std::nullopt}));
        return error.code;
    }

    void* find_interface(REFIID riid) noexcept {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ITaskFolder)
            return static_cast<ITaskFolder*>(this);
        return nullptr;
    }

    std::u16string path_;
};

bool is_local_server(const VARIANT& server) {
    if (server.vt == VT_EMPTY || server.vt == VT_NULL) return true;
    if (server.vt != VT_BSTR) return false;
    return bstr_text(server.bstrVal, "ITaskService::Connect").empty();
}

class TaskService final : public ITaskService, public ObjectCore {
public:
    TaskService() : ObjectCore("ITaskService", true) {}

    WINSIM_IUNKNOWN_MEMBERS
    WINSIM_IDISPATCH_MEMBERS

    HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** ppFolder) override {
        if (!enter_method("ITaskService::GetFolder")) return E_UNEXPECTED;
        const std::u16string text = bstr_text(path, "ITaskService::GetFolder");
        if (ppFolder != nullptr) *ppFolder = nullptr;
        const std::optional<Outcome> outcome = enter_step(Step::GetFolder);
        if (outcome && outcome->fails()) return finish_scripted(*outcome);
        if (ppFolder == nullptr) return finish(E_POINTER);
        if (outcome && outcome->null_out) return finish(S_OK);
        if (!connected()) return finish(not_connected);
        const HRESULT hr = TaskFolder::open_folder(text, ppFolder);
        return finish(FAILED(hr) || !outcome ? hr : outcome->hresult);
    }
    HRESULT STDMETHODCALLTYPE GetRunningTasks(LONG, IRunningTaskCollection** ppRunningTasks) override {
        if (!enter_method("ITaskService::GetRunningTasks")) return E_UNEXPECTED;
        if (ppRunningTasks != nullptr) *ppRunningTasks = nullptr;
        return finish(connected() ? E_NOTIMPL : not_connected);
    }
    HRESULT STDMETHODCALLTYPE NewTask(DWORD, ITaskDefinition** ppDefinition) override {
        if (!enter_method("ITaskService::NewTask")) return E_UNEXPECTED;
        if (ppDefinition != nullptr) *ppDefinition = nullptr;
        return finish(connected() ? E_NOTIMPL : not_connected);
    }
    HRESULT STDMETHODCALLTYPE Connect(VARIANT serverName, VARIANT, VARIANT, VARIANT) override {
        if (!enter_method("ITaskService::Connect")) return E_UNEXPECTED;
        const std::optional<Outcome> outcome = enter_step(Step::Connect);
        if (outcome && outcome->fails()) return finish_scripted(*outcome);
        if (!is_local_server(serverName)) return finish(server_unavailable);
        connected_.store(true);
        return finish(outcome ? outcome->hresult : S_OK);
    }
    HRESULT STDMETHODCALLTYPE get_Connected(VARIANT_BOOL* pConnected) override {
        if (!enter_method("ITaskService::get_Connected")) return E_UNEXPECTED;
        if (pConnected == nullptr) return finish(E_POINTER);
        *pConnected = connected() ? -1 : 0;
        return finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE get_TargetServer(BSTR* pServer) override {
        if (!enter_method("ITaskService::get_TargetServer")) return E_UNEXPECTED;
        if (!connected()) {
            if (pServer != nullptr) *pServer = nullptr;
            return finish(not_connected);
        }
        return finish(hand_out_bstr(u"localhost", pServer));
    }
    HRESULT STDMETHODCALLTYPE get_ConnectedUser(BSTR* pUser) override {
        if (!enter_method("ITaskService::get_ConnectedUser")) return E_UNEXPECTED;
        if (!connected()) {
            if (pUser != nullptr) *pUser = nullptr;
            return finish(not_connected);
        }
        return finish(hand_out_bstr(u"user", pUser));
    }
    HRESULT STDMETHODCALLTYPE get_ConnectedDomain(BSTR* pDomain) override {
        if (!enter_method("ITaskService::get_ConnectedDomain")) return E_UNEXPECTED;
        if (!connected()) {
            if (pDomain != nullptr) *pDomain = nullptr;
            return finish(not_connected);
        }
        return finish(hand_out_bstr(u"WORKGROUP", pDomain));
    }
    HRESULT STDMETHODCALLTYPE get_HighestVersion(DWORD* pVersion) override {
        if (!enter_method("ITaskService::get_HighestVersion")) return E_UNEXPECTED;
        if (pVersion == nullptr) return finish(E_POINTER);
        if (!connected()) return finish(not_connected);
        *pVersion = 0x00010006;
        return finish(S_OK);
    }

private:
    bool connected() const noexcept { return connected_.load(); }

    void* find_interface(REFIID riid) noexcept {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ITaskService)
            return static_cast<ITaskService*>(this);
        return nullptr;
    }

    std::atomic<bool> connected_{false};
};

}  // namespace

HRESULT create_task_service(REFIID riid, void** ppv) {
    if (riid != IID_IUnknown && riid != IID_IDispatch && riid != IID_ITaskService) return E_NOINTERFACE;
    *ppv = static_cast<ITaskService*>(new TaskService);
    return S_OK;
}

void reset_scheduler() {
    std::lock_guard lock(state_mutex());
    Store& s = store();
    s.tasks.clear();
    s.folders.clear();
    s.runs.clear();
}

}  // namespace winsim::detail

std::map<std::u16string, std::u16string> winsim::tasks() {
    std::lock_guard lock(winsim::detail::state_mutex());
    std::map<std::u16string, std::u16string> xml;
    for (const auto& [name, task] : winsim::detail::store().tasks) xml.emplace(name, task.xml);
    return xml;
}

std::map<std::u16string, long> winsim::run_counts() {
    std::lock_guard lock(winsim::detail::state_mutex());
    const auto& runs = winsim::detail::store().runs;
    return {runs.begin(), runs.end()};
}
