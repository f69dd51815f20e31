#include "platform/reg_transaction.h"

#include "platform/testing_registry.h"

namespace velquor {
namespace {

class RegTransactionTest : public TempProfileTest {
 protected:
  static LSTATUS Write(const char* key_path) {
    HKEY key = nullptr;
    LSTATUS s = RegCreateKeyExA(HKEY_CURRENT_USER, key_path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                &key, nullptr);
    if (s == ERROR_SUCCESS) RegCloseKey(key);
    return s;
  }
};

TEST_F(RegTransactionTest, LeavingTheScopeWithoutACommitKeepsNothing) {
  {
    ScopedRegTransaction transaction;
    ASSERT_TRUE(transaction.owned()) << transaction.begin_status();
    ASSERT_EQ(Write("Lost"), ERROR_SUCCESS);
  }
  {
    ScopedRegTransaction transaction;
    ASSERT_EQ(Write("Kept"), ERROR_SUCCESS);
    EXPECT_EQ(transaction.Commit(), ERROR_SUCCESS);
    EXPECT_FALSE(transaction.owned());
  }
  EXPECT_EQ(DumpTree(HKEY_CURRENT_USER), "Kept\n");
  // Each scope ended its transaction: the thread may start another.
  ScopedRegTransaction next;
  EXPECT_TRUE(next.owned());
}

TEST_F(RegTransactionTest, AnInnerScopeLeavesTheDecisionToTheOuterOne) {
  {
    ScopedRegTransaction outer;
    ASSERT_TRUE(outer.owned());
    {
      ScopedRegTransaction inner;
      EXPECT_FALSE(inner.owned());
      EXPECT_EQ(inner.begin_status(), ERROR_INVALID_PARAMETER);
      ASSERT_EQ(Write("Inner"), ERROR_SUCCESS);
      EXPECT_EQ(inner.Commit(), ERROR_SUCCESS);
    }
    // The inner scope neither committed nor rolled back the outer writes.
    EXPECT_TRUE(outer.owned());
  }
  EXPECT_EQ(DumpTree(HKEY_CURRENT_USER), "");
}

}  // namespace
}  // namespace velquor
