#pragma once
// Shared fixture of the simulation's tests: every case starts from reset() and
// ends with nothing alive, no misuse seen and the thread's COM state balanced.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "winsim/control.h"
#include "winsim/windows.h"

namespace winsim_test {

class Sim : public ::testing::Test {
protected:
    void SetUp() override {
        discard_error_object();
        winsim::reset();
        winsim::set_apartment(winsim::Apartment::none);
        baseline_ = winsim::live_objects();
    }

    void TearDown() override {
        EXPECT_EQ(winsim::live_objects(), baseline_) << "objects or strings leaked";
        EXPECT_EQ(winsim::violations(), std::vector<std::string>{});
        EXPECT_EQ(winsim::init_depth(), 0);
        winsim::set_apartment(winsim::Apartment::none);
    }

    // Drops whatever error object the thread holds.
    static void discard_error_object() {
        IErrorInfo* info = nullptr;
        if (GetErrorInfo(0, &info) == S_OK && info != nullptr) info->Release();
    }

    static bool logged(const std::string& entry) {
        const auto calls = winsim::calls();
        return std::find(calls.begin(), calls.end(), entry) != calls.end();
    }

    long baseline_ = 0;
};

// An owned BSTR for tests.
class TestBstr {
public:
    explicit TestBstr(std::u16string_view text)
        : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    TestBstr(const TestBstr&) = delete;
    TestBstr& operator=(const TestBstr&) = delete;
    ~TestBstr() {
        if (value_ != nullptr) SysFreeString(value_);
    }
    BSTR get() const { return value_; }

private:
    BSTR value_;
};

inline std::u16string text_of(BSTR value) {
    return value == nullptr ? std::u16string() : std::u16string(value, SysStringLen(value));
}

// A connected service and its root folder on an MTA thread, released in reverse.
class Session {
public:
    Session() {
        init_ = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(init_) && init_ != RPC_E_CHANGED_MODE) return;
        if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                    reinterpret_cast<void**>(&service_))))
            return;
        VARIANT empty{};
        if (FAILED(service_->Connect(empty, empty, empty, empty))) return;
        TestBstr root(u"\\");
        service_->GetFolder(root.get(), &folder_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (folder_ != nullptr) folder_->Release();
        if (service_ != nullptr) service_->Release();
        if (SUCCEEDED(init_)) CoUninitialize();
    }

    ITaskService* service() const { return service_; }
    ITaskFolder* folder() const { return folder_; }

    HRESULT register_task(std::u16string_view name, std::u16string_view xml, LONG flags = TASK_CREATE_OR_UPDATE,
                          IRegisteredTask** out = nullptr) const {
        TestBstr name_bstr(name);
        TestBstr xml_bstr(xml);
        VARIANT empty{};
        return folder_->RegisterTask(name.empty() ? nullptr : name_bstr.get(), xml_bstr.get(), flags, empty, empty,
                                     TASK_LOGON_INTERACTIVE_TOKEN, empty, out);
    }

private:
    HRESULT init_ = E_FAIL;
    ITaskService* service_ = nullptr;
    ITaskFolder* folder_ = nullptr;
};

inline constexpr std::u16string_view sample_xml =
    u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
    u"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
    u"  <Actions><Exec><Command>cmd.exe</Command></Exec></Actions>\n"
    u"</Task>\n";

}  // namespace winsim_test
