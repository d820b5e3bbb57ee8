// Buffers and the buffer pool: hand-out order, layout, refusal of a second fill, release, and the
// free list under several threads.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "usbio/UsbBuf.h"

namespace {

TEST(UsbBufPool, HandsOutLastFirstAndTakesBackOnTop) {
  CUsbBufPool pool;
  EXPECT_EQ(pool.TakeBuffer(), nullptr);
  ASSERT_TRUE(pool.AllocateBuffers(64, 5));
  EXPECT_EQ(pool.FreeCount(), 5);
  CUsbBuf* array = pool.Buffers();
  for (int expected = 4; expected >= 0; --expected) {
    CUsbBuf* buffer = pool.TakeBuffer();
    ASSERT_EQ(buffer, &array[expected]);
    EXPECT_EQ(buffer->next, nullptr) << "a taken buffer must not point into the free list";
  }
  EXPECT_EQ(pool.FreeCount(), 0);
  EXPECT_EQ(pool.TakeBuffer(), nullptr);

  pool.ReturnBuffer(&array[1]);
  pool.ReturnBuffer(&array[3]);
  EXPECT_EQ(pool.FreeCount(), 2);
  EXPECT_EQ(pool.TakeBuffer(), &array[3]);
  EXPECT_EQ(pool.TakeBuffer(), &array[1]);
  EXPECT_EQ(pool.TakeBuffer(), nullptr);
}

TEST(UsbBufPool, BuffersShareOneBlockAndHaveEventsOfTheirOwn) {
  CUsbBufPool pool;
  ASSERT_TRUE(pool.AllocateBuffers(64, 5));
  CUsbBuf* array = pool.Buffers();
  auto* base = static_cast<unsigned char*>(array[0].Data());
  std::set<HANDLE> events;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(array[i].Data(), base + i * 64);
    EXPECT_EQ(array[i].Size(), 64u);
    EXPECT_EQ(array[i].finished, 0u);
    events.insert(array[i].overlapped.hEvent);
  }
  EXPECT_EQ(events.size(), 5u);
  EXPECT_EQ(events.count(nullptr), 0u);
  // Every byte of the block is the pool's (the sanitizer builds catch a short block).
  for (int i = 0; i < 5 * 64; ++i) base[i] = static_cast<unsigned char>(i);

  // Manual reset: a completed transfer stays visible to every later wait.
  HANDLE event = array[0].overlapped.hEvent;
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
}

TEST(UsbBufPool, SecondFillIsRefusedAndReleaseIsHarmlessAnyNumberOfTimes) {
  CUsbBufPool pool;
  pool.ReleaseBuffers();
  ASSERT_TRUE(pool.AllocateBuffers(64, 5));
  CUsbBuf* array = pool.Buffers();
  CUsbBuf* held = pool.TakeBuffer();

  EXPECT_FALSE(pool.AllocateBuffers(32, 3));
  EXPECT_EQ(pool.Buffers(), array);
  EXPECT_EQ(pool.FreeCount(), 4);
  EXPECT_EQ(held->Size(), 64u);
  for (int expected = 3; expected >= 0; --expected) EXPECT_EQ(pool.TakeBuffer(), &array[expected]);

  pool.ReleaseBuffers();
  pool.ReleaseBuffers();
  EXPECT_EQ(pool.FreeCount(), 0);
  EXPECT_EQ(pool.TakeBuffer(), nullptr);
  ASSERT_TRUE(pool.AllocateBuffers(16, 2));
  EXPECT_EQ(pool.FreeCount(), 2);
}

TEST(UsbBufPool, FreeListStaysWholeUnderConcurrentUse) {
  CUsbBufPool pool;
  ASSERT_TRUE(pool.AllocateBuffers(8, 5));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&pool] {
      for (int i = 0; i < 5000; ++i) {
        CUsbBuf* buffer = pool.TakeBuffer();
        if (buffer == nullptr) continue;
        buffer->bytesToTransfer = static_cast<uint32_t>(i);  // a buffer handed out twice races here
        pool.ReturnBuffer(buffer);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(pool.FreeCount(), 5);
  std::set<CUsbBuf*> seen;
  while (CUsbBuf* buffer = pool.TakeBuffer()) seen.insert(buffer);
  EXPECT_EQ(seen.size(), 5u);
}

}  // namespace
