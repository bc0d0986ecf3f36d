// write_stderr on the Windows branch: the bytes reach whatever the process's
// standard error handle is, and a missing or refusing handle ends the write.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace {

// Puts `handle` in place of the standard error handle for one test.
class StandardError : public testing::Test {
protected:
    void TearDown() override { SetStdHandle(STD_ERROR_HANDLE, saved_); }
    void use(HANDLE handle) { ASSERT_TRUE(SetStdHandle(STD_ERROR_HANDLE, handle)); }

private:
    HANDLE saved_ = GetStdHandle(STD_ERROR_HANDLE);
};

std::wstring scratch_file(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder, length) + name;
}

TEST_F(StandardError, ReceivesEveryByte) {
    const std::wstring path = scratch_file(L"velmora-stderr-test.txt");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    use(file);
    const std::string_view text("--- header ---\r\n\0after a NUL\n", 30);
    velmora::platform::write_stderr(text.data(), text.size());
    velmora::platform::write_stderr(text.data(), 0);

    std::string back(64, '\0');
    DWORD read = 0;
    ASSERT_NE(SetFilePointer(file, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    ASSERT_TRUE(ReadFile(file, back.data(), static_cast<DWORD>(back.size()), &read, nullptr));
    back.resize(read);
    EXPECT_EQ(back, text);
    CloseHandle(file);
}

TEST_F(StandardError, MissingOrRefusingHandleEndsTheWrite) {
    const std::wstring path = scratch_file(L"velmora-stderr-read-only.txt");
    HANDLE read_only = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(read_only, INVALID_HANDLE_VALUE);
    for (HANDLE handle : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, read_only}) {
        use(handle);
        velmora::platform::write_stderr("lost", 4);
    }
    EXPECT_EQ(GetFileSize(read_only, nullptr), 0u);
    CloseHandle(read_only);
}

}  // namespace
