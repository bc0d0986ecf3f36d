// The Task Scheduler's interfaces over the in-memory store: the results the
// real service gives, and the error objects it leaves.

#include "winsim_fixture.h"

namespace winsim_test {
namespace {

using Scheduler = Sim;

constexpr HRESULT file_not_found = WINSIM_HR(0x80070002);
constexpr HRESULT path_not_found = WINSIM_HR(0x80070003);
constexpr HRESULT already_exists = WINSIM_HR(0x800700B7);
constexpr HRESULT not_connected = WINSIM_HR(0x800704E3);
constexpr HRESULT invalid_name = WINSIM_HR(0x8007007B);
constexpr HRESULT dir_not_empty = WINSIM_HR(0x80070091);

HRESULT get_task(ITaskFolder* folder, const std::optional<std::u16string>& name, bool keep = false,
                 IRegisteredTask** out = nullptr) {
    std::optional<TestBstr> bstr;
    if (name) bstr.emplace(*name);
    IRegisteredTask* task = reinterpret_cast<IRegisteredTask*>(1);
    const HRESULT hr = folder->GetTask(bstr ? bstr->get() : nullptr, &task);
    if (FAILED(hr)) {
        EXPECT_EQ(task, nullptr);
    }
    if (keep && out != nullptr) {
        *out = task;
    } else if (SUCCEEDED(hr) && task != nullptr) {
        task->Release();
    }
    return hr;
}

HRESULT delete_task(ITaskFolder* folder, const std::optional<std::u16string>& name) {
    std::optional<TestBstr> bstr;
    if (name) bstr.emplace(*name);
    return folder->DeleteTask(bstr ? bstr->get() : nullptr, 0);
}

bool has_error_object() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK) return false;
    info->Release();
    return true;
}

TEST_F(Scheduler, SessionOpensAndClosesInOrder) {
    {
        Session session;
    }
    const std::vector<std::string> expected = {
        "CoInitializeEx",
        "CoCreateInstance",
        "ITaskService::Connect",
        "SysAllocStringLen(\\)",
        "ITaskService::GetFolder",
        "SysFreeString(\\)",
        "IUnknown::Release(ITaskFolder)",
        "IUnknown::Release(ITaskService)",
        "CoUninitialize",
    };
    EXPECT_EQ(winsim::calls(), expected);
}

TEST_F(Scheduler, ServiceNeedsConnect) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ITaskService* service = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                               reinterpret_cast<void**>(&service)),
              S_OK);
    TestBstr root(u"\\");
    ITaskFolder* folder = reinterpret_cast<ITaskFolder*>(1);
    EXPECT_EQ(service->GetFolder(root.get(), &folder), not_connected);
    EXPECT_EQ(folder, nullptr);
    VARIANT_BOOL connected = 1;
    EXPECT_EQ(service->get_Connected(&connected), S_OK);
    EXPECT_EQ(connected, 0);
    VARIANT empty{};
    EXPECT_EQ(service->Connect(empty, empty, empty, empty), S_OK);
    EXPECT_EQ(service->get_Connected(&connected), S_OK);
    EXPECT_EQ(connected, -1);
    service->Release();
    CoUninitialize();
}

TEST_F(Scheduler, ConnectToAnotherMachineFails) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ITaskService* service = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                               reinterpret_cast<void**>(&service)),
              S_OK);
    TestBstr server(u"elsewhere");
    VARIANT remote{};
    remote.vt = VT_BSTR;
    remote.bstrVal = server.get();
    VARIANT empty{};
    EXPECT_EQ(service->Connect(remote, empty, empty, empty), WINSIM_HR(0x800706BA));
    service->Release();
    CoUninitialize();
}

struct FolderCase {
    const char* name;
    std::optional<std::u16string> path;
    HRESULT expected;
};

class FolderPaths : public Sim, public ::testing::WithParamInterface<FolderCase> {};

