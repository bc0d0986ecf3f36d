// The well-formedness check of RegisterTask: which documents pass, and the
// position and text of the first error in those that do not.

#include "winsim_fixture.h"

namespace winsim_test {
namespace {

using namespace std::string_view_literals;

struct XmlCase {
    const char* name;
    std::u16string document;
    // Empty: well-formed.
    std::u16string_view description;
};

class XmlCheck : public Sim, public ::testing::WithParamInterface<XmlCase> {};

// A valid task definition whose Data element, whose content is any, holds `data`.
std::u16string with_data(std::u16string_view data, std::u16string_view task_attributes = u"") {
    return u"<Task xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\"" + std::u16string(task_attributes) +
           u"><Actions><Exec><Command>c</Command></Exec></Actions><Data>" + std::u16string(data) + u"</Data></Task>";
}

// The description of the error object RegisterTask left, or nullopt when it succeeded.
std::optional<std::u16string> register_and_describe(const Session& session, std::u16string_view xml) {
    const HRESULT hr = session.register_task(u"Checked", xml);
    if (SUCCEEDED(hr)) return std::nullopt;
    EXPECT_EQ(hr, SCHED_E_MALFORMEDXML);
    IErrorInfo* info = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &info), S_OK);
    if (info == nullptr) return u"<no error object>";
    BSTR description = nullptr;
    EXPECT_EQ(info->GetDescription(&description), S_OK);
    std::u16string text = text_of(description);
    SysFreeString(description);
    info->Release();
    return text;
}

TEST_P(XmlCheck, FindsTheFirstError) {
    Session session;
    const std::optional<std::u16string> description = register_and_describe(session, GetParam().document);
    if (GetParam().description.empty()) {
        EXPECT_EQ(description, std::nullopt);
        EXPECT_EQ(winsim::tasks().count(u"Checked"), 1u);
    } else {
        EXPECT_EQ(description, std::u16string(GetParam().description));
        EXPECT_TRUE(winsim::tasks().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    WellFormed, XmlCheck,
    ::testing::Values(
        XmlCase{"Minimal", with_data(u""), u""},
        XmlCase{"Declaration", u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + with_data(u""), u""},
        XmlCase{"ByteOrderMark", u"\xFEFF<?xml version='1.0'?>\r\n" + with_data(u""), u""},
        XmlCase{"MiscAround",
                u"  <!-- c --><?pi x?>\n" +
                    with_data(u"text<![CDATA[<x>]]><!--in-->", u" version='1.2' xmlns:a = \"urn:a\"") + u"\n<!--end-->",
                u""},
        XmlCase{"Nested", with_data(u"<a><b><c/></b><b2 x='>'>t</b2></a>"), u""},
        XmlCase{"OtherCharacters", with_data(u"<t\xE9st \xE4ttr='\xD83D\xDE00'>\0\xD800</t\xE9st>"sv), u""},
        XmlCase{"SpaceInEndTag", with_data(u"<a></a \n>"), u""}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Malformed, XmlCheck,
    ::testing::Values(
        XmlCase{"Empty", u"", u"(1,1)::ERROR: XML document must have a top level element"},
        XmlCase{"OnlySpace", u" \n ", u"(2,2)::ERROR: XML document must have a top level element"},
        XmlCase{"PlainText", u"not xml", u"(1,1)::ERROR: invalid at the top level of the document"},
        XmlCase{"TextAfterRoot", u"<a/>\nx", u"(2,1)::ERROR: invalid at the top level of the document"},
        XmlCase{"TwoRoots", u"<a/><b/>", u"(1,5)::ERROR: only one top level element is allowed in an XML document"},
        XmlCase{"Unclosed", u"<a><b></b>", u"(1,11)::ERROR: unexpected end of input"},
        XmlCase{"Mismatch", u"<a>\r\n  <b></a>", u"(2,6)::ERROR: end tag does not match the start tag"},
        XmlCase{"StrayEndTag", u"</a>", u"(1,1)::ERROR: invalid at the top level of the document"},
        XmlCase{"UnquotedAttribute", u"<a b=1/>",
                u"(1,6)::ERROR: a string literal was expected, but no opening quote character was found"},
        XmlCase{"MissingEquals", u"<a b '1'/>",
                u"(1,6)::ERROR: missing equals sign between attribute and attribute value"},
        XmlCase{"UnterminatedValue", u"<a b='1/>", u"(1,10)::ERROR: unexpected end of input"},
        XmlCase{"LessThanInValue", u"<a b='<'/>",
                u"(1,7)::ERROR: the character '<' cannot be used in an attribute value"},
        XmlCase{"DuplicateAttribute", u"<a b='1' b='2'/>", u"(1,10)::ERROR: duplicate attribute"},
        XmlCase{"NoSpaceBetweenAttributes", u"<a b='1'c='2'/>", u"(1,9)::ERROR: missing whitespace"},
        XmlCase{"BadNameStart", u"<1a/>", u"(1,2)::ERROR: a name was started with an invalid character"},
        XmlCase{"LateDeclaration", u"<!--c--><?xml version='1.0'?><a/>",
                u"(1,9)::ERROR: XML declaration is allowed only at the start of the document"},
        XmlCase{"Doctype", u"<!DOCTYPE a><a/>", u"(1,1)::ERROR: DTD is prohibited"},
        XmlCase{"UnterminatedComment", u"<a><!-- x</a>", u"(1,14)::ERROR: unexpected end of input"},
        XmlCase{"CarriageReturnLines", u"<a>\r\r<b></c></a>", u"(3,4)::ERROR: end tag does not match the start tag"}),
    [](const auto& info) { return std::string(info.param.name); });

using XmlDepth = Sim;

TEST_F(XmlDepth, DeepNestingIsChecked) {
    std::u16string deep;
    for (int i = 0; i < 100000; ++i) deep += u"<a>";
    for (int i = 0; i < 100000; ++i) deep += u"</a>";
    {
        Session session;
        EXPECT_EQ(session.register_task(u"Deep", with_data(deep)), S_OK);
        deep.pop_back();
        EXPECT_EQ(session.register_task(u"Deep", with_data(deep)), SCHED_E_MALFORMEDXML);
        IErrorInfo* info = nullptr;
        ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
        info->Release();
    }
}

}  // namespace
}  // namespace winsim_test
