// The Windows build of the extension module, loaded by the Windows loader
// beside a stand-in python314.dll whose functions end the process when called
// (PyModuleDef_Init aside): loading runs none of the interpreter's code, and
// the init function only hands over the module definition, laid out as the
// 64-bit Windows interpreter reads it.

#include <Python.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

constexpr std::wstring_view module_file = L"_velmora_backend.cp314-win_amd64.pyd";

// The build puts the module and the stand-in beside the test program.
std::wstring beside_this_program(std::wstring_view file) {
    std::wstring path(MAX_PATH, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    path.erase(path.find_last_of(L"\\/") + 1);
    return path + std::wstring(file);
}

template <class Function>
Function function_named(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

class LoadedModule {
public:
    explicit LoadedModule(const std::wstring& path)
        : handle_(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {}
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;
    ~LoadedModule() {
        if (handle_ != nullptr) FreeLibrary(handle_);
    }
    HMODULE get() const { return handle_; }

private:
    HMODULE handle_;
};

TEST(WindowsModule, LoadsAndInitHandsOverTheDefinitionOnly) {
    const LoadedModule module(beside_this_program(module_file));
    ASSERT_NE(module.get(), nullptr) << "LoadLibraryExW failed with " << GetLastError();
    HMODULE python = GetModuleHandleW(L"python314.dll");
    ASSERT_NE(python, nullptr);
    const int* init_calls = reinterpret_cast<const int*>(GetProcAddress(python, "velmora_stub_module_def_init_calls"));
    ASSERT_NE(init_calls, nullptr) << "python314.dll is not the stand-in";
    EXPECT_EQ(*init_calls, 0);

    const auto init = function_named<PyObject* (*)()>(module.get(), "PyInit__velmora_backend");
    ASSERT_NE(init, nullptr);
    const auto* definition = reinterpret_cast<const PyModuleDef*>(init());
    EXPECT_EQ(*init_calls, 1);
    ASSERT_NE(definition, nullptr);

    EXPECT_STREQ(definition->m_name, "_velmora_backend");
    ASSERT_NE(definition->m_doc, nullptr);
    EXPECT_STREQ(definition->m_doc, "");
    EXPECT_EQ(definition->m_size, 0);
    EXPECT_EQ(definition->m_methods, nullptr);
    EXPECT_EQ(definition->m_traverse, nullptr);
    EXPECT_EQ(definition->m_clear, nullptr);
    EXPECT_EQ(definition->m_free, nullptr);

    const PyModuleDef_Slot* slots = definition->m_slots;
    ASSERT_NE(slots, nullptr);
    EXPECT_EQ(slots[0].slot, Py_mod_exec);
    EXPECT_NE(slots[0].value, nullptr);
    EXPECT_EQ(slots[1].slot, Py_mod_gil);
    EXPECT_EQ(slots[1].value, Py_MOD_GIL_NOT_USED);
    EXPECT_EQ(slots[2].slot, 0);
    EXPECT_EQ(slots[2].value, nullptr);
}

}  // namespace
