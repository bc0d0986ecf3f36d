// Apartments, their initialisation count, and object creation.

#include "winsim_fixture.h"

namespace winsim_test {
namespace {

using ComRuntime = Sim;

TEST_F(ComRuntime, FirstInitialisationSucceedsAndRepeatsCount) {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(winsim::init_depth(), 1);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(winsim::init_depth(), 2);
    CoUninitialize();
    EXPECT_EQ(winsim::init_depth(), 1);
    CoUninitialize();
}

struct ModeChange {
    DWORD first;
    DWORD second;
};

class ComRuntimeModes : public Sim, public ::testing::WithParamInterface<ModeChange> {};

TEST_P(ComRuntimeModes, OtherApartmentIsRefusedWithoutCounting) {
    ASSERT_EQ(CoInitializeEx(nullptr, GetParam().first), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, GetParam().second), RPC_E_CHANGED_MODE);
    EXPECT_EQ(winsim::init_depth(), 1);
    CoUninitialize();
}

INSTANTIATE_TEST_SUITE_P(Both, ComRuntimeModes,
                         ::testing::Values(ModeChange{COINIT_APARTMENTTHREADED, COINIT_MULTITHREADED},
                                           ModeChange{COINIT_MULTITHREADED, COINIT_APARTMENTTHREADED}));

TEST_F(ComRuntime, SetApartmentPutsTheThreadInIt) {
    winsim::set_apartment(winsim::Apartment::sta);
    EXPECT_EQ(winsim::init_depth(), 1);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    CoUninitialize();
    CoUninitialize();
}

TEST_F(ComRuntime, ReservedPointerIsRejected) {
    int reserved = 0;
    EXPECT_EQ(CoInitializeEx(&reserved, COINIT_MULTITHREADED), E_INVALIDARG);
    EXPECT_EQ(winsim::init_depth(), 0);
}

TEST_F(ComRuntime, UnbalancedUninitialiseIsReported) {
    CoUninitialize();
    ASSERT_EQ(winsim::violations().size(), 1u);
    EXPECT_NE(winsim::violations()[0].find("CoUninitialize"), std::string::npos);
    winsim::reset();
}

TEST_F(ComRuntime, ApartmentsArePerThread) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    HRESULT other = E_FAIL;
    int other_depth = -1;
    std::thread([&] {
        other = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        other_depth = winsim::init_depth();
        CoUninitialize();
    }).join();
    EXPECT_EQ(other, S_OK);
    EXPECT_EQ(other_depth, 1);
    EXPECT_EQ(winsim::init_depth(), 1);
    CoUninitialize();
}

struct CreateCase {
    const char* name;
    bool initialise;
    const CLSID* clsid;
    bool outer;
    const IID* iid;
    HRESULT expected;
};

class Creation : public Sim, public ::testing::WithParamInterface<CreateCase> {};

TEST_P(Creation, GivesTheRuntimeResult) {
    const CreateCase& c = GetParam();
    if (c.initialise) {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    }
    struct Outer final : IUnknown {
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
        ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
        ULONG STDMETHODCALLTYPE Release() override { return 1; }
    } outer;
    void* object = reinterpret_cast<void*>(1);
    const HRESULT hr = CoCreateInstance(*c.clsid, c.outer ? &outer : nullptr, CLSCTX_INPROC_SERVER, *c.iid, &object);
    EXPECT_EQ(hr, c.expected);
    if (SUCCEEDED(hr)) {
        ASSERT_NE(object, nullptr);
        static_cast<IUnknown*>(object)->Release();
    } else {
        EXPECT_EQ(object, nullptr);
    }
    if (c.initialise) CoUninitialize();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Creation,
    ::testing::Values(
        CreateCase{"Service", true, &CLSID_TaskScheduler, false, &IID_ITaskService, S_OK},
        CreateCase{"Unknown", true, &CLSID_TaskScheduler, false, &IID_IUnknown, S_OK},
        CreateCase{"Dispatch", true, &CLSID_TaskScheduler, false, &IID_IDispatch, S_OK},
        CreateCase{"NoApartment", false, &CLSID_TaskScheduler, false, &IID_ITaskService, CO_E_NOTINITIALIZED},
        CreateCase{"OtherClass", true, &IID_ITaskFolder, false, &IID_ITaskService, REGDB_E_CLASSNOTREG},
        CreateCase{"OtherInterface", true, &CLSID_TaskScheduler, false, &IID_ITaskFolder, E_NOINTERFACE},
        CreateCase{"Aggregation", true, &CLSID_TaskScheduler, true, &IID_ITaskService, CLASS_E_NOAGGREGATION}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ComRuntime, ReferenceCountsAndQueryInterface) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ITaskService* service = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                               reinterpret_cast<void**>(&service)),
              S_OK);
    EXPECT_EQ(winsim::live_objects(), baseline_ + 1);
    EXPECT_EQ(service->AddRef(), 2u);
    IUnknown* unknown = nullptr;
    EXPECT_EQ(service->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(unknown, static_cast<IUnknown*>(service));
    void* folder = reinterpret_cast<void*>(1);
    EXPECT_EQ(service->QueryInterface(IID_ITaskFolder, &folder), E_NOINTERFACE);
    EXPECT_EQ(folder, nullptr);
    EXPECT_EQ(unknown->Release(), 2u);
    EXPECT_EQ(service->Release(), 1u);
    EXPECT_EQ(service->Release(), 0u);
    EXPECT_EQ(winsim::live_objects(), baseline_);
    const std::vector<std::string> expected = {
        "CoInitializeEx",
        "CoCreateInstance",
        "IUnknown::AddRef(ITaskService)",
        "IUnknown::QueryInterface(ITaskService)",
        "IUnknown::QueryInterface(ITaskService)",
        "IUnknown::Release(ITaskService)",
        "IUnknown::Release(ITaskService)",
        "IUnknown::Release(ITaskService)",
    };
    EXPECT_EQ(winsim::calls(), expected);
    CoUninitialize();
}

TEST_F(ComRuntime, ReleaseOfAReleasedObjectIsReported) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ITaskService* service = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                               reinterpret_cast<void**>(&service)),
              S_OK);
    service->Release();
    EXPECT_EQ(service->Release(), 0u);
    EXPECT_EQ(service->AddRef(), 0u);
    void* again = reinterpret_cast<void*>(1);
    EXPECT_EQ(service->QueryInterface(IID_ITaskService, &again), E_UNEXPECTED);
    EXPECT_EQ(again, nullptr);
    VARIANT empty{};
    EXPECT_EQ(service->Connect(empty, empty, empty, empty), E_UNEXPECTED);
    EXPECT_EQ(winsim::live_objects(), baseline_) << "a released object stays released";
    const std::vector<std::string> expected = {
        "IUnknown::Release on a released ITaskService",
        "IUnknown::AddRef on a released ITaskService",
        "IUnknown::QueryInterface on a released ITaskService",
        "ITaskService::Connect on a released ITaskService",
    };
    EXPECT_EQ(winsim::violations(), expected);
    CoUninitialize();
    winsim::reset();
}

TEST_F(ComRuntime, UseOutsideAnApartmentIsReported) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ITaskService* service = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                               reinterpret_cast<void**>(&service)),
              S_OK);
    CoUninitialize();
    service->Release();
    EXPECT_EQ(winsim::violations(),
              std::vector<std::string>{"IUnknown::Release(ITaskService) on a thread without a COM apartment"});
    winsim::reset();
}

}  // namespace
}  // namespace winsim_test
