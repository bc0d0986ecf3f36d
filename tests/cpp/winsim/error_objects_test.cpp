// Per-thread error objects, plain and restricted, and RoOriginateError as it
// is reached through LoadLibraryExA and GetProcAddress.

#include "winsim_fixture.h"

namespace winsim_test {
namespace {

using ErrorObjects = Sim;

IErrorInfo* take_error_object() {
    IErrorInfo* info = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &info), S_OK);
    return info;
}

void expect_no_error_object() {
    IErrorInfo* info = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
    EXPECT_EQ(info, nullptr);
}

struct Details {
    HRESULT result;
    std::optional<std::u16string> description;
    HRESULT code;
    std::optional<std::u16string> restricted_description;
};

std::optional<std::u16string> consume(BSTR value) {
    if (value == nullptr) return std::nullopt;
    std::u16string text = text_of(value);
    SysFreeString(value);
    return text;
}

Details details_of(IRestrictedErrorInfo* restricted) {
    BSTR description = nullptr;
    BSTR restricted_description = nullptr;
    BSTR sid = nullptr;
    Details d{};
    d.result = restricted->GetErrorDetails(&description, &d.code, &restricted_description, &sid);
    EXPECT_EQ(sid, nullptr);
    d.description = consume(description);
    d.restricted_description = consume(restricted_description);
    return d;
}

IRestrictedErrorInfo* as_restricted(IErrorInfo* info) {
    IRestrictedErrorInfo* restricted = nullptr;
    EXPECT_EQ(info->QueryInterface(IID_IRestrictedErrorInfo, reinterpret_cast<void**>(&restricted)), S_OK);
    info->Release();
    return restricted;
}

TEST_F(ErrorObjects, NoneGivesSFalse) { expect_no_error_object(); }

TEST_F(ErrorObjects, ReservedAndNullArgumentsAreRejected) {
    IErrorInfo* info = nullptr;
    EXPECT_EQ(GetErrorInfo(1, &info), E_INVALIDARG);
    EXPECT_EQ(GetErrorInfo(0, nullptr), E_INVALIDARG);
    EXPECT_EQ(SetErrorInfo(1, nullptr), E_INVALIDARG);
}

// A scripted failing call is the public way to get a given error object onto the thread.
void leave(winsim::ErrorObject error) {
    winsim::script("CoInitializeEx", E_FAIL, false, std::move(error));
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), E_FAIL);
}

winsim::ErrorObject plain(std::optional<std::u16string> description) {
    return {winsim::ErrorObject::Kind::plain, std::move(description), 0, std::nullopt};
}

winsim::ErrorObject restricted(std::optional<std::u16string> description, HRESULT code,
                               std::optional<std::u16string> restricted_description) {
    return {winsim::ErrorObject::Kind::restricted, std::move(description), code, std::move(restricted_description)};
}

TEST_F(ErrorObjects, TakenExactlyOnce) {
    leave(plain(u"first"));
    IErrorInfo* info = take_error_object();
    ASSERT_NE(info, nullptr);
    expect_no_error_object();
    EXPECT_EQ(info->Release(), 0u);
}

