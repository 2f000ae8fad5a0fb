// The syslog channel's queue: numbering and acknowledgement, the bound that
// holds the producer back until the consumer takes a batch, and a wait that
// ends when the producer gives up.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <thread>

#include "core/delivery_queue.h"

namespace cvn {
namespace {

TEST(DeliveryQueueTest, AFullQueueHoldsTheProducerUntilABatchIsTaken) {
  DeliveryQueue queue;
  queue.SetCapacity(2);
  platform::Event wake;
  ASSERT_TRUE(queue.PushWhenRoom("m1", &wake, {}));
  EXPECT_TRUE(wake.Wait(0));  // the first message of an empty queue wakes the consumer
  ASSERT_TRUE(queue.PushWhenRoom("m2", &wake, {}));
  EXPECT_FALSE(wake.Wait(0));

  std::atomic<bool> third_queued{false};
  std::thread producer([&] { third_queued = queue.PushWhenRoom("m3", &wake, {}); });
  EXPECT_TRUE(wake.Wait(5000));  // a waiting producer keeps waking the consumer
  EXPECT_FALSE(third_queued);

  std::deque<QueuedMessage> batch;
  EXPECT_EQ(queue.TakeBatch(batch, 512, 1 << 20), 2u);
  producer.join();
  EXPECT_TRUE(third_queued);
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
}

TEST(DeliveryQueueTest, AProducerThatGivesUpQueuesNothing) {
  DeliveryQueue queue;
  queue.SetCapacity(1);
  ASSERT_TRUE(queue.PushWhenRoom("m1", nullptr, {}));
  int asked = 0;
  EXPECT_FALSE(queue.PushWhenRoom("m2", nullptr, [&] { return ++asked == 3; }));
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(queue.Size(), 1u);
  EXPECT_EQ(queue.Issued(), 1u);

  // A batch takes at least one message, then as many as both limits allow.
  queue.SetCapacity(0);
  for (const char* m : {"aaaa", "bbbb", "cccc"}) queue.Push(m);
  std::deque<QueuedMessage> batch;
  EXPECT_EQ(queue.TakeBatch(batch, 512, 3), 1u);
  EXPECT_EQ(queue.TakeBatch(batch, 2, 1 << 20), 2u);
}

}  // namespace
}  // namespace cvn
