// What RegisterTask makes of a task definition: the documents Windows is
// recorded answering, and a case for each kind of rule of the Task Scheduler
// Schema, with the code and the error description each one gives.

#include "winsim_fixture.h"

namespace winsim_test {
namespace {

struct DefinitionCase {
    const char* name;
    std::u16string document;
    HRESULT code;
    std::u16string description;  // of the error object; empty when registered
};

constexpr std::u16string_view task_start = u"<Task xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\"";

// `inside` as the content of a Task element of the task namespace.
std::u16string task(std::u16string_view inside, std::u16string_view attributes = u"") {
    return std::u16string(task_start) + std::u16string(attributes) + u">" + std::u16string(inside) + u"</Task>";
}

// `before` and one action.
std::u16string with_action(std::u16string_view before, std::u16string_view attributes = u"") {
    return task(std::u16string(before) + u"<Actions><Exec><Command>a</Command></Exec></Actions>", attributes);
}

std::u16string repeated(std::u16string_view text, int times) {
    std::u16string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

// scheduler.c, test_GetTask xml1 and xml2 and test_TaskDefinition xml1 to xml7, as written there.
constexpr std::u16string_view wine_head = u"<Task xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n";
constexpr std::u16string_view wine_task1 =
    u"  <RegistrationInfo>\n    <Description>\"Task1\"</Description>\n  </RegistrationInfo>\n"
    u"  <Settings>\n    <Enabled>false</Enabled>\n    <Hidden>false</Hidden>\n  </Settings>\n"
    u"  <Actions>\n    <Exec>\n      <Command>\"task1.exe\"</Command>\n    </Exec>\n  </Actions>\n";
constexpr std::u16string_view wine_exec =
    u"  <Actions>\n    <Exec>\n      <Command>\"task1.exe\"</Command>\n    </Exec>\n  </Actions>\n";

std::u16string joined(std::initializer_list<std::u16string_view> parts) {
    std::u16string out;
    for (std::u16string_view part : parts) out += part;
    return out;
}

class Definition : public Sim, public ::testing::WithParamInterface<DefinitionCase> {};

TEST_P(Definition, GivesItsCodeAndDescription) {
    Session session;
    EXPECT_EQ(session.register_task(u"Checked", GetParam().document, TASK_VALIDATE_ONLY), GetParam().code);
    discard_error_object();
    EXPECT_EQ(session.register_task(u"Checked", GetParam().document), GetParam().code);
    IErrorInfo* info = nullptr;
    if (GetParam().code == S_OK) {
        EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
        EXPECT_EQ(winsim::tasks().count(u"Checked"), 1u);
        return;
    }
    EXPECT_TRUE(winsim::tasks().empty());
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    BSTR description = nullptr;
    EXPECT_EQ(info->GetDescription(&description), S_OK);
    EXPECT_EQ(text_of(description), GetParam().description);
    SysFreeString(description);
    info->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Recorded, Definition,
    ::testing::Values(
        DefinitionCase{"GetTaskXml1", joined({u"<?xml version=\"1.0\"?>\n", wine_head, wine_task1, u"</Task>\n"}), S_OK,
                       u""},
        DefinitionCase{
            "GetTaskXml2",
            joined({u"<?xml version=\"1.0\"?>\n", wine_head,
                    u"  <RegistrationInfo>\n    <Description>\"Task2\"</Description>\n  </RegistrationInfo>\n"
                    u"  <Settings>\n    <Enabled>true</Enabled>\n    <Hidden>true</Hidden>\n  </Settings>\n"
                    u"  <Actions>\n    <Exec>\n      <Command>\"task2.exe\"</Command>\n    </Exec>\n"
                    u"  </Actions>\n</Task>\n"}),
            S_OK, u""},
        DefinitionCase{"Xml0", u"", SCHED_E_MALFORMEDXML, u"(1,1)::ERROR: XML document must have a top level element"},
        DefinitionCase{
            "Xml1",
            joined({wine_head,
                    u"  <RegistrationInfo>\n    <Description>\"Task1\"</Description>\n"
                    u"    <Author>author</Author>\n    <Version>1.0</Version>\n"
                    u"    <Date>2018-04-02T11:22:33</Date>\n    <Documentation>doc</Documentation>\n"
                    u"    <URI>uri</URI>\n    <Source>source</Source>\n  </RegistrationInfo>\n"
                    u"  <Settings>\n    <Enabled>false</Enabled>\n    <Hidden>false</Hidden>\n  </Settings>\n",
                    wine_exec, u"  <Data>MyTestData</Data>\n</Task>\n"}),
            S_OK, u""},
        DefinitionCase{"Xml2", joined({u"<Task>\n", wine_task1, u"</Task>\n"}), SCHED_E_NAMESPACE, u"(1,2):Task:"},
        DefinitionCase{"Xml3", joined({u"<TASK>\n", wine_task1, u"</TASK>\n"}), SCHED_E_UNEXPECTEDNODE, u"(1,2):TASK:"},
        DefinitionCase{"Xml4", joined({wine_head, u"  <RegistrationInfo/>\n  <Settings/>\n", wine_exec, u"</Task>\n"}),
                       S_OK, u""},
        DefinitionCase{"Xml5", joined({wine_head, u"  <RegistrationInfo/>\n  <Settings/>\n  <Actions/>\n</Task>\n"}),
                       SCHED_E_MISSINGNODE, u"(4,4):Actions:"},
        DefinitionCase{"Xml6", joined({wine_head, u"  <RegistrationInfo/>\n", wine_exec, u"  <Settings>\n</Task>\n"}),
                       SCHED_E_MALFORMEDXML, u"(9,1)::ERROR: end tag does not match the start tag"},
        DefinitionCase{
            "Xml7",
            joined({wine_head, u"  <RegistrationInfo/>\n",
                    u"  <Settings>\n    <Enabled>FALSE</Enabled>\n  </Settings>\n", wine_exec, u"</Task>\n"}),
            SCHED_E_INVALIDVALUE, u"(4,14):Enabled:FALSE"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Rules, Definition,
    ::testing::Values(
        // Namespaces.
        DefinitionCase{"Prefixed",
                       u"<t:Task xmlns:t=\"http://schemas.microsoft.com/windows/2004/02/mit/task\"><t:Actions><t:Exec>"
                       u"<t:Command>a</t:Command></t:Exec></t:Actions></t:Task>",
                       S_OK, u""},
        DefinitionCase{"OtherNamespace", u"<Task xmlns=\"urn:other\"><Actions/></Task>", SCHED_E_NAMESPACE,
                       u"(1,2):Task:urn:other"},
        DefinitionCase{"ChildInNoNamespace", task(u"<Actions xmlns=\"\"/>"), SCHED_E_NAMESPACE, u"(1,70):Actions:"},
        DefinitionCase{"UndeclaredPrefix", with_action(u"<x:Settings/>"), SCHED_E_NAMESPACE, u"(1,70):Settings:"},
        DefinitionCase{"QualifiedAttribute", with_action(u"", u" xml:lang=\"en\""), SCHED_E_NAMESPACE,
                       u"(1,69):xml:lang:en"},
        // Structure.
        DefinitionCase{"UnknownChild", task(u"<Foo/>"), SCHED_E_UNEXPECTEDNODE, u"(1,70):Foo:"},
        DefinitionCase{"NoActions", task(u""), SCHED_E_MISSINGNODE, u"(1,71):Actions:"},
        DefinitionCase{"UnknownAttribute", with_action(u"<Settings id=\"s\"/>"), SCHED_E_UNEXPECTEDNODE,
                       u"(1,79):id:s"},
        DefinitionCase{"TextAmongElements", with_action(u"<Settings>on</Settings>"), SCHED_E_UNEXPECTEDNODE,
                       u"(1,79):Settings:on"},
        DefinitionCase{"ElementInAValue", with_action(u"<Settings><Enabled><b/></Enabled></Settings>"),
                       SCHED_E_UNEXPECTEDNODE, u"(1,89):b:"},
        DefinitionCase{"AnyTriggerChildOrder",
                       with_action(u"<Triggers><TimeTrigger><Repetition><Interval>PT5M</Interval></Repetition>"
                                   u"<StartBoundary>2020-01-02T03:04:05</StartBoundary><Enabled>true</Enabled>"
                                   u"</TimeTrigger></Triggers>"),
                       S_OK, u""},
        DefinitionCase{"DataHoldsAnything",
                       with_action(u"<Data><x:y xmlns:x=\"urn:x\" z='1'>&unknown;<![CDATA[<&>]]></x:y></Data>"), S_OK,
                       u""},
        DefinitionCase{"TwiceTheSameChild",
                       with_action(u"<Settings><Hidden>true</Hidden><Hidden>true</Hidden></Settings>"),
                       SCHED_E_TOO_MANY_NODES, u"(1,101):Hidden:"},
        DefinitionCase{"FortyEightTriggers",
                       with_action(u"<Triggers>" + repeated(u"<BootTrigger/>", 48) + u"</Triggers>"), S_OK, u""},
        DefinitionCase{"FortyNineTriggers",
                       with_action(u"<Triggers>" + repeated(u"<IdleTrigger/>", 49) + u"</Triggers>"),
                       SCHED_E_TOO_MANY_NODES, u"(1,752):IdleTrigger:"},
        DefinitionCase{"ThirtyThreeActions",
                       task(u"<Actions>" + repeated(u"<Exec><Command>a</Command></Exec>", 33) + u"</Actions>"),
                       SCHED_E_TOO_MANY_NODES, u"(1,1135):Exec:"},
        DefinitionCase{"TwoPrincipals", with_action(u"<Principals><Principal/><Principal/></Principals>"),
                       SCHED_E_TOO_MANY_NODES, u"(1,94):Principal:"},
        DefinitionCase{"TwoSchedules",
                       with_action(u"<Triggers><CalendarTrigger><StartBoundary>2020-01-02T03:04:05</StartBoundary>"
                                   u"<ScheduleByDay/><ScheduleByWeek/></CalendarTrigger></Triggers>"),
                       SCHED_E_TOO_MANY_NODES, u"(1,163):ScheduleByWeek:"},
        DefinitionCase{"NoCommand", task(u"<Actions><Exec/></Actions>"), SCHED_E_MISSINGNODE, u"(1,79):Command:"},
        DefinitionCase{"NoStartBoundary", with_action(u"<Triggers><TimeTrigger></TimeTrigger></Triggers>"),
                       SCHED_E_MISSINGNODE, u"(1,94):StartBoundary:"},
        DefinitionCase{"NoSchedule",
                       with_action(u"<Triggers><CalendarTrigger><StartBoundary>2020-01-02T03:04:05</StartBoundary>"
                                   u"</CalendarTrigger></Triggers>"),
                       SCHED_E_MISSINGNODE, u"(1,148):CalendarTrigger:"},
        DefinitionCase{"NoPrincipal", with_action(u"<Principals/>"), SCHED_E_MISSINGNODE, u"(1,70):Principal:"},
        DefinitionCase{"NoValueName",
                       with_action(u"<Triggers><EventTrigger><Subscription>q</Subscription><ValueQueries>"
                                   u"<Value>v</Value></ValueQueries></EventTrigger></Triggers>"),
                       SCHED_E_MISSINGNODE, u"(1,138):name:"},
        // Values.
        DefinitionCase{"ValuesInRange",
                       with_action(u"<Settings><Enabled> 1 </Enabled><Hidden>&#116;r<!--c-->u<![CDATA[e]]></Hidden>"
                                   u"<Priority>10</Priority><DeleteExpiredTaskAfter>P3650D</DeleteExpiredTaskAfter>"
                                   u"<RestartOnFailure><Interval>P31D</Interval><Count>255</Count></RestartOnFailure>"
                                   u"<NetworkSettings><Id>{01234567-89ab-cdef-0123-456789ABCDEF}</Id></NetworkSettings>"
                                   u"</Settings><Triggers><CalendarTrigger>"
                                   u"<StartBoundary>2024-02-29T23:59:59.0043321-08:00</StartBoundary><ScheduleByMonth>"
                                   u"<DaysOfMonth><Day>31</Day><Day>Last</Day></DaysOfMonth><Months><May/></Months>"
                                   u"</ScheduleByMonth></CalendarTrigger></Triggers>"),
                       S_OK, u""},
        DefinitionCase{"BooleanCase", with_action(u"<Settings><Hidden>True</Hidden></Settings>"), SCHED_E_INVALIDVALUE,
                       u"(1,87):Hidden:True"},
        DefinitionCase{"BadReference", with_action(u"<Settings><Hidden>&bogus;</Hidden></Settings>"),
                       SCHED_E_INVALIDVALUE, u"(1,87):Hidden:&bogus;"},
        DefinitionCase{"IntervalBelowAMinute",
                       with_action(u"<Settings><RestartOnFailure><Interval>PT10S</Interval><Count>1</Count>"
                                   u"</RestartOnFailure></Settings>"),
                       SCHED_E_INVALIDVALUE, u"(1,107):Interval:PT10S"},
        DefinitionCase{"IntervalPastAMonth",
                       with_action(u"<Triggers><BootTrigger><Repetition><Interval>P31DT1S</Interval></Repetition>"
                                   u"</BootTrigger></Triggers>"),
                       SCHED_E_INVALIDVALUE, u"(1,114):Interval:P31DT1S"},
        DefinitionCase{"DurationPast64Bits",
                       with_action(u"<Settings><ExecutionTimeLimit>P99999999DT23H59M59S</ExecutionTimeLimit>"
                                   u"</Settings>"),
                       SCHED_E_INVALIDVALUE, u"(1,99):ExecutionTimeLimit:P99999999DT23H59M59S"},
        DefinitionCase{"NegativeDuration",
                       with_action(u"<Settings><ExecutionTimeLimit>-PT1H</ExecutionTimeLimit></Settings>"),
                       SCHED_E_INVALIDVALUE, u"(1,99):ExecutionTimeLimit:-PT1H"},
        DefinitionCase{"PriorityOutOfRange", with_action(u"<Settings><Priority>11</Priority></Settings>"),
                       SCHED_E_INVALIDVALUE, u"(1,89):Priority:11"},
        DefinitionCase{"NoSuchDay",
                       with_action(u"<RegistrationInfo><Date>2023-02-29T00:00:00</Date></RegistrationInfo>"),
                       SCHED_E_INVALIDVALUE, u"(1,93):Date:2023-02-29T00:00:00"},
        DefinitionCase{"DayWithLeadingZero",
                       with_action(u"<Triggers><CalendarTrigger><StartBoundary>2020-01-02T03:04:05</StartBoundary>"
                                   u"<ScheduleByMonth><DaysOfMonth><Day>01</Day></DaysOfMonth></ScheduleByMonth>"
                                   u"</CalendarTrigger></Triggers>"),
                       SCHED_E_INVALIDVALUE, u"(1,181):Day:01"},
        DefinitionCase{"UnknownPolicy",
                       with_action(u"<Settings><MultipleInstancesPolicy>ignorenew</MultipleInstancesPolicy>"
                                   u"</Settings>"),
                       SCHED_E_INVALIDVALUE, u"(1,104):MultipleInstancesPolicy:ignorenew"},
        DefinitionCase{"LongCommand",
                       task(u"<Actions><Exec><Command>" + repeated(u"a", 261) + u"</Command></Exec></Actions>"),
                       SCHED_E_INVALIDVALUE, u"(1,93):Command:" + std::u16string(261, u'a')},
        DefinitionCase{"EmptySubscription",
                       with_action(u"<Triggers><EventTrigger><Subscription/></EventTrigger></Triggers>"),
                       SCHED_E_INVALIDVALUE, u"(1,94):Subscription:"},
        DefinitionCase{"GuidWithoutBraces",
                       with_action(u"<Settings><NetworkSettings><Id>01234567-89ab-cdef-0123-456789abcdef</Id>"
                                   u"</NetworkSettings></Settings>"),
                       SCHED_E_INVALIDVALUE, u"(1,100):Id:01234567-89ab-cdef-0123-456789abcdef"},
        DefinitionCase{"TextInADay",
                       with_action(u"<Triggers><CalendarTrigger><StartBoundary>2020-01-02T03:04:05</StartBoundary>"
                                   u"<ScheduleByWeek><DaysOfWeek><Monday>x</Monday></DaysOfWeek></ScheduleByWeek>"
                                   u"</CalendarTrigger></Triggers>"),
                       SCHED_E_INVALIDVALUE, u"(1,182):Monday:x"},
        // The version, ids and Context.
        DefinitionCase{"NewestVersion",
                       task(u"<Actions><Exec><Command>a</Command><HideAppWindow>true</HideAppWindow>"
                            u"</Exec></Actions>",
                            u" version=\"1.6\""),
                       S_OK, u""},
        DefinitionCase{"OldestVersion",
                       with_action(u"<Settings><Enabled>true</Enabled></Settings>", u" version=\"1.0\""), S_OK, u""},
        DefinitionCase{"VersionOfOnePart", with_action(u"", u" version=\"1\""), SCHED_E_INVALIDVALUE,
                       u"(1,69):version:1"},
        DefinitionCase{"VersionTooNew", with_action(u"", u" version=\"1.7\""), SCHED_E_INVALIDVALUE,
                       u"(1,69):version:1.7"},
        DefinitionCase{"ElementAfterItsVersion",
                       with_action(u"<Settings><Volatile>false</Volatile></Settings>", u" version=\"1.3\""),
                       SCHED_E_UNEXPECTEDNODE, u"(1,94):Volatile:"},
        DefinitionCase{"ContextOfAPrincipal",
                       task(u"<Principals><Principal id=\"Author\"/></Principals><Actions Context=\"Author\">"
                            u"<Exec id=\"a0\"><Command>a</Command></Exec></Actions>"),
                       S_OK, u""},
        DefinitionCase{"ContextOfNoPrincipal",
                       task(u"<Actions Context=\"Author\"><Exec><Command>a</Command></Exec></Actions>"),
                       SCHED_E_INVALIDVALUE, u"(1,78):Context:Author"},
        DefinitionCase{"SameIdTwice",
                       task(u"<Triggers><BootTrigger id=\"x\"/></Triggers><Actions><Exec id=\"x\"><Command>a</Command>"
                            u"</Exec></Actions>"),
                       SCHED_E_INVALIDVALUE, u"(1,126):id:x"},
        DefinitionCase{"IdNotAName", with_action(u"<Triggers><BootTrigger id=\"1x\"/></Triggers>"),
                       SCHED_E_INVALIDVALUE, u"(1,92):id:1x"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace winsim_test
