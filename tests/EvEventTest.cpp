// The event log: stored events read back newest first, by entity.
#include <gtest/gtest.h>

#include "PairDbTestEnv.h"
#include "host/EvEvent.h"

namespace {

using EvEventTest = PairDbTest;

TEST_P(EvEventTest, EventsAreKeptWithArgumentsAndFilteredByEntity) {
  const std::vector<std::string> args = {"3:not a length", "", "it's", "a\nb"};
  for (int i = 0; i < 4; ++i) {
    EvEvent event;
    for (const std::string& a : args) event.addArgument(a, EV_ARG_TEXT);
    event.setEntity(i % 2, 187);
    ASSERT_OK(event.InfoEvent(100 + i, 0, 0));
  }
  EvEvent other;
  other.setEntity(0, 5);
  ASSERT_OK(other.InfoEvent(200, 0, 0));

  std::vector<EvEventRecord> events;
  EvEvent::Filter filter;
  ASSERT_OK(EvEvent::list(filter, &events));
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events.front().eventId, 200);
  EXPECT_TRUE(events.front().arguments.empty());
  EXPECT_EQ(events.back().arguments, args);
  EXPECT_EQ(events.back().time, kNow);

  filter.entityType = 187;
  filter.entityId = 1;
  ASSERT_OK(EvEvent::list(filter, &events));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events.front().eventId, 103);
  EXPECT_EQ(events.back().eventId, 101);
  filter.entityId = -1;
  filter.limit = 3;
  ASSERT_OK(EvEvent::list(filter, &events));
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events.front().eventId, 103);
}

BLR_SQL_BACKENDS(EvEventTest);

}  // namespace
