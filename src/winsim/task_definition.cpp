// The Task Scheduler Schema as tables, and the check of a task definition
// against them.
//
// The tables follow the schema published on Microsoft Learn ("Task Scheduler
// Schema" and the pages of its elements and types). Beside each refusal is the
// record of Windows giving that code: Wine's conformance test
// dlls/taskschd/tests/scheduler.c runs on Windows, and a todo_wine case in it
// is Windows' answer that Wine does not give. The schema says what is valid
// but not which code RegisterTask returns; where no test shows the code for
// the case at hand, it is the one whose description in "Task Scheduler Error
// and Success Constants" fits, marked "not recorded: our choice".
//
// The document is read once, by the well-formedness check, which passes its
// elements here. A refusal is kept and everything after it ignored, but the
// reading goes on: a document that is not well-formed is refused as such
// whatever it holds before the error.

#include "task_definition.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <limits>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "xml_check.h"
#include "xsd_values.h"

namespace winsim::detail {
namespace {

constexpr std::u16string_view task_namespace = u"http://schemas.microsoft.com/windows/2004/02/mit/task";
constexpr std::u16string_view xml_namespace = u"http://www.w3.org/XML/1998/namespace";

// Durations are compared in 100-nanosecond units.
constexpr std::int64_t minute = 60 * 10'000'000LL;
constexpr std::int64_t day = 1440 * minute;

// How the text of a simple value is read.
enum class Lexical : std::uint8_t {
    string,     // xs:string: any text
    length,     // xs:string of `low` to `high` characters
    boolean,    // xs:boolean
    integer,    // xs:integer from `low` to `high`
    duration,   // xs:duration from `low` to `high`
    date_time,  // xs:dateTime
    ordinal,    // a number from `low` to `high`, without sign or leading zero, or "Last"
    choice,     // one of `choices`, case and all
    guid,       // guidType: a GUID in braces
    empty,      // no text
};

struct SimpleType {
    Lexical lexical;
    std::int64_t low = 0;
    std::int64_t high = std::numeric_limits<std::int64_t>::max();
    std::span<const std::u16string_view> choices = {};
};

// Task Scheduler Schema, simple types.
constexpr std::u16string_view instances_policies[] = {u"Parallel", u"Queue", u"IgnoreNew", u"StopExisting"};
constexpr std::u16string_view logon_types[] = {u"S4U", u"Password", u"InteractiveToken", u"InteractiveTokenOrPassword"};
constexpr std::u16string_view run_levels[] = {u"LeastPrivilege", u"HighestAvailable"};
constexpr std::u16string_view sid_types[] = {u"None", u"Unrestricted"};
constexpr std::u16string_view state_changes[] = {u"ConsoleConnect",   u"ConsoleDisconnect", u"RemoteConnect",
                                                 u"RemoteDisconnect", u"SessionLock",       u"SessionUnlock"};
constexpr std::u16string_view privileges[] = {u"SeCreateTokenPrivilege",
                                              u"SeAssignPrimaryTokenPrivilege",
                                              u"SeLockMemoryPrivilege",
                                              u"SeIncreaseQuotaPrivilege",
                                              u"SeUnsolicitedInputPrivilege",
                                              u"SeMachineAccountPrivilege",
                                              u"SeTcbPrivilege",
                                              u"SeSecurityPrivilege",
                                              u"SeTakeOwnershipPrivilege",
                                              u"SeLoadDriverPrivilege",
                                              u"SeSystemProfilePrivilege",
                                              u"SeSystemtimePrivilege",
                                              u"SeProfileSingleProcessPrivilege",
                                              u"SeIncreaseBasePriorityPrivilege",
                                              u"SeCreatePagefilePrivilege",
                                              u"SeCreatePermanentPrivilege",
                                              u"SeBackupPrivilege",
                                              u"SeRestorePrivilege",
                                              u"SeShutdownPrivilege",
                                              u"SeDebugPrivilege",
                                              u"SeAuditPrivilege",
                                              u"SeSystemEnvironmentPrivilege",
                                              u"SeChangeNotifyPrivilege",
                                              u"SeRemoteShutdownPrivilege",
                                              u"SeUndockPrivilege",
                                              u"SeSyncAgentPrivilege",
                                              u"SeEnableDelegationPrivilege",
                                              u"SeManageVolumePrivilege",
                                              u"SeImpersonatePrivilege",
                                              u"SeCreateGlobalPrivilege",
                                              u"SeTrustedCredManAccessPrivilege",
                                              u"SeRelabelPrivilege",
                                              u"SeIncreaseWorkingSetPrivilege",
                                              u"SeTimeZonePrivilege",
                                              u"SeCreateSymbolicLinkPrivilege"};

constexpr SimpleType text{Lexical::string};
constexpr SimpleType non_empty{Lexical::length, 1};      // nonEmptyString
constexpr SimpleType path{Lexical::length, 1, 260};      // pathType
constexpr SimpleType boolean{Lexical::boolean};
constexpr SimpleType date_time{Lexical::date_time};
constexpr SimpleType duration{Lexical::duration};
constexpr SimpleType minute_or_more{Lexical::duration, minute};             // minInclusive PT1M
constexpr SimpleType repeat_interval{Lexical::duration, minute, 31 * day};  // PT1M to P31D
constexpr SimpleType day_or_more{Lexical::duration, day};                   // minInclusive P1D
constexpr SimpleType priority{Lexical::integer, 0, 10};                     // priorityType
constexpr SimpleType days_interval{Lexical::integer, 1, 365};
constexpr SimpleType weeks_interval{Lexical::integer, 1, 52};
constexpr SimpleType occurrences{Lexical::integer, 1, 32};
constexpr SimpleType restart_count{Lexical::integer, 1, 255};  // xs:unsignedByte, minInclusive 1
constexpr SimpleType day_of_month{Lexical::ordinal, 1, 31};    // dayOfMonthType
constexpr SimpleType week{Lexical::ordinal, 1, 4};             // weekType
constexpr SimpleType instances_policy{Lexical::choice, 0, 0, instances_policies};
constexpr SimpleType logon_type{Lexical::choice, 0, 0, logon_types};
constexpr SimpleType run_level{Lexical::choice, 0, 0, run_levels};
constexpr SimpleType sid_type{Lexical::choice, 0, 0, sid_types};
constexpr SimpleType state_change{Lexical::choice, 0, 0, state_changes};
constexpr SimpleType privilege{Lexical::choice, 0, 0, privileges};
constexpr SimpleType guid{Lexical::guid};
constexpr SimpleType nothing{Lexical::empty};  // the days and months: fixed=""

enum class AttributeKind : std::uint8_t { version, id, principal_id, context, name };

struct AttributeRule {
    std::u16string_view name;
    AttributeKind kind;
    bool required = false;
};

struct ElementType;

// A child element a type allows.
struct Child {
    std::u16string_view name;
    const ElementType* element = nullptr;  // for children with elements or attributes
    const SimpleType* value = nullptr;     // for children with a plain value
    std::uint16_t min = 0;
    std::uint16_t max = 1;
    bool in_choice = false;  // counts towards the type's choice
    std::uint8_t since = 2;  // the lowest task version, 1.`since`, that has it

