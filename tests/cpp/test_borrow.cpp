// Borrow flags: shared and exclusive borrows and the messages of a conflict.
#include <gtest/gtest.h>

#include "utils/borrow.h"

namespace tovrel {
namespace {

TEST(BorrowFlag, SharedAndExclusiveConflicts) {
    BorrowFlag flag;
    {
        SharedBorrow a(flag);
        SharedBorrow b(flag);
        try {
            ExclusiveBorrow c(flag);
            FAIL() << "exclusive borrow granted while shared borrows are held";
        } catch (const BorrowConflict& e) {
            EXPECT_STREQ(e.what(), "Already borrowed");
        }
    }
    EXPECT_TRUE(flag.is_free());
    {
        ExclusiveBorrow a(flag);
        try {
            SharedBorrow b(flag);
            FAIL() << "shared borrow granted while an exclusive borrow is held";
        } catch (const BorrowConflict& e) {
            EXPECT_STREQ(e.what(), "Already mutably borrowed");
        }
        EXPECT_THROW(ExclusiveBorrow c(flag), BorrowConflict);
    }
    EXPECT_TRUE(flag.is_free());
}

}  // namespace
}  // namespace tovrel
