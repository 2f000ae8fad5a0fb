// The syslog channel's queue: numbering and acknowledgement, and the bound
// that refuses a message until the consumer takes a batch.
#include <gtest/gtest.h>

#include <deque>

#include "core/delivery_queue.h"

namespace cvn {
namespace {

TEST(DeliveryQueueTest, AFullQueueRefusesUntilABatchIsTaken) {
  DeliveryQueue queue;
  queue.SetCapacity(2);
  platform::Event wake;
  ASSERT_TRUE(queue.TryPush("m1", &wake));
  EXPECT_TRUE(wake.Wait(0));  // the first message of an empty queue wakes the consumer
  ASSERT_TRUE(queue.TryPush("m2", &wake));
  EXPECT_FALSE(wake.Wait(0));
  EXPECT_FALSE(queue.HalfEmpty());
  EXPECT_FALSE(queue.TryPush("m3", &wake));  // refused: nothing queued, no number
  EXPECT_TRUE(wake.Wait(0));                 // and the consumer is woken to drain
  EXPECT_EQ(queue.Issued(), 2u);

  std::deque<QueuedMessage> batch;
  EXPECT_EQ(queue.TakeBatch(batch, 512, 1 << 20), 2u);
  EXPECT_TRUE(queue.HalfEmpty());
  ASSERT_TRUE(queue.TryPush("m3", &wake));
  EXPECT_EQ(batch.front().seq, 1u);
  EXPECT_EQ(batch.back().text, "m2");
  EXPECT_EQ(queue.Issued(), 3u);

  // Acknowledgements only ever move forwards; a purge counts everything
  // issued as handled.
  queue.Acknowledge(2);
  queue.Acknowledge(1);
  EXPECT_EQ(queue.Acknowledged(), 2u);
  queue.Purge();
  EXPECT_EQ(queue.Size(), 0u);
  EXPECT_EQ(queue.Acknowledged(), 3u);

  // A batch takes at least one message, then as many as both limits allow.
  queue.SetCapacity(0);
  for (const char* m : {"aaaa", "bbbb", "cccc"}) queue.Push(m);
  batch.clear();
  EXPECT_EQ(queue.TakeBatch(batch, 512, 3), 1u);
  EXPECT_EQ(queue.TakeBatch(batch, 2, 1 << 20), 2u);
}

}  // namespace
}  // namespace cvn