    constexpr Child required() const {
        Child c = *this;
        c.min = 1;
        return c;
    }
    constexpr Child up_to(std::uint16_t count) const {
        Child c = *this;
        c.max = count;
        return c;
    }
    constexpr Child chosen_up_to(std::uint16_t count) const {
        Child c = up_to(count);
        c.in_choice = true;
        return c;
    }
    constexpr Child needs_version(std::uint8_t minor) const {
        Child c = *this;
        c.since = minor;
        return c;
    }
};

constexpr Child leaf(std::u16string_view name, const SimpleType& type) { return Child{name, nullptr, &type}; }
constexpr Child node(std::u16string_view name, const ElementType& type) { return Child{name, &type, nullptr}; }

// How many of a type's children in a choice it must and may have.
struct Choice {
    std::uint16_t min;
    std::uint16_t max;
};

struct ElementType {
    std::span<const Child> inherited = {};  // the base type's children
    std::span<const Child> own = {};
    const Choice* choice = nullptr;
    std::span<const AttributeRule> attributes = {};
    const SimpleType* content = nullptr;  // a value besides the attributes
    bool opaque = false;                  // any content at all
};

constexpr std::size_t max_children = 24;

constexpr std::size_t child_count(const ElementType& type) { return type.inherited.size() + type.own.size(); }

constexpr const Child& child_at(const ElementType& type, std::size_t index) {
    return index < type.inherited.size() ? type.inherited[index] : type.own[index - type.inherited.size()];
}

constexpr AttributeRule id_attribute[] = {{u"id", AttributeKind::id}};

// Task Scheduler Schema, dataType: any element; Windows also takes text
// (scheduler.c test_TaskDefinition xml1).
constexpr ElementType data{.opaque = true};

// Task Scheduler Schema, daysOfWeekType, monthsType, daysOfMonthType, weeksType.
constexpr Child days_of_week_children[] = {
    leaf(u"Monday", nothing), leaf(u"Tuesday", nothing),  leaf(u"Wednesday", nothing), leaf(u"Thursday", nothing),
    leaf(u"Friday", nothing), leaf(u"Saturday", nothing), leaf(u"Sunday", nothing)};
constexpr ElementType days_of_week{.own = days_of_week_children};
constexpr Child months_children[] = {leaf(u"January", nothing), leaf(u"February", nothing), leaf(u"March", nothing),
                                     leaf(u"April", nothing),   leaf(u"May", nothing),      leaf(u"June", nothing),
                                     leaf(u"July", nothing),    leaf(u"August", nothing),   leaf(u"September", nothing),
                                     leaf(u"October", nothing), leaf(u"November", nothing), leaf(u"December", nothing)};
constexpr ElementType months{.own = months_children};
constexpr Child days_of_month_children[] = {leaf(u"Day", day_of_month).up_to(32)};
constexpr ElementType days_of_month{.own = days_of_month_children};
constexpr Child weeks_children[] = {leaf(u"Week", week).up_to(5)};
constexpr ElementType weeks{.own = weeks_children};

// Task Scheduler Schema, dailyScheduleType, weeklyScheduleType,
// monthlyScheduleType, monthlyDayOfWeekScheduleType.
constexpr Child by_day_children[] = {leaf(u"DaysInterval", days_interval)};
constexpr ElementType by_day{.own = by_day_children};
constexpr Child by_week_children[] = {leaf(u"WeeksInterval", weeks_interval), node(u"DaysOfWeek", days_of_week)};
constexpr ElementType by_week{.own = by_week_children};
constexpr Child by_month_children[] = {node(u"DaysOfMonth", days_of_month), node(u"Months", months)};
constexpr ElementType by_month{.own = by_month_children};
constexpr Child by_month_day_of_week_children[] = {node(u"Weeks", weeks), node(u"DaysOfWeek", days_of_week).required(),
                                                   node(u"Months", months)};
constexpr ElementType by_month_day_of_week{.own = by_month_day_of_week_children};

// Task Scheduler Schema, repetitionType and namedValues.
constexpr Child repetition_children[] = {leaf(u"Interval", repeat_interval).required(),
                                         leaf(u"Duration", minute_or_more), leaf(u"StopAtDurationEnd", boolean)};
constexpr ElementType repetition{.own = repetition_children};
constexpr AttributeRule named_value_attributes[] = {{u"name", AttributeKind::name, true}};
constexpr ElementType named_value{.attributes = named_value_attributes, .content = &non_empty};
constexpr Child value_queries_children[] = {node(u"Value", named_value).required().up_to(32)};
constexpr ElementType value_queries{.own = value_queries_children};

// Task Scheduler Schema, triggerBaseType and the trigger types. A
// TimeTrigger and a CalendarTrigger need their StartBoundary (Learn,
// "StartBoundary (triggerBaseType) Element"). The schema orders the children
// of a trigger, but Windows does not: Microsoft's own examples ("Time Trigger
// Example (XML)") put Enabled after the boundaries. Any order is taken.
constexpr Child trigger_base[] = {leaf(u"Enabled", boolean), leaf(u"StartBoundary", date_time),
                                  leaf(u"EndBoundary", date_time), node(u"Repetition", repetition),
                                  leaf(u"ExecutionTimeLimit", duration)};
constexpr Child bounded_trigger_base[] = {leaf(u"Enabled", boolean), leaf(u"StartBoundary", date_time).required(),
                                          leaf(u"EndBoundary", date_time), node(u"Repetition", repetition),
                                          leaf(u"ExecutionTimeLimit", duration)};
constexpr Child delayed_trigger_children[] = {leaf(u"Delay", duration)};
constexpr Child time_trigger_children[] = {leaf(u"RandomDelay", duration)};
constexpr Child event_trigger_children[] = {
    leaf(u"Subscription", non_empty).required(), leaf(u"Delay", duration),
    leaf(u"PeriodOfOccurrence", duration),       leaf(u"NumberOfOccurrences", occurrences),
    leaf(u"MatchingElement", non_empty),         node(u"ValueQueries", value_queries)};
constexpr Child logon_trigger_children[] = {leaf(u"UserId", non_empty), leaf(u"Delay", duration)};
constexpr Child session_trigger_children[] = {leaf(u"UserId", non_empty), leaf(u"Delay", duration),
                                              leaf(u"StateChange", state_change).required()};
constexpr Choice one_schedule{1, 1};
constexpr Child calendar_trigger_children[] = {
    leaf(u"RandomDelay", duration), node(u"ScheduleByDay", by_day).chosen_up_to(1),
    node(u"ScheduleByWeek", by_week).chosen_up_to(1), node(u"ScheduleByMonth", by_month).chosen_up_to(1),
    node(u"ScheduleByMonthDayOfWeek", by_month_day_of_week).chosen_up_to(1)};
constexpr ElementType delayed_trigger{
    .inherited = trigger_base, .own = delayed_trigger_children, .attributes = id_attribute};
constexpr ElementType idle_trigger{.inherited = trigger_base, .attributes = id_attribute};
constexpr ElementType time_trigger{
    .inherited = bounded_trigger_base, .own = time_trigger_children, .attributes = id_attribute};
constexpr ElementType event_trigger{
    .inherited = trigger_base, .own = event_trigger_children, .attributes = id_attribute};
constexpr ElementType logon_trigger{
    .inherited = trigger_base, .own = logon_trigger_children, .attributes = id_attribute};
constexpr ElementType session_trigger{
    .inherited = trigger_base, .own = session_trigger_children, .attributes = id_attribute};
constexpr ElementType calendar_trigger{.inherited = bounded_trigger_base,
                                       .own = calendar_trigger_children,
                                       .choice = &one_schedule,
                                       .attributes = id_attribute};

// Task Scheduler Schema, triggersType: up to 48 triggers of any kinds.
constexpr Choice up_to_48_triggers{0, 48};
constexpr Child triggers_children[] = {node(u"BootTrigger", delayed_trigger).chosen_up_to(48),
                                       node(u"RegistrationTrigger", delayed_trigger).chosen_up_to(48),
                                       node(u"IdleTrigger", idle_trigger).chosen_up_to(48),
                                       node(u"TimeTrigger", time_trigger).chosen_up_to(48),
                                       node(u"EventTrigger", event_trigger).chosen_up_to(48),
                                       node(u"LogonTrigger", logon_trigger).chosen_up_to(48),
                                       node(u"SessionStateChangeTrigger", session_trigger).chosen_up_to(48),
                                       node(u"CalendarTrigger", calendar_trigger).chosen_up_to(48)};
constexpr ElementType triggers{.own = triggers_children, .choice = &up_to_48_triggers};

// Task Scheduler Schema, settingsType, restartType, idleSettingsType,
// networkSettingsType; the elements that later versions added have their own
// pages ("MaintenanceSettings (settingsType) Element", "Volatile"), and need
// the version Windows writes for them: not recorded, our choice.
constexpr Child restart_children[] = {leaf(u"Interval", repeat_interval).required(),
                                      leaf(u"Count", restart_count).required()};
constexpr ElementType restart{.own = restart_children};
constexpr Child idle_settings_children[] = {leaf(u"Duration", minute_or_more), leaf(u"WaitTimeout", minute_or_more),
                                            leaf(u"StopOnIdleEnd", boolean), leaf(u"RestartOnIdle", boolean)};
constexpr ElementType idle_settings{.own = idle_settings_children};
constexpr Child network_settings_children[] = {leaf(u"Name", non_empty), leaf(u"Id", guid)};
constexpr ElementType network_settings{.own = network_settings_children};
// Learn, "maintenanceSettingsType Complex Type": all three children required.
constexpr Child maintenance_children[] = {leaf(u"Period", day_or_more).required(),
                                          leaf(u"Deadline", day_or_more).required(),
                                          leaf(u"Exclusive", boolean).required()};
constexpr ElementType maintenance{.own = maintenance_children};
constexpr Child settings_children[] = {leaf(u"AllowStartOnDemand", boolean),
                                       node(u"RestartOnFailure", restart),
                                       leaf(u"MultipleInstancesPolicy", instances_policy),
                                       leaf(u"DisallowStartIfOnBatteries", boolean),
                                       leaf(u"StopIfGoingOnBatteries", boolean),
                                       leaf(u"AllowHardTerminate", boolean),
                                       leaf(u"StartWhenAvailable", boolean),
                                       leaf(u"NetworkProfileName", text),
                                       leaf(u"RunOnlyIfNetworkAvailable", boolean),
                                       leaf(u"WakeToRun", boolean),
                                       leaf(u"Enabled", boolean),
                                       leaf(u"Hidden", boolean),
                                       leaf(u"DeleteExpiredTaskAfter", duration),
                                       node(u"IdleSettings", idle_settings),
                                       node(u"NetworkSettings", network_settings),
                                       leaf(u"ExecutionTimeLimit", duration),
                                       leaf(u"Priority", priority),
                                       leaf(u"RunOnlyIfIdle", boolean),
                                       leaf(u"UseUnifiedSchedulingEngine", boolean).needs_version(3),
                                       leaf(u"DisallowStartOnRemoteAppSession", boolean).needs_version(3),
                                       node(u"MaintenanceSettings", maintenance).needs_version(4),
                                       leaf(u"Volatile", boolean).needs_version(4)};
static_assert(std::size(settings_children) <= max_children);
constexpr ElementType settings{.own = settings_children};

// Task Scheduler Schema, principalsType (one Principal), principalType,
// requiredPrivilegesType; ProcessTokenSidType and RequiredPrivileges came with
// version 1.3: not recorded, our choice.
constexpr Child privileges_children[] = {leaf(u"Privilege", privilege).required().up_to(64)};
constexpr ElementType required_privileges{.own = privileges_children};
constexpr AttributeRule principal_attributes[] = {{u"id", AttributeKind::principal_id}};
constexpr Child principal_children[] = {leaf(u"UserId", non_empty),
                                        leaf(u"LogonType", logon_type),
                                        leaf(u"GroupId", non_empty),
                                        leaf(u"DisplayName", text),
                                        leaf(u"RunLevel", run_level),
                                        leaf(u"ProcessTokenSidType", sid_type).needs_version(3),
                                        node(u"RequiredPrivileges", required_privileges).needs_version(3)};
constexpr ElementType principal{.own = principal_children, .attributes = principal_attributes};
constexpr Child principals_children[] = {node(u"Principal", principal).required()};
constexpr ElementType principals{.own = principals_children};

// Task Scheduler Schema, execType, comHandlerType, sendEmailType,
// headerFieldsType, attachmentsType, showMessageType. HideAppWindow is not in
// the schema; taking it from version 1.6 on is not recorded: our choice.
constexpr Child exec_children[] = {leaf(u"Command", path).required(), leaf(u"Arguments", text),
                                   leaf(u"WorkingDirectory", path), leaf(u"HideAppWindow", boolean).needs_version(6)};
constexpr ElementType exec{.own = exec_children, .attributes = id_attribute};
constexpr Child com_handler_children[] = {leaf(u"ClassId", guid).required(), node(u"Data", data)};
constexpr ElementType com_handler{.own = com_handler_children, .attributes = id_attribute};
constexpr Child header_field_children[] = {leaf(u"Name", non_empty).required(), leaf(u"Value", text).required()};
constexpr ElementType header_field{.own = header_field_children};
constexpr Child header_fields_children[] = {node(u"HeaderField", header_field).up_to(32)};
constexpr ElementType header_fields{.own = header_fields_children};
constexpr Child attachments_children[] = {leaf(u"File", non_empty).up_to(8)};
constexpr ElementType attachments{.own = attachments_children};
constexpr Child send_email_children[] = {leaf(u"Server", non_empty).required(),
                                         leaf(u"Subject", text),
                                         leaf(u"To", text),
                                         leaf(u"Cc", text),
                                         leaf(u"Bcc", text),
                                         leaf(u"ReplyTo", text),
                                         leaf(u"From", text),
                                         node(u"HeaderFields", header_fields),
                                         leaf(u"Body", text),
                                         node(u"Attachments", attachments)};
constexpr ElementType send_email{.own = send_email_children, .attributes = id_attribute};
constexpr Child show_message_children[] = {leaf(u"Title", non_empty).required(), leaf(u"Body", non_empty).required()};
constexpr ElementType show_message{.own = show_message_children, .attributes = id_attribute};

// Task Scheduler Schema, actionsType: one to 32 actions of any kinds.
constexpr Choice one_to_32_actions{1, 32};
constexpr AttributeRule actions_attributes[] = {{u"Context", AttributeKind::context}};
constexpr Child actions_children[] = {
    node(u"Exec", exec).chosen_up_to(32), node(u"ComHandler", com_handler).chosen_up_to(32),
    node(u"SendEmail", send_email).chosen_up_to(32), node(u"ShowMessage", show_message).chosen_up_to(32)};
constexpr ElementType actions{.own = actions_children, .choice = &one_to_32_actions, .attributes = actions_attributes};

// Task Scheduler Schema, registrationInfoType and taskType.
constexpr Child registration_info_children[] = {leaf(u"URI", text),         leaf(u"SecurityDescriptor", text),
                                                leaf(u"Source", text),      leaf(u"Date", date_time),
                                                leaf(u"Author", text),      leaf(u"Version", text),
                                                leaf(u"Description", text), leaf(u"Documentation", text)};
constexpr ElementType registration_info{.own = registration_info_children};
constexpr AttributeRule task_attributes[] = {{u"version", AttributeKind::version}};
constexpr Child task_children[] = {node(u"RegistrationInfo", registration_info),
                                   node(u"Triggers", triggers),
                                   node(u"Settings", settings),
                                   node(u"Data", data),
                                   node(u"Principals", principals),
                                   node(u"Actions", actions).required()};
constexpr ElementType task{.own = task_children, .attributes = task_attributes};

// The longest typed value read; longer ones are refused unread.
constexpr std::size_t longest_value = 256;

struct Refusal {
    HRESULT code;
    std::size_t at;
    std::u16string_view node;
    std::u16string_view value;
};

std::pair<std::u16string_view, std::u16string_view> split_name(std::u16string_view name) {
    const std::size_t colon = name.find(u':');
    if (colon == std::u16string_view::npos) return {u"", name};
    return {name.substr(0, colon), name.substr(colon + 1)};
}

bool is_declaration(std::u16string_view attribute) { return attribute == u"xmlns" || attribute.starts_with(u"xmlns:"); }

// The namespaces in scope: what each prefix is bound to, innermost last.
class NamespaceScopes {
public:
    std::size_t mark() const noexcept { return declared_.size(); }

