// ComPtr owns one reference: a move hands it over without a release, and
// the owner releases it once.

#include <gtest/gtest.h>

#include <utility>

#include "platform/com_ptr.h"

namespace velmora::platform {
namespace {

// Counts its releases: all of an interface that ComPtr needs to own it.
struct Counted {
    int releases = 0;
    unsigned long Release() { return static_cast<unsigned long>(++releases); }
};

ComPtr<Counted> owning(Counted& object) {
    ComPtr<Counted> pointer;
    *pointer.put() = &object;
    return pointer;
}

TEST(ComPtr, MoveAssignmentReleasesTheOldObjectAndTakesTheNewOne) {
    Counted old_object, new_object;
    {
        ComPtr<Counted> target = owning(old_object);
        ComPtr<Counted> source = owning(new_object);
        target = std::move(source);
        EXPECT_EQ(old_object.releases, 1);
        EXPECT_EQ(target.get(), &new_object);
        EXPECT_FALSE(source);
    }
    EXPECT_EQ(new_object.releases, 1);
}

TEST(ComPtr, MoveAssignmentToItselfKeepsTheObject) {
    Counted object;
    {
        ComPtr<Counted> pointer = owning(object);
        ComPtr<Counted>& same = pointer;
        pointer = std::move(same);
        EXPECT_EQ(pointer.get(), &object);
        EXPECT_EQ(object.releases, 0);
    }
    EXPECT_EQ(object.releases, 1);
}

}  // namespace
}  // namespace velmora::platform
