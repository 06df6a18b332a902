// The shell's exit call into the vendor library, against a stand-in beside
// this program.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/win32/sdtapi_win32.h"

namespace talvex::platform::win32 {
namespace {

TEST(VendorExit, ExportNumberOneIsCalledOnceWithZeroBufferZero) {
  // Held open here so that its state outlives the call's own load.
  HMODULE held = LoadLibraryW(L"sdtapi.dll");
  ASSERT_NE(held, nullptr);
  using State = void(__stdcall*)(int*, std::int32_t*, std::int32_t*, int*);
  auto state =
      reinterpret_cast<State>(reinterpret_cast<void*>(GetProcAddress(held, "FakeSdtapiState")));
  ASSERT_NE(state, nullptr);

  EXPECT_TRUE(CallVendorExit());
  int calls = 0, wrote = 0;
  std::int32_t first = -1, third = -1;
  state(&calls, &first, &third, &wrote);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(third, 0);
  EXPECT_EQ(wrote, 1);
  FreeLibrary(held);
}

}  // namespace
}  // namespace talvex::platform::win32