    void declare(std::span<const XmlAttribute> attributes) {
        for (const XmlAttribute& attribute : attributes) {
            if (!is_declaration(attribute.name)) continue;
            const std::u16string_view prefix = attribute.name.size() > 5 ? attribute.name.substr(6) : u"";
            bound_[prefix].push_back(attribute.value);
            declared_.push_back(prefix);
        }
    }

    // Drops the declarations made since `mark`.
    void leave(std::size_t mark) {
        for (; declared_.size() > mark; declared_.pop_back()) {
            const auto found = bound_.find(declared_.back());
            found->second.pop_back();
            if (found->second.empty()) bound_.erase(found);
        }
    }

    // The namespace name as written in its declaration; empty for no
    // namespace; nothing for a prefix that is not declared.
    std::optional<std::u16string_view> lookup(std::u16string_view prefix) const {
        if (prefix == u"xml") return xml_namespace;
        const auto found = bound_.find(prefix);
        if (found != bound_.end()) return found->second.back();
        if (prefix.empty()) return u"";
        return std::nullopt;
    }

private:
    std::unordered_map<std::u16string_view, std::vector<std::u16string_view>> bound_;
    std::vector<std::u16string_view> declared_;  // prefixes, in the order declared
};

// An open element of the definition.
struct Frame {
    const ElementType* type;  // null for a child with a plain value
    const SimpleType* value;  // its value, if it has one
    std::u16string_view name;
    std::size_t name_at;
    std::size_t content_at;
    std::size_t scope_mark;
    std::array<std::uint16_t, max_children> counts{};  // of each child
    std::uint16_t chosen = 0;                           // children in the type's choice
};

// Task Scheduler Schema, versionType: \d+(\.\d+){1,3}; the result is the
// minor version. Taking 1.0 to 1.6 only, the versions Windows writes and
// below, is not recorded: our choice.
std::optional<int> task_version(std::u16string_view version) {
    const auto is_digit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
    std::array<std::u16string_view, 4> parts;
    std::size_t count = 0;
    for (std::size_t pos = 0;;) {
        const std::size_t dot = version.find(u'.', pos);
        const std::u16string_view part = version.substr(pos, dot == version.npos ? version.npos : dot - pos);
        if (count == parts.size() || part.empty() || !std::ranges::all_of(part, is_digit)) return std::nullopt;
        parts[count++] = part;
        if (dot == version.npos) break;
        pos = dot + 1;
    }
    const std::optional<std::uint64_t> minor = count >= 2 ? parse_unsigned(parts[1], 6) : std::nullopt;
    if (parse_unsigned(parts[0], 1) != 1 || !minor) return std::nullopt;
    return static_cast<int>(*minor);
}

class DefinitionChecker final : public XmlHandler {
public:
    explicit DefinitionChecker(std::u16string_view document) : document_(document) {}