TEST_F(ErrorObjects, PlainObjectOffersOnlyIErrorInfo) {
    leave(plain(u"text\r\n"));
    IErrorInfo* info = take_error_object();
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(info->QueryInterface(IID_IRestrictedErrorInfo, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(info->QueryInterface(IID_ILanguageExceptionErrorInfo2, &other), E_NOINTERFACE);
    BSTR description = nullptr;
    EXPECT_EQ(info->GetDescription(&description), S_OK);
    EXPECT_EQ(consume(description), u"text\r\n") << "handed out untrimmed";
    info->Release();
    EXPECT_TRUE(logged("IUnknown::QueryInterface(IErrorInfo)"));
    EXPECT_TRUE(logged("IErrorInfo::GetDescription"));
    EXPECT_EQ(winsim::calls().back(), "IUnknown::Release(IErrorInfo)");
}

TEST_F(ErrorObjects, PlainObjectWithoutDescriptionGivesNullBstr) {
    leave(plain(std::nullopt));
    IErrorInfo* info = take_error_object();
    BSTR description = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(info->GetDescription(&description), S_OK);
    EXPECT_EQ(description, nullptr);
    info->Release();
}

TEST_F(ErrorObjects, ScriptedGetDescription) {
    leave(plain(u"text"));
    IErrorInfo* info = take_error_object();
    winsim::script("GetDescription", E_OUTOFMEMORY);
    winsim::script("GetDescription", S_OK, true);
    BSTR description = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(info->GetDescription(&description), E_OUTOFMEMORY);
    EXPECT_EQ(description, nullptr);
    description = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(info->GetDescription(&description), S_OK);
    EXPECT_EQ(description, nullptr);
    EXPECT_EQ(info->GetDescription(&description), S_OK);
    EXPECT_EQ(consume(description), u"text");
    info->Release();
}

TEST_F(ErrorObjects, RestrictedObjectReportsItsDetails) {
    leave(restricted(u"generic\r\n", E_ACCESSDENIED, u"specific"));
    IRestrictedErrorInfo* r = as_restricted(take_error_object());
    const Details d = details_of(r);
    EXPECT_EQ(d.result, S_OK);
    EXPECT_EQ(d.description, u"generic\r\n");
    EXPECT_EQ(d.code, E_ACCESSDENIED);
    EXPECT_EQ(d.restricted_description, u"specific");

    ILanguageExceptionErrorInfo2* language = nullptr;
    ASSERT_EQ(r->QueryInterface(IID_ILanguageExceptionErrorInfo2, reinterpret_cast<void**>(&language)), S_OK);
    EXPECT_EQ(language->CapturePropagationContext(nullptr), S_OK);
    language->Release();
    EXPECT_EQ(r->Release(), 0u);
    EXPECT_TRUE(logged("IRestrictedErrorInfo::GetErrorDetails"));
    EXPECT_TRUE(logged("ILanguageExceptionErrorInfo2::CapturePropagationContext"));
    EXPECT_TRUE(logged("IUnknown::QueryInterface(IRestrictedErrorInfo)"));
    EXPECT_EQ(winsim::calls().back(), "IUnknown::Release(IRestrictedErrorInfo)");
}

TEST_F(ErrorObjects, RestrictedObjectWithNullDescriptions) {
    leave(restricted(std::nullopt, E_FAIL, std::nullopt));
    IRestrictedErrorInfo* r = as_restricted(take_error_object());
    const Details d = details_of(r);
    EXPECT_EQ(d.description, std::nullopt);
    EXPECT_EQ(d.restricted_description, std::nullopt);
    EXPECT_EQ(d.code, E_FAIL);
    r->Release();
}

TEST_F(ErrorObjects, ScriptedGetErrorDetailsFailureLeavesOutputsEmpty) {
    leave(restricted(u"generic", E_FAIL, u"specific"));
    IRestrictedErrorInfo* r = as_restricted(take_error_object());
    winsim::script("GetErrorDetails", E_UNEXPECTED);
    Details d = details_of(r);
    EXPECT_EQ(d.result, E_UNEXPECTED);
    EXPECT_EQ(d.code, 0);
    EXPECT_EQ(d.description, std::nullopt);
    EXPECT_EQ(d.restricted_description, std::nullopt);
    winsim::script("GetErrorDetails", S_OK, true);
    d = details_of(r);
    EXPECT_EQ(d.result, S_OK);
    EXPECT_EQ(d.code, E_FAIL);
    EXPECT_EQ(d.description, std::nullopt);
    r->Release();
}

TEST_F(ErrorObjects, SettingReplacesAndNullClears) {
    leave(plain(u"one"));
    IErrorInfo* one = take_error_object();
    EXPECT_EQ(SetErrorInfo(0, one), S_OK);
    EXPECT_EQ(one->Release(), 1u) << "the thread holds its own reference";
    EXPECT_EQ(winsim::live_objects(), baseline_ + 1);
    EXPECT_EQ(SetErrorInfo(0, nullptr), S_OK);
    EXPECT_EQ(winsim::live_objects(), baseline_);
    expect_no_error_object();
}

TEST_F(ErrorObjects, PerThread) {
    leave(plain(u"main"));
    HRESULT other = E_FAIL;
    std::thread([&] {
        IErrorInfo* info = nullptr;
        other = GetErrorInfo(0, &info);
    }).join();
    EXPECT_EQ(other, S_FALSE);
    take_error_object()->Release();
}

TEST_F(ErrorObjects, ParkedObjectGoesWithItsThread) {
    std::thread([] { leave(plain(u"parked")); }).join();
    EXPECT_EQ(winsim::live_objects(), baseline_);
}

TEST_F(ErrorObjects, ParkedObjectIsAlive) {
    leave(plain(u"parked"));
    EXPECT_EQ(winsim::live_objects(), baseline_ + 1);
    discard_error_object();
}

// --- RoOriginateError ----------------------------------------------------------------

class Combase {
public:
    Combase() : module_(LoadLibraryExA("combase.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) {}
    Combase(const Combase&) = delete;
    Combase& operator=(const Combase&) = delete;
    ~Combase() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    HMODULE module() const { return module_; }
    PFN_RoOriginateError originate() const {
        return reinterpret_cast<PFN_RoOriginateError>(
            reinterpret_cast<void (*)()>(GetProcAddress(module_, "RoOriginateError")));
    }

private:
    HMODULE module_;
};

BOOL originate(HRESULT code, std::u16string_view message) {
    Combase combase;
    EXPECT_NE(combase.module(), nullptr);
    PFN_RoOriginateError function = combase.originate();
    EXPECT_NE(function, nullptr);
    HSTRING text = nullptr;
    EXPECT_EQ(WindowsCreateString(message.data(), static_cast<UINT32>(message.size()), &text), S_OK);
    const BOOL result = function(code, text);
    WindowsDeleteString(text);
    return result;
}

TEST_F(ErrorObjects, RoOriginateErrorLeavesARestrictedObject) {
    EXPECT_EQ(originate(E_ACCESSDENIED, u"custom text\n"), TRUE);
    IRestrictedErrorInfo* r = as_restricted(take_error_object());
    const Details d = details_of(r);
    EXPECT_EQ(d.code, E_ACCESSDENIED);
    EXPECT_EQ(d.restricted_description, u"custom text\n");
    EXPECT_EQ(d.description, u"Access is denied.\r\n") << "the description is the system text of the code";
    r->Release();
    const std::vector<std::string> expected = {"LoadLibraryExA",
                                               "GetProcAddress",
                                               "WindowsCreateString",
                                               "RoOriginateError",
                                               "WindowsDeleteString",
                                               "FreeLibrary",
                                               "GetErrorInfo",
                                               "IUnknown::QueryInterface(IRestrictedErrorInfo)",
                                               "IUnknown::Release(IRestrictedErrorInfo)"};
    auto calls = winsim::calls();
    calls.resize(expected.size());
    EXPECT_EQ(calls, expected);
}

TEST_F(ErrorObjects, RoOriginateErrorCutsTheMessage) {
    const std::u16string long_message(MAX_ERROR_MESSAGE_CHARS + 10, u'x');
    ASSERT_EQ(originate(E_FAIL, long_message), TRUE);
    IRestrictedErrorInfo* r = as_restricted(take_error_object());
    EXPECT_EQ(details_of(r).restricted_description, long_message.substr(0, MAX_ERROR_MESSAGE_CHARS));
    r->Release();
}

TEST_F(ErrorObjects, RoOriginateErrorWithNullMessage) {
    Combase combase;
    ASSERT_EQ(combase.originate()(E_FAIL, nullptr), TRUE);
    IRestrictedErrorInfo* r = as_restricted(take_error_object());
    const Details d = details_of(r);
    EXPECT_EQ(d.code, E_FAIL);
    EXPECT_EQ(d.description, u"Unspecified error\r\n");
    EXPECT_EQ(d.restricted_description, u"");
    r->Release();
}

TEST_F(ErrorObjects, RoOriginateErrorIgnoresSuccess) {
    EXPECT_EQ(originate(S_OK, u"nothing"), FALSE);
    EXPECT_EQ(originate(S_FALSE, u"nothing"), FALSE);
    expect_no_error_object();
}

TEST_F(ErrorObjects, RoOriginateErrorReplacesAPlainObject) {
    leave(plain(u"old"));
    ASSERT_EQ(originate(E_FAIL, u"new"), TRUE);
    IRestrictedErrorInfo* r = as_restricted(take_error_object());
    EXPECT_EQ(details_of(r).restricted_description, u"new");
    r->Release();
    EXPECT_EQ(winsim::live_objects(), baseline_);
}

TEST_F(ErrorObjects, CombaseCanBeMissing) {
    winsim::set_combase(false, true);
    EXPECT_EQ(LoadLibraryExA("combase.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS), nullptr);
    winsim::set_combase(true, false);
    Combase combase;
    ASSERT_NE(combase.module(), nullptr);
    EXPECT_EQ(combase.originate(), nullptr);
}

TEST_F(ErrorObjects, LoaderKnowsOnlyCombase) {
    EXPECT_EQ(LoadLibraryExA("ole32.dll", nullptr, 0), nullptr);
    EXPECT_EQ(LoadLibraryExA(nullptr, nullptr, 0), nullptr);
    Combase upper_case;  // names are case-insensitive on Windows
    HMODULE again = LoadLibraryExA("COMBASE.DLL", nullptr, 0);
    EXPECT_EQ(again, upper_case.module());
    EXPECT_EQ(GetProcAddress(again, "NoSuchExport"), nullptr);
    EXPECT_EQ(FreeLibrary(again), TRUE);
}

TEST_F(ErrorObjects, UnbalancedFreeLibraryIsReported) {
    HMODULE module = LoadLibraryExA("combase.dll", nullptr, 0);
    EXPECT_EQ(FreeLibrary(module), TRUE);
    EXPECT_EQ(FreeLibrary(module), FALSE);
    EXPECT_EQ(winsim::violations(), std::vector<std::string>{"FreeLibrary of a module that is not loaded"});
    winsim::reset();
}

}  // namespace
}  // namespace winsim_test