TEST_P(FolderPaths, GiveTheServiceResult) {
    Session session;
    std::optional<TestBstr> path;
    if (GetParam().path) path.emplace(*GetParam().path);
    ITaskFolder* folder = reinterpret_cast<ITaskFolder*>(1);
    EXPECT_EQ(session.service()->GetFolder(path ? path->get() : nullptr, &folder), GetParam().expected);
    if (SUCCEEDED(GetParam().expected)) {
        ASSERT_NE(folder, nullptr);
        BSTR folder_path = nullptr;
        EXPECT_EQ(folder->get_Path(&folder_path), S_OK);
        EXPECT_EQ(text_of(folder_path), u"\\");
        SysFreeString(folder_path);
        folder->Release();
    } else {
        EXPECT_EQ(folder, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, FolderPaths,
                         ::testing::Values(FolderCase{"Root", u"\\", S_OK}, FolderCase{"Null", std::nullopt, S_OK},
                                           FolderCase{"Empty", u"", S_OK},
                                           FolderCase{"Missing", u"\\Missing", path_not_found},
                                           FolderCase{"MissingRelative", u"Missing", path_not_found},
                                           FolderCase{"Slash", u"/", invalid_name},
                                           FolderCase{"Dot", u".", invalid_name}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Scheduler, RegisterGetRunDelete) {
    Session session;
    IRegisteredTask* task = nullptr;
    ASSERT_EQ(session.register_task(u"Nightly", sample_xml, TASK_CREATE_OR_UPDATE, &task), S_OK);
    ASSERT_NE(task, nullptr);
    task->Release();
    EXPECT_EQ(winsim::tasks(), (std::map<std::u16string, std::u16string>{{u"Nightly", std::u16string(sample_xml)}}));

    ASSERT_EQ(get_task(session.folder(), u"Nightly", true, &task), S_OK);
    VARIANT empty{};
    IRunningTask* running = reinterpret_cast<IRunningTask*>(1);
    EXPECT_EQ(task->RunEx(empty, TASK_RUN_NO_FLAGS, 0, nullptr, &running), S_OK);
    ASSERT_NE(running, nullptr);
    running->Release();
    EXPECT_EQ(task->RunEx(empty, TASK_RUN_NO_FLAGS, 0, nullptr, &running), S_OK);
    running->Release();
    task->Release();
    EXPECT_EQ(winsim::run_counts(), (std::map<std::u16string, long>{{u"Nightly", 2}}));

    EXPECT_EQ(delete_task(session.folder(), u"Nightly"), S_OK);
    EXPECT_TRUE(winsim::tasks().empty());
    EXPECT_EQ(get_task(session.folder(), u"Nightly"), file_not_found);
    EXPECT_EQ(winsim::run_counts(), (std::map<std::u16string, long>{{u"Nightly", 2}})) << "runs outlive the task";
}

TEST_F(Scheduler, LeadingBackslashNamesTheSameTask) {
    Session session;
    ASSERT_EQ(session.register_task(u"\\Task", sample_xml), S_OK);
    EXPECT_EQ(get_task(session.folder(), u"Task"), S_OK);
    EXPECT_EQ(get_task(session.folder(), u"\\Task"), S_OK);
    EXPECT_EQ(winsim::tasks().count(u"Task"), 1u);
}

struct LookupCase {
    const char* name;
    std::optional<std::u16string> path;
    HRESULT get;
    HRESULT del;
};

class Lookups : public Sim, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(Lookups, GiveTheServiceResult) {
    Session session;
    ASSERT_EQ(session.register_task(u"Present", sample_xml), S_OK);
    ASSERT_EQ(session.register_task(u"Sub\\Inner", sample_xml), S_OK);
    EXPECT_EQ(get_task(session.folder(), GetParam().path), GetParam().get);
    EXPECT_FALSE(has_error_object());
    EXPECT_EQ(delete_task(session.folder(), GetParam().path), GetParam().del);
    EXPECT_FALSE(has_error_object());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Lookups,
    ::testing::Values(LookupCase{"Present", u"Present", S_OK, S_OK},
                      LookupCase{"Missing", u"Absent", file_not_found, file_not_found},
                      LookupCase{"CaseDiffers", u"pRESENT", S_OK, S_OK},
                      LookupCase{"FolderCaseDiffers", u"SUB\\inner", S_OK, S_OK},
                      LookupCase{"NulInside", std::u16string(u"Pres\0ent", 8), file_not_found, file_not_found},
                      LookupCase{"MissingFolder", u"NoFolder\\Task", path_not_found, path_not_found},
                      LookupCase{"InvalidCharacter", u"Pre*ent", invalid_name, invalid_name},
                      LookupCase{"InvalidInMissingFolder", u"No|Folder\\Task", invalid_name, invalid_name},
                      LookupCase{"ControlCharacter", u"Present\x1F", invalid_name, invalid_name},
                      LookupCase{"InSubfolder", u"Sub\\Inner", S_OK, S_OK},
                      LookupCase{"MissingInSubfolder", u"Sub\\Other", file_not_found, file_not_found},
                      LookupCase{"Folder", u"Sub", path_not_found, dir_not_empty},
                      LookupCase{"Root", u"\\", E_INVALIDARG, E_ACCESSDENIED},
                      LookupCase{"Colon", u"Pre:sent", invalid_name, invalid_name},
                      LookupCase{"Null", std::nullopt, E_INVALIDARG, E_ACCESSDENIED},
                      LookupCase{"Empty", u"", E_INVALIDARG, E_ACCESSDENIED}),
    [](const auto& info) { return std::string(info.param.name); });

struct RegisterCase {
    const char* name;
    bool exists;
    LONG flags;
    HRESULT expected;
    bool stored_after;
};

class Registration : public Sim, public ::testing::WithParamInterface<RegisterCase> {};

TEST_P(Registration, HonoursCreateAndUpdate) {
    Session session;
    const std::u16string updated = std::u16string(sample_xml) + u"<!-- updated -->";
    if (GetParam().exists) {
        ASSERT_EQ(session.register_task(u"T", sample_xml, TASK_CREATE), S_OK);
    }
    IRegisteredTask* task = reinterpret_cast<IRegisteredTask*>(1);
    EXPECT_EQ(session.register_task(u"T", updated, GetParam().flags, &task), GetParam().expected);
    if (SUCCEEDED(GetParam().expected) && (GetParam().flags & TASK_VALIDATE_ONLY) == 0) {
        ASSERT_NE(task, nullptr);
        task->Release();
    } else {
        EXPECT_EQ(task, nullptr);
    }
    const auto tasks = winsim::tasks();
    if (GetParam().stored_after) {
        ASSERT_EQ(tasks.count(u"T"), 1u);
        EXPECT_EQ(tasks.at(u"T"), SUCCEEDED(GetParam().expected) && GetParam().flags != TASK_VALIDATE_ONLY
                                      ? updated
                                      : std::u16string(sample_xml));
    } else {
        EXPECT_EQ(tasks.count(u"T"), 0u);
    }
    EXPECT_FALSE(has_error_object());
}

INSTANTIATE_TEST_SUITE_P(Flags, Registration,
                         ::testing::Values(RegisterCase{"CreateNew", false, TASK_CREATE, S_OK, true},
                                           RegisterCase{"CreateExisting", true, TASK_CREATE, already_exists, true},
                                           RegisterCase{"UpdateExisting", true, TASK_UPDATE, S_OK, true},
                                           RegisterCase{"UpdateMissing", false, TASK_UPDATE, file_not_found, false},
                                           RegisterCase{"CreateOrUpdateNew", false, TASK_CREATE_OR_UPDATE, S_OK, true},
                                           RegisterCase{"CreateOrUpdateExisting", true, TASK_CREATE_OR_UPDATE, S_OK,
                                                        true},
                                           RegisterCase{"ValidateOnly", false, TASK_VALIDATE_ONLY, S_OK, false},
                                           RegisterCase{"NoFlags", false, 0, S_OK, true},
                                           RegisterCase{"NoFlagsExisting", true, 0, already_exists, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Scheduler, RegistrationThroughASubfolderCreatesIt) {
    Session session;
    ASSERT_EQ(session.register_task(u"Outer\\Inner\\Task", sample_xml), S_OK);
    TestBstr path(u"\\Outer\\Inner");
    ITaskFolder* folder = nullptr;
    ASSERT_EQ(session.service()->GetFolder(path.get(), &folder), S_OK);
    BSTR folder_path = nullptr;
    EXPECT_EQ(folder->get_Path(&folder_path), S_OK);
    EXPECT_EQ(text_of(folder_path), u"\\Outer\\Inner");
    SysFreeString(folder_path);
    EXPECT_EQ(get_task(folder, u"Task"), S_OK);
    folder->Release();
    EXPECT_EQ(winsim::tasks().count(u"Outer\\Inner\\Task"), 1u);
}

class BadNames : public Sim, public ::testing::WithParamInterface<std::u16string_view> {};

TEST_P(BadNames, AreRefusedAsInvalid) {
    Session session;
    EXPECT_EQ(session.register_task(GetParam(), sample_xml), WINSIM_HR(0x8007007B));
    EXPECT_TRUE(winsim::tasks().empty());
}

INSTANTIATE_TEST_SUITE_P(EmptySegments, BadNames, ::testing::Values(u"\\", u"Folder\\", u"a\\\\b", u"\\\\a"));
INSTANTIATE_TEST_SUITE_P(Characters, BadNames,
                         ::testing::Values(u"a*b", u"a?b", u"a\"b", u"a<b", u"a>b", u"a|b", u"\x01", u"a\tb",
                                           u"line\r\n", u"a\x1F", u"In<Folder\\Task"));
INSTANTIATE_TEST_SUITE_P(PathRules, BadNames,
                         ::testing::Values(u"a:b", u"a/b", u" a", u"a ", u".", u"..", u"Folder\\..\\Task",
                                           u"Folder\\ a"));

// A run on demand of a task whose settings forbid it succeeds and runs nothing.
class DemandStart : public Sim, public ::testing::WithParamInterface<std::pair<std::u16string_view, long>> {};

TEST_P(DemandStart, RunsOnlyWhatTheSettingsAllow) {
    Session session;
    const std::u16string xml = u"<Task xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\"><Settings>" +
                               std::u16string(GetParam().first) +
                               u"</Settings><Actions><Exec><Command>a</Command></Exec></Actions></Task>";
    IRegisteredTask* task = nullptr;
    ASSERT_EQ(session.register_task(u"T", xml, TASK_CREATE, &task), S_OK);
    VARIANT empty{};
    IRunningTask* running = nullptr;
    EXPECT_EQ(task->RunEx(empty, TASK_RUN_NO_FLAGS, 0, nullptr, &running), S_OK);
    ASSERT_NE(running, nullptr);
    running->Release();
    task->Release();
    EXPECT_EQ(winsim::run_counts()[u"T"], GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Settings, DemandStart,
                         ::testing::Values(std::pair{u"<Enabled>false</Enabled>", 0L},
                                           std::pair{u"<AllowStartOnDemand> 0 </AllowStartOnDemand>", 0L},
                                           std::pair{u"<Enabled>true</Enabled><Hidden>false</Hidden>", 1L}));

// What a folder is to the calls that take a task's path, and what a null
// argument is to them.
TEST_F(Scheduler, FoldersAndNullArguments) {
    Session session;
    ASSERT_EQ(session.register_task(u"Sub\\T", sample_xml), S_OK);
    EXPECT_EQ(session.register_task(u"Sub", sample_xml), E_ACCESSDENIED);
    EXPECT_EQ(session.register_task(u"Sub", sample_xml, TASK_VALIDATE_ONLY), S_OK);
    EXPECT_EQ(session.register_task(u"Sub\\T\\Inner", sample_xml), already_exists);
    EXPECT_EQ(session.folder()->DeleteTask(nullptr, 1), E_INVALIDARG);

    TestBstr relative(u"\\T");
    ITaskFolder* sub = nullptr;
    TestBstr sub_path(u"Sub");
    ASSERT_EQ(session.service()->GetFolder(sub_path.get(), &sub), S_OK);
    ITaskFolder* none = reinterpret_cast<ITaskFolder*>(1);
    EXPECT_EQ(sub->GetFolder(nullptr, &none), E_INVALIDARG);
    EXPECT_EQ(sub->GetFolder(relative.get(), &none), path_not_found) << "relative to the folder";
    TestBstr xml(sample_xml);
    VARIANT empty{};
    EXPECT_EQ(sub->RegisterTask(nullptr, xml.get(), TASK_CREATE, empty, empty, TASK_LOGON_NONE, empty, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(sub->RegisterTask(relative.get(), nullptr, TASK_CREATE, empty, empty, TASK_LOGON_NONE, empty, nullptr),
              WINSIM_HR(0x800706F4));
    EXPECT_FALSE(has_error_object());
    EXPECT_EQ(sub->DeleteTask(nullptr, 0), dir_not_empty);
    EXPECT_EQ(delete_task(sub, u"T"), S_OK);
    EXPECT_EQ(sub->DeleteTask(nullptr, 0), S_OK) << "the empty folder itself";
    sub->Release();
    EXPECT_EQ(session.service()->GetFolder(sub_path.get(), &none), path_not_found);
    EXPECT_EQ(none, nullptr);
}

// scheduler.c test_GetFolder: only an empty folder goes.
TEST_F(Scheduler, DeleteFolderTakesOnlyAnEmptyFolder) {
    Session session;
    ASSERT_EQ(session.register_task(u"Outer\\Inner\\T", sample_xml), S_OK);
    const auto delete_folder = [&](std::u16string_view name) {
        TestBstr bstr(name);
        return session.folder()->DeleteFolder(bstr.get(), 0);
    };
    EXPECT_EQ(session.folder()->DeleteFolder(nullptr, 0), E_ACCESSDENIED);
    EXPECT_EQ(delete_folder(u"/"), invalid_name);
    EXPECT_EQ(delete_folder(u"Outer"), dir_not_empty);
    EXPECT_EQ(delete_folder(u"Outer\\Inner"), dir_not_empty);
    EXPECT_EQ(delete_task(session.folder(), u"Outer\\Inner\\T"), S_OK);
    EXPECT_EQ(delete_folder(u"\\Outer\\Inner"), S_OK);
    // test_GetTask: refused on the empty folder's name, which is gone after.
    EXPECT_EQ(session.register_task(u"Outer", sample_xml), E_ACCESSDENIED);
    EXPECT_EQ(delete_folder(u"Outer"), file_not_found);
}

// Every control character but NUL is refused, by every call that takes a
// name; the characters around that range are names like any other.
TEST_F(Scheduler, ControlCharactersAreRefusedEverywhere) {
    Session session;
    for (char16_t unit = 0x01; unit <= 0x1F; ++unit) {
        const std::u16string name = u"Task" + std::u16string(1, unit);
        EXPECT_EQ(session.register_task(name, sample_xml), invalid_name) << int{unit};
        EXPECT_EQ(get_task(session.folder(), name), invalid_name) << int{unit};
        EXPECT_EQ(delete_task(session.folder(), name), invalid_name) << int{unit};
    }
    EXPECT_TRUE(winsim::tasks().empty());
    EXPECT_FALSE(has_error_object());
    for (const std::u16string& name : {std::u16string(u"Task\0", 5), std::u16string(u"Task\x7F"),
                                       std::u16string(u"Task\x80"), std::u16string(u"Task\x20\x20\x21")}) {
        EXPECT_EQ(session.register_task(name, sample_xml), S_OK);
        EXPECT_EQ(get_task(session.folder(), name), S_OK);
    }
    EXPECT_EQ(winsim::tasks().size(), 4u);
}

TEST_F(Scheduler, InvalidNameIsCheckedAfterTheDocument) {
    Session session;
    EXPECT_EQ(session.register_task(u"a*b", u"<Task"), SCHED_E_MALFORMEDXML);
    EXPECT_TRUE(has_error_object());
    EXPECT_EQ(session.register_task(u"a*b", sample_xml, TASK_VALIDATE_ONLY), invalid_name);
    EXPECT_FALSE(has_error_object());
}

// Two spellings of a name, and whether the store takes them for one task.
struct Spellings {
    const char* name;
    std::u16string_view first;
    std::u16string_view second;
    bool same;
};

class NameCase : public Sim, public ::testing::WithParamInterface<Spellings> {};

TEST_P(NameCase, FoldsEachUnitToUpperCase) {
    Session session;
    const std::u16string first(GetParam().first);
    const std::u16string second(GetParam().second);
    ASSERT_EQ(session.register_task(first, sample_xml, TASK_CREATE), S_OK);
    EXPECT_EQ(get_task(session.folder(), second), GetParam().same ? S_OK : file_not_found);
    const std::u16string second_xml = std::u16string(sample_xml) + u"<!-- second -->";
    EXPECT_EQ(session.register_task(second, second_xml, TASK_CREATE), GetParam().same ? already_exists : S_OK);
    std::map<std::u16string, std::u16string> expected{{first, std::u16string(sample_xml)}};
    if (!GetParam().same) expected.emplace(second, second_xml);
    EXPECT_EQ(winsim::tasks(), expected);
}

INSTANTIATE_TEST_SUITE_P(Spellings, NameCase,
                         ::testing::Values(Spellings{"Ascii", u"Nightly Backup", u"nIGHTLY bACKUP", true},
                                           Spellings{"LatinOne", u"Caf\u00C9 \u00FE", u"caf\u00E9 \u00DE", true},
                                           Spellings{"YDiaeresis", u"\u00FF", u"\u0178", true},
                                           Spellings{"Greek", u"\u03A3\u03C3\u03C2", u"\u03C3\u03C3\u03A3", true},
                                           Spellings{"Cyrillic", u"\u0416\u0436", u"\u0436\u0416", true},
                                           Spellings{"Fullwidth", u"\uFF21", u"\uFF41", true},
                                           Spellings{"SharpSHasNoSimpleUpperCase", u"\u00DF", u"\u1E9E", false},
                                           Spellings{"NotAsciiNeighbours", u"@[`{", u"`{@[", false},
                                           Spellings{"SurrogatesExactly", u"\U00010428", u"\U00010400", false},
                                           Spellings{"NulKept", std::u16string_view(u"a\0b", 3),
                                                     std::u16string_view(u"A\0B", 3), true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Scheduler, TaskKeepsTheCasingFirstRegistered) {
    Session session;
    ASSERT_EQ(session.register_task(u"Sub\\Nightly", sample_xml), S_OK);
    IRegisteredTask* task = nullptr;
    const std::u16string updated = std::u16string(sample_xml) + u"<!-- updated -->";
    ASSERT_EQ(session.register_task(u"SUB\\NIGHTLY", updated, TASK_UPDATE, &task), S_OK);
    ASSERT_NE(task, nullptr);
    BSTR path = nullptr;
    EXPECT_EQ(task->get_Path(&path), S_OK);
    EXPECT_EQ(text_of(path), u"\\Sub\\Nightly");
    SysFreeString(path);
    task->Release();
    EXPECT_EQ(session.register_task(u"sub\\Weekly", sample_xml), S_OK) << "into the folder as first spelt";
    EXPECT_EQ(winsim::tasks(), (std::map<std::u16string, std::u16string>{
                                   {u"Sub\\Nightly", updated}, {u"Sub\\Weekly", std::u16string(sample_xml)}}));

    ASSERT_EQ(get_task(session.folder(), u"sub\\nightly", true, &task), S_OK);
    BSTR name = nullptr;
    EXPECT_EQ(task->get_Name(&name), S_OK);
    EXPECT_EQ(text_of(name), u"Nightly");
    SysFreeString(name);
    VARIANT empty{};
    IRunningTask* running = nullptr;
    ASSERT_EQ(task->RunEx(empty, TASK_RUN_NO_FLAGS, 0, nullptr, &running), S_OK);
    running->Release();
    task->Release();
    EXPECT_EQ(winsim::run_counts(), (std::map<std::u16string, long>{{u"Sub\\Nightly", 1}}));

    TestBstr folder_path(u"\\SUB");
    ITaskFolder* folder = nullptr;
    ASSERT_EQ(session.service()->GetFolder(folder_path.get(), &folder), S_OK);
    EXPECT_EQ(folder->get_Path(&path), S_OK);
    EXPECT_EQ(text_of(path), u"\\Sub");
    SysFreeString(path);
    EXPECT_EQ(delete_task(folder, u"WEEKLY"), S_OK);
    folder->Release();
    EXPECT_EQ(delete_task(session.folder(), u"sUB\\nIGHTLY"), S_OK);
    EXPECT_TRUE(winsim::tasks().empty());
}

TEST_F(Scheduler, LogonTypeOutOfRangeIsRefused) {
    Session session;
    TestBstr name(u"T");
    TestBstr xml(sample_xml);
    VARIANT empty{};
    EXPECT_EQ(session.folder()->RegisterTask(name.get(), xml.get(), TASK_CREATE, empty, empty,
                                             static_cast<TASK_LOGON_TYPE>(7), empty, nullptr),
              E_INVALIDARG);
    EXPECT_TRUE(winsim::tasks().empty());
}

TEST_F(Scheduler, NullNameRegistersUnderANewGuid) {
    Session session;
    ASSERT_EQ(session.register_task(u"", sample_xml), S_OK);
    ASSERT_EQ(session.register_task(u"", sample_xml), S_OK);
    const auto tasks = winsim::tasks();
    ASSERT_EQ(tasks.size(), 2u);
    for (const auto& [name, xml] : tasks) {
        ASSERT_EQ(name.size(), 38u);
        EXPECT_EQ(name[0], u'{');
        EXPECT_EQ(name[37], u'}');
        for (std::size_t i : {9u, 14u, 19u, 24u}) EXPECT_EQ(name[i], u'-');
        for (std::size_t i = 1; i < 37; ++i) {
            if (i == 9 || i == 14 || i == 19 || i == 24) continue;
            const char16_t c = name[i];
            EXPECT_TRUE((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F')) << "at " << i;
        }
    }
}

TEST_F(Scheduler, NamesAndXmlAreKeptExactly) {
    Session session;
    const std::u16string name(u"n\0ul \xD83D\xDE00 \xDC00", 9);
    const std::u16string xml =
        std::u16string(sample_xml)
            .insert(sample_xml.find(u"</Task>"), std::u16string(u"<Data><d a='\0'>\xD83D\xDE00\xD800</d></Data>", 29));
    ASSERT_EQ(session.register_task(name, xml), S_OK);
    EXPECT_EQ(winsim::tasks(), (std::map<std::u16string, std::u16string>{{name, xml}}));
    EXPECT_EQ(get_task(session.folder(), name), S_OK);
    EXPECT_EQ(get_task(session.folder(), name.substr(0, 1)), file_not_found) << "no cut at the NUL";
}

TEST_F(Scheduler, MalformedXmlLeavesADescribedErrorObject) {
    Session session;
    EXPECT_EQ(session.register_task(u"Bad", u"<Task>\n  <Actions>\n</Task>"), SCHED_E_MALFORMEDXML);
    EXPECT_TRUE(winsim::tasks().empty());
    IErrorInfo* info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    void* restricted = nullptr;
    EXPECT_EQ(info->QueryInterface(IID_IRestrictedErrorInfo, &restricted), E_NOINTERFACE);
    BSTR description = nullptr;
    ASSERT_EQ(info->GetDescription(&description), S_OK);
    EXPECT_EQ(text_of(description), u"(3,1)::ERROR: end tag does not match the start tag");
    SysFreeString(description);
    info->Release();
}

// A failing call that brings back no error object leaves the one an earlier
// call left on the thread, as Wine's Task Scheduler does.
TEST_F(Scheduler, AFailureWithoutAnErrorObjectLeavesTheThreadsAlone) {
    Session session;
    EXPECT_EQ(session.register_task(u"Bad", u"not xml"), SCHED_E_MALFORMEDXML);
    EXPECT_EQ(get_task(session.folder(), u"Absent"), file_not_found);
    EXPECT_TRUE(has_error_object()) << "the malformed definition's error object is gone";
}

TEST_F(Scheduler, RunOfADeletedTaskFails) {
    Session session;
    ASSERT_EQ(session.register_task(u"Gone", sample_xml), S_OK);
    IRegisteredTask* task = nullptr;
    ASSERT_EQ(get_task(session.folder(), u"Gone", true, &task), S_OK);
    ASSERT_EQ(delete_task(session.folder(), u"Gone"), S_OK);
    IRunningTask* running = reinterpret_cast<IRunningTask*>(1);
    VARIANT empty{};
    EXPECT_EQ(task->RunEx(empty, 0, 0, nullptr, &running), file_not_found);
    EXPECT_EQ(running, nullptr);
    task->Release();
    EXPECT_TRUE(winsim::run_counts().empty());
}

TEST_F(Scheduler, WorksInASingleThreadedApartment) {
    winsim::set_apartment(winsim::Apartment::sta);
    {
        Session session;  // its CoInitializeEx gets RPC_E_CHANGED_MODE and is not balanced
        ASSERT_NE(session.folder(), nullptr);
        EXPECT_EQ(session.register_task(u"Sta", sample_xml), S_OK);
    }
    EXPECT_EQ(winsim::init_depth(), 1);
    winsim::set_apartment(winsim::Apartment::none);
}

TEST_F(Scheduler, CallOutsideAnApartmentIsReported) {
    Session session;
    winsim::set_apartment(winsim::Apartment::none);
    EXPECT_EQ(get_task(session.folder(), u"Absent"), file_not_found);
    winsim::set_apartment(winsim::Apartment::mta);
    EXPECT_EQ(winsim::violations(),
              std::vector<std::string>{"ITaskFolder::GetTask on a thread without a COM apartment"});
    winsim::reset();
}

TEST_F(Scheduler, PassingANonBstrIsReported) {
    Session session;
    char16_t plain_text[] = u"Absent";
    IRegisteredTask* task = nullptr;
    EXPECT_EQ(session.folder()->GetTask(plain_text, &task), file_not_found);
    EXPECT_EQ(winsim::violations(),
              std::vector<std::string>{"ITaskFolder::GetTask was passed a pointer that is not a BSTR"});
    winsim::reset();
}

}  // namespace
}  // namespace winsim_test