    void start_element(std::u16string_view name, std::size_t at, std::span<const XmlAttribute> attributes,
                       std::size_t content_at, bool empty) override {
        if (refusal_) return;
        if (in_data()) {
            if (!empty) ++opaque_depth_;
            return;
        }
        refusal_ = open(name, at, attributes, content_at);
        if (!refusal_ && empty) refusal_ = close(content_at, at);
    }

    void end_element(std::size_t at) override {
        if (refusal_) return;
        if (opaque_depth_ > 0) {
            --opaque_depth_;
            return;
        }
        refusal_ = close(at, at + 2);
    }

    void text(std::u16string_view characters, std::size_t at) override {
        if (refusal_ || frames_.empty() || in_data()) return;
        const Frame& frame = frames_.back();
        // A value is read whole at its end tag.
        if (frame.value != nullptr) return;
        if (trim_xml_space(characters).empty()) return;
        // Task Scheduler Schema: these types hold elements only. Code: not recorded: our choice.
        refusal_ = Refusal{SCHED_E_UNEXPECTEDNODE, at, frame.name, characters};
    }

    // The refusal, once the whole document has been read.
    std::optional<Refusal> finish() {
        if (refusal_) return refusal_;
        // Task Scheduler Schema, ContextKeyRef of taskType: Context names a
        // Principal's id. Code: not recorded: our choice.
        if (context_ && std::ranges::find(principal_ids_, context_->id) == principal_ids_.end())
            return Refusal{SCHED_E_INVALIDVALUE, context_->attribute.at, context_->attribute.name,
                           context_->attribute.value};
        return std::nullopt;
    }

private:
    // Inside a Data element, whose content is not checked.
    bool in_data() const {
        return opaque_depth_ > 0 || (!frames_.empty() && frames_.back().type != nullptr && frames_.back().type->opaque);
    }

