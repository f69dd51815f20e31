#include "platform/error_info.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// An error object that only counts its references.
class FakeErrorInfo : public IErrorInfo {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    ADD_FAILURE() << "unexpected QueryInterface";
    if (ppv != nullptr) *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
  ULONG STDMETHODCALLTYPE Release() override { return --count; }
  ULONG count = 1;
};

TEST(ErrorInfoTest, SetTakesAReferenceAndClearingGivesItBack) {
  FakeErrorInfo first;
  FakeErrorInfo second;
  EXPECT_EQ(SetErrorInfo(0, &first), S_OK);
  EXPECT_EQ(first.count, 2u);
  EXPECT_EQ(SetErrorInfo(0, &second), S_OK);
  EXPECT_EQ(first.count, 1u);
  EXPECT_EQ(second.count, 2u);
  EXPECT_EQ(SetErrorInfo(0, nullptr), S_OK);
  EXPECT_EQ(second.count, 1u);
  EXPECT_EQ(SetErrorInfo(0, nullptr), S_OK);  // clearing an empty slot
  EXPECT_EQ(SetErrorInfo(1, nullptr), E_INVALIDARG);
}

TEST(ErrorInfoTest, GetHandsTheObjectOverAndEachThreadHasItsOwn) {
  FakeErrorInfo info;
  ASSERT_EQ(SetErrorInfo(0, &info), S_OK);
  std::thread([] {
    IErrorInfo* other = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &other), S_FALSE);
    EXPECT_EQ(other, nullptr);
  }).join();
  IErrorInfo* got = nullptr;
  EXPECT_EQ(GetErrorInfo(0, &got), S_OK);
  EXPECT_EQ(got, &info);
  EXPECT_EQ(info.count, 2u);  // the caller now owns the slot's reference
  got->Release();
  EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE);
  EXPECT_EQ(got, nullptr);
}

TEST(ErrorInfoTest, LastErrorIsPerThreadAndResultCodesWrapIt) {
  SetLastError(ERROR_MOD_NOT_FOUND);
  std::thread([] { EXPECT_EQ(GetLastError(), 0u); }).join();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(velquor::HresultFromWin32(0), S_OK);
  EXPECT_EQ(static_cast<uint32_t>(velquor::HresultFromWin32(122)), 0x8007007Au);
  EXPECT_EQ(static_cast<uint32_t>(velquor::HresultFromWin32(ERROR_MOD_NOT_FOUND)), 0x8007007Eu);
}

}  // namespace
