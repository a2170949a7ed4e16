#include "edit_slots.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "engine_bridge.h"
#include "test_support.h"
#include "text_encoding.h"

namespace veltrox {
namespace {

using testing::FakeSlots;

TEST(WriteEdit, FillsSlotsInOrderWithOwnCopies) {
  FakeSlots slots;
  std::string url = "http://remote.example/api";
  ASSERT_TRUE(WriteEdit(slots.Address(), 10, url, kUnusedText));
  ASSERT_TRUE(WriteEdit(slots.Address(), 11, "remote", "other"));
  url.assign(url.size(), 'x');  // the caller's text is gone; the slot's copy is not

  ASSERT_EQ(slots.Used(), 2u);
  EXPECT_EQ(slots.At(0).code, RecordWord{10});
  EXPECT_STREQ(slots.At(0).text1, "http://remote.example/api");
  EXPECT_STREQ(slots.At(0).text2, "\x14");
  EXPECT_EQ(slots.At(1).code, RecordWord{11});
  EXPECT_STREQ(slots.At(1).text1, "remote");
  EXPECT_STREQ(slots.At(1).text2, "other");
}

TEST(WriteEdit, EmptyTextPointsAtOneZeroByte) {
  FakeSlots slots;
  ASSERT_TRUE(WriteEdit(slots.Address(), 2, "", ""));
  ASSERT_NE(slots.At(0).text1, nullptr);
  ASSERT_NE(slots.At(0).text2, nullptr);
  EXPECT_EQ(slots.At(0).text1[0], '\0');
  EXPECT_EQ(slots.At(0).text2[0], '\0');
}

TEST(WriteEdit, EleventhEditIsRefusedAndTheTenStay) {
  FakeSlots slots;
  for (int i = 1; i <= 10; ++i) {
    ASSERT_TRUE(WriteEdit(slots.Address(), i, "t" + std::to_string(i), "u")) << i;
  }
  std::vector<RecordWord> before(slots.Words(), slots.Words() + kSlotCount * kSlotWords + 1);
  EXPECT_FALSE(WriteEdit(slots.Address(), 12, "late", "late"));
  EXPECT_EQ(std::vector<RecordWord>(slots.Words(), slots.Words() + before.size()), before);
  for (std::size_t i = 0; i < kSlotCount; ++i) {
    EXPECT_EQ(slots.At(i).code, RecordWord(i + 1));
    EXPECT_EQ(slots.At(i).text1, "t" + std::to_string(i + 1));
  }
}

TEST(WriteEdit, TakesTheFirstFreeSlotAfterTheEnginesOwn) {
  FakeSlots slots;
  slots.Words()[0] = 16;  // filled by someone before us
  slots.Words()[kSlotWords] = 5;
  ASSERT_TRUE(WriteEdit(slots.Address(), 10, "u", "v"));
  EXPECT_EQ(slots.At(2).code, RecordWord{10});
  EXPECT_STREQ(slots.At(2).text1, "u");
}

TEST(WriteEdit, NoSlotAreaIsNoEdit) { EXPECT_FALSE(WriteEdit(0, 10, "u", "v")); }

TEST(WriteEdit, TextsOfAnySizeAndByteValue) {
  std::string large(300 * 1024, 'a');
  for (std::size_t i = 0; i < large.size(); i += 7) large[i] = static_cast<char>(0x80 + i % 100);
  std::string chinese = Gb(u8"目标地址");
  FakeSlots slots;
  ASSERT_TRUE(WriteEdit(slots.Address(), 2, large, chinese));
  EXPECT_EQ(std::string(slots.At(0).text1), large);
  EXPECT_EQ(std::string(slots.At(0).text2), chinese);
}

TEST(WriteEdit, ConcurrentHooksKeepTheirTexts) {
  // Several engine threads write edits at once; every text must stay intact.
  constexpr int kThreads = 6;
  constexpr int kEvents = 400;
  std::vector<std::thread> threads;
  std::vector<int> bad(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &bad] {
      for (int e = 0; e < kEvents; ++e) {
        FakeSlots slots;
        std::string text = "thread " + std::to_string(t) + " event " + std::to_string(e) + std::string(e % 50, '.');
        for (int s = 0; s < 3; ++s) WriteEdit(slots.Address(), 10 + s, text, text + "!");
        for (int s = 0; s < 3; ++s) {
          if (slots.At(s).text1 != text || slots.At(s).text2 != text + "!") ++bad[t];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(bad[t], 0) << "thread " << t;
}

TEST(EditOperations, EachWritesItsCodeAndTexts) {
  const std::string bytes("\x00\x01\xFF\x14", 4);  // "AAH/FA=="
  struct Case {
    const char* name;
    std::function<void(std::uintptr_t)> write;
    RecordWord code;
    std::string text1;
    std::string text2;
  } cases[] = {
      {"ReplaceInResponseBody", [](auto s) { EngineBridge::ReplaceInResponseBody(s, "find", "put"); }, 1, "find", "put"},
      {"SetResponseBody", [](auto s) { EngineBridge::SetResponseBody(s, "body"); }, 2, "body", "\x14"},
      {"SetResponseBody, two texts", [](auto s) { EngineBridge::SetResponseBody(s, "body", "second"); }, 2, "body",
       "second"},
      {"PrependToResponseBody", [](auto s) { EngineBridge::PrependToResponseBody(s, "<p>"); }, 3, "<p>", "\x14"},
      {"AddSetCookie", [](auto s) { EngineBridge::AddSetCookie(s, "a=1; Path=/"); }, 4, "a=1; Path=/", "\x14"},
      {"RemoveSetCookie", [](auto s) { EngineBridge::RemoveSetCookie(s); }, 5, "\x14", "\x14"},
      {"PutResponseHeader", [](auto s) { EngineBridge::PutResponseHeader(s, "X-A", "1"); }, 6, "X-A", "1"},
      {"SetResponseBodyBytes", [&](auto s) { EngineBridge::SetResponseBodyBytes(s, bytes); }, 7, "AAH/FA==", "\x14"},
      {"SetRequestBody", [](auto s) { EngineBridge::SetRequestBody(s, "q=1"); }, 8, "q=1", "\x14"},
      {"SetRequestBodyBytes", [&](auto s) { EngineBridge::SetRequestBodyBytes(s, bytes); }, 9, "AAH/FA==", "\x14"},
      {"SetUrl", [](auto s) { EngineBridge::SetUrl(s, "http://b/"); }, 10, "http://b/", "\x14"},
      {"ReplaceInUrl", [](auto s) { EngineBridge::ReplaceInUrl(s, "a", "b"); }, 11, "a", "b"},
      {"AppendQueryParameter", [](auto s) { EngineBridge::AppendQueryParameter(s, "x=1"); }, 12, "x=1", "\x14"},
      {"ReplaceInRequestBody", [](auto s) { EngineBridge::ReplaceInRequestBody(s, "a", "b"); }, 13, "a", "b"},
      {"SetRequestCookie", [](auto s) { EngineBridge::SetRequestCookie(s, "c=3"); }, 14, "c=3", "\x14"},
      {"PutRequestHeader", [](auto s) { EngineBridge::PutRequestHeader(s, "Origin", "http://a"); }, 15, "Origin",
       "http://a"},
      {"ReplaceInPayload", [](auto s) { EngineBridge::ReplaceInPayload(s, "ping", "pong"); }, 15, "ping", "pong"},
      {"SetPayload", [](auto s) { EngineBridge::SetPayload(s, "{}"); }, 16, "{}", "\x14"},
      {"SetResponseBodyBytes, no bytes", [](auto s) { EngineBridge::SetResponseBodyBytes(s, ""); }, 7, "", "\x14"},
  };
  for (const Case& c : cases) {
    FakeSlots slots;
    c.write(slots.Address());
    ASSERT_EQ(slots.Used(), 1u) << c.name;
    EXPECT_EQ(slots.At(0).code, c.code) << c.name;
    EXPECT_EQ(slots.At(0).text1, c.text1) << c.name;
    EXPECT_EQ(slots.At(0).text2, c.text2) << c.name;
  }
}

TEST(EditOperations, FullSlotsLoseTheEditQuietly) {
  FakeSlots slots;
  for (int i = 0; i < 10; ++i) EngineBridge::SetUrl(slots.Address(), "http://" + std::to_string(i) + "/");
  EngineBridge::SetUrl(slots.Address(), "http://late/");
  ASSERT_EQ(slots.Used(), 10u);
  EXPECT_STREQ(slots.At(9).text1, "http://9/");
}

TEST(Base64Texts, RoundTripsAndRefusals) {
  const std::string cases[] = {"", "f", "fo", "foo", std::string("\0\x80\xFF\x14", 4), std::string(1000, '\xA5')};
  for (const std::string& bytes : cases) {
    std::string text = ToBase64(bytes);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(text.size() % 4, 0u);
    EXPECT_EQ(FromBase64(text), bytes);
    EXPECT_EQ(EngineBridge::FromBase64(EngineBridge::ToBase64(bytes)), bytes);
  }
  EXPECT_EQ(ToBase64("foob"), "Zm9vYg==");
  for (const char* bad : {"Zm9", "Zm9v!", "Zg=", "Zm\n9v"}) EXPECT_EQ(FromBase64(bad), "") << bad;
}

}  // namespace
}  // namespace veltrox