    std::optional<Refusal> open(std::u16string_view qualified, std::size_t at, std::span<const XmlAttribute> attributes,
                                std::size_t content_at) {
        const std::size_t scope_mark = scopes_.mark();
        scopes_.declare(attributes);
        const auto [prefix, name] = split_name(qualified);
        const std::optional<std::u16string_view> uri = scopes_.lookup(prefix);
        const bool in_task_namespace = uri && is_task_namespace(*uri);
        Frame frame{nullptr, nullptr, name, at, content_at, scope_mark};
        if (frames_.empty()) {
            // scheduler.c test_TaskDefinition xml3, todo_wine: Windows only.
            // The name is checked before the namespace.
            if (name != u"Task") return Refusal{SCHED_E_UNEXPECTEDNODE, at, name, {}};
            // scheduler.c test_TaskDefinition xml2.
            if (!in_task_namespace) return Refusal{SCHED_E_NAMESPACE, at, name, uri.value_or(u"")};
            frame.type = &task;
        } else {
            Frame& parent = frames_.back();
            // Task Scheduler Schema: a value holds no elements. Code: not recorded: our choice.
            if (parent.value != nullptr) return Refusal{SCHED_E_UNEXPECTEDNODE, at, name, {}};
            const ElementType& type = *parent.type;
            std::size_t index = 0;
            while (index < child_count(type) && child_at(type, index).name != name) ++index;
            // Task Scheduler Schema, the children of each type. Code: not
            // recorded but for the document element (xml3): our choice.
            if (index == child_count(type)) return Refusal{SCHED_E_UNEXPECTEDNODE, at, name, {}};
            const Child& child = child_at(type, index);
            // Task Scheduler Schema: elementFormDefault="qualified", every
            // element is in the task namespace. Code: not recorded but for the
            // document element (xml2): our choice.
            if (!in_task_namespace) return Refusal{SCHED_E_NAMESPACE, at, name, uri.value_or(u"")};
            // An element newer than the version the document declares;
            // versions before 1.2 are taken as 1.2. Not recorded: our choice.
            if (version_ && child.since > std::max(*version_, 2)) return Refusal{SCHED_E_UNEXPECTEDNODE, at, name, {}};
            // Task Scheduler Schema, maxOccurs. Code: not recorded: our choice.
            if (++parent.counts[index] > child.max) return Refusal{SCHED_E_TOO_MANY_NODES, at, name, {}};
            if (child.in_choice && ++parent.chosen > type.choice->max)
                return Refusal{SCHED_E_TOO_MANY_NODES, at, name, {}};
            frame.type = child.element;
            frame.value = child.value != nullptr ? child.value : child.element->content;
        }
        if (auto refusal = check_attributes(frame, attributes)) return refusal;
        frames_.push_back(frame);
        return std::nullopt;
    }

    // Ends the innermost element, whose content ends at `content_end`; `at`
    // is where a missing child is reported.
    std::optional<Refusal> close(std::size_t content_end, std::size_t at) {
        const Frame& frame = frames_.back();
        if (frame.value != nullptr) {
            if (auto refusal = check_value(frame, content_end)) return refusal;
        } else if (!frame.type->opaque) {
            const ElementType& type = *frame.type;
            for (std::size_t i = 0; i < child_count(type); ++i) {
                const Child& child = child_at(type, i);
                // Task Scheduler Schema, minOccurs. Code: not recorded: our choice.
                if (frame.counts[i] < child.min) return Refusal{SCHED_E_MISSINGNODE, at, child.name, {}};
            }
            // scheduler.c test_TaskDefinition xml5, todo_wine: Windows only
            // (Actions without an action); the code for the other choices and
            // reporting the parent as the node are not recorded: our choice.
            if (type.choice != nullptr && frame.chosen < type.choice->min)
                return Refusal{SCHED_E_MISSINGNODE, at, frame.name, {}};
        }
        scopes_.leave(frame.scope_mark);
        frames_.pop_back();
        return std::nullopt;
    }

    std::optional<Refusal> check_attributes(const Frame& frame, std::span<const XmlAttribute> attributes) {
        const std::span<const AttributeRule> rules =
            frame.type != nullptr ? frame.type->attributes : std::span<const AttributeRule>();
        for (const XmlAttribute& attribute : attributes) {
            if (is_declaration(attribute.name)) continue;
            // Task Scheduler Schema: attributes are unqualified. Code: not recorded: our choice.
            if (attribute.name.find(u':') != std::u16string_view::npos)
                return Refusal{SCHED_E_NAMESPACE, attribute.at, attribute.name, attribute.value};
            const auto rule = std::ranges::find(rules, attribute.name, &AttributeRule::name);
            // Task Scheduler Schema, the attributes of each type. Code: not recorded: our choice.
            if (rule == rules.end())
                return Refusal{SCHED_E_UNEXPECTEDNODE, attribute.at, attribute.name, attribute.value};
            if (auto refusal = check_attribute(*rule, attribute)) return refusal;
        }
        for (const AttributeRule& rule : rules) {
            // Task Scheduler Schema, use="required". Code: not recorded: our choice.
            if (rule.required && std::ranges::find(attributes, rule.name, &XmlAttribute::name) == attributes.end())
                return Refusal{SCHED_E_MISSINGNODE, frame.name_at, rule.name, {}};
        }
        return std::nullopt;
    }

    std::optional<Refusal> check_attribute(const AttributeRule& rule, const XmlAttribute& attribute) {
        const Refusal invalid{SCHED_E_INVALIDVALUE, attribute.at, attribute.name, attribute.value};
        const std::optional<std::size_t> length = decode_character_data(attribute.value, scratch_, longest_value);
        if (!length || *length > longest_value) return invalid;
        switch (rule.kind) {
            case AttributeKind::version:
                version_ = task_version(scratch_);
                if (!version_) return invalid;
                return std::nullopt;
            case AttributeKind::name:
                // Task Scheduler Schema, namedValue: a nonEmptyString. Code: not recorded: our choice.
                if (scratch_.empty()) return invalid;
                return std::nullopt;
            case AttributeKind::id:
            case AttributeKind::principal_id:
            case AttributeKind::context: break;
        }
        const std::u16string id(trim_xml_space(scratch_));
        // Task Scheduler Schema: ids are xs:ID and Context is xs:IDREF. Code: not recorded: our choice.
        if (!is_ncname(id)) return invalid;
        if (rule.kind == AttributeKind::context) {
            context_ = Reference{id, attribute};
            return std::nullopt;
        }
        // Task Scheduler Schema, UniqueId of taskType and xs:ID: no two ids
        // alike. Code: not recorded: our choice.
        if (std::ranges::find(ids_, id) != ids_.end()) return invalid;
        ids_.push_back(id);
        if (rule.kind == AttributeKind::principal_id) principal_ids_.push_back(id);
        return std::nullopt;
    }

    std::optional<Refusal> check_value(const Frame& frame, std::size_t content_end) {
        const std::u16string_view raw = document_.substr(frame.content_at, content_end - frame.content_at);
        const Refusal invalid{SCHED_E_INVALIDVALUE, raw.empty() ? frame.name_at : frame.content_at, frame.name, raw};
        const SimpleType& type = *frame.value;
        if (type.lexical == Lexical::string) return std::nullopt;
        // Counted without being kept, however long.
        if (type.lexical == Lexical::length) {
            const std::optional<std::size_t> length = decode_character_data(raw, scratch_, 0);
            // Task Scheduler Schema, nonEmptyString and pathType (260
            // characters, counted in UTF-16 units). Code: not recorded: our choice.
            const auto units = static_cast<std::int64_t>(length.value_or(0));
            if (!length || units < type.low || units > type.high) return invalid;
            return std::nullopt;
        }
        // The types whose whitespace facet is "collapse" read their value
        // without the whitespace around it.
        const bool collapse =
            type.lexical != Lexical::ordinal && type.lexical != Lexical::choice && type.lexical != Lexical::guid;
        const std::optional<std::size_t> length =
            decode_character_data(collapse ? trim_xml_space(raw) : raw, scratch_, longest_value);
        // A value longer than any valid one is refused unread: not recorded: our choice.
        if (!length || *length > longest_value) return invalid;
        const std::u16string_view value = collapse ? trim_xml_space(scratch_) : std::u16string_view(scratch_);
        if (!is_valid(type, value)) return invalid;
        return std::nullopt;
    }

    // Whether a value is valid for its type. SCHED_E_INVALIDVALUE for one that
    // is not is recorded for a boolean (scheduler.c test_TaskDefinition xml7);
    // for the other types it is not recorded: our choice.
    static bool is_valid(const SimpleType& type, std::u16string_view value) {
        switch (type.lexical) {
            case Lexical::string:
            case Lexical::length: return true;
            // xs:boolean: "FALSE" is refused (xml7), "true" and "false" taken
            // (test_GetTask xml1, xml2); "1" and "0" are xs:boolean too: not recorded, our choice.
            case Lexical::boolean: return parse_boolean(value).has_value();
            case Lexical::integer: {
                const auto number = parse_unsigned(value, static_cast<std::uint64_t>(type.high));
                return number && static_cast<std::int64_t>(*number) >= type.low;
            }
            // A negative duration, and one past 64 bits of 100-nanosecond
            // units, is refused: not recorded, our choice.
            case Lexical::duration: {
                const auto ticks = parse_duration(value);
                return ticks && *ticks >= type.low && *ticks <= type.high;
            }
            case Lexical::date_time: return is_date_time(value);
            case Lexical::ordinal: {
                if (value == u"Last") return true;
                if (value.empty() || value.front() < u'1' || value.front() > u'9') return false;
                const auto number = parse_unsigned(value, static_cast<std::uint64_t>(type.high));
                return number && static_cast<std::int64_t>(*number) >= type.low;
            }
            case Lexical::choice: return std::ranges::find(type.choices, value) != type.choices.end();
            case Lexical::guid: return is_braced_guid(value);
            case Lexical::empty: return value.empty();
        }
        return false;
    }

    bool is_task_namespace(std::u16string_view written) {
        const std::optional<std::size_t> length = decode_character_data(written, scratch_, task_namespace.size() + 1);
        return length && scratch_ == task_namespace;
    }

    struct Reference {
        std::u16string id;
        XmlAttribute attribute;
    };

    std::u16string_view document_;
    std::optional<Refusal> refusal_;
    std::vector<Frame> frames_;
    std::size_t opaque_depth_ = 0;  // elements open inside a Data element
    NamespaceScopes scopes_;
    std::optional<int> version_;  // minor version, when the document declares one
    std::vector<std::u16string> ids_;
    std::vector<std::u16string> principal_ids_;
    std::optional<Reference> context_;
    std::u16string scratch_;  // the latest value read
};

}  // namespace

std::optional<DefinitionError> check_task_definition(std::u16string_view document) {
    DefinitionChecker checker(document);
    if (const std::optional<XmlError> error = read_xml(document, checker))
        // scheduler.c test_TaskDefinition xml0 (empty) and xml6 (unclosed element).
        return DefinitionError{SCHED_E_MALFORMEDXML, error->line, error->column, {}, error->message};
    const std::optional<Refusal> refusal = checker.finish();
    if (!refusal) return std::nullopt;
    const TextPosition where = position_of(document, refusal->at);
    return DefinitionError{refusal->code, where.line, where.column, refusal->node, refusal->value};
}

namespace {

// Reads the two settings of the document element's Settings that decide
// whether a run on demand starts the task. Both default to true.
class DemandStart final : public XmlHandler {
public:
    void start_element(std::u16string_view name, std::size_t, std::span<const XmlAttribute>, std::size_t,
                       bool empty) override {
        const std::u16string_view local = name.substr(name.find(u':') + 1);
        ++depth_;
        if (depth_ == 2) in_settings_ = local == u"Settings";
        reading_ = depth_ == 3 && in_settings_ && (local == u"Enabled" || local == u"AllowStartOnDemand");
        value_.clear();
        if (empty) end_element(0);
    }
    void end_element(std::size_t) override {
        if (reading_) {
            std::u16string_view value = value_;
            while (!value.empty() && is_xml_space(value.front())) value.remove_prefix(1);
            while (!value.empty() && is_xml_space(value.back())) value.remove_suffix(1);
            if (parse_boolean(value) == false) starts = false;
            reading_ = false;
        }
        if (depth_ == 2) in_settings_ = false;
        --depth_;
    }
    void text(std::u16string_view characters, std::size_t) override {
        if (reading_) value_ += characters;
    }

    bool starts = true;

private:
    int depth_ = 0;
    bool in_settings_ = false;
    bool reading_ = false;
    std::u16string value_;
};

}  // namespace

bool starts_on_demand(std::u16string_view document) {
    DemandStart reader;
    (void)read_xml(document, reader);
    return reader.starts;
}

}  // namespace winsim::detail
