#include <gtest/gtest.h>

#include <memory>
#include <poll.h>
#include <thread>

#include "VLPlatformFactory.h"
#include "VLWakeEvent.h"

namespace {

std::unique_ptr<VLWakeEvent> makeEvent() {
  return std::unique_ptr<VLWakeEvent>(VLPlatformFactory::instance()->createWakeEvent());
}

bool pollsReadable(VLWakeEvent& event) {
  struct pollfd descriptor = {event.getDescriptor(), POLLIN, 0};
  return poll(&descriptor, 1, 0) == 1 && (descriptor.revents & POLLIN);
}

}  // namespace

// A signal given while nobody waits is kept for the next wait, however many
// came; a wait takes it, and the next wait runs to its time-out.
TEST(VLWakeEventLinuxImpl, SignalsBeforeAWaitEndItOnceAndAreThenGone) {
  std::unique_ptr<VLWakeEvent> event = makeEvent();
  VLPlatformFactory* platform = VLPlatformFactory::instance();
  for (int signals : {1, 3}) {
    for (int i = 0; i < signals; ++i) event->signal();
    const double before = platform->getTime();
    EXPECT_TRUE(event->wait(5000)) << signals;
    EXPECT_LT(platform->getTime() - before, 4.0) << "a kept signal ends the wait at once";
    EXPECT_FALSE(event->wait(20)) << "the signal was taken";
  }
  const double before = platform->getTime();
  EXPECT_FALSE(event->wait(30));
  EXPECT_GE(platform->getTime() - before, 0.029) << "an unsignalled wait lasts its time";
}

// Another thread's signal ends a long wait; the descriptor a poll shares with
// sockets is readable exactly while a signal waits to be taken.
TEST(VLWakeEventLinuxImpl, AnotherThreadsSignalEndsTheWaitAndShowsOnTheDescriptor) {
  std::unique_ptr<VLWakeEvent> event = makeEvent();
  std::thread signaller([&event] {
    VLPlatformFactory::instance()->sleep(20);
    event->signal();
  });
  EXPECT_TRUE(event->wait(60000));
  signaller.join();

  ASSERT_GE(event->getDescriptor(), 0);
  EXPECT_FALSE(pollsReadable(*event));
  EXPECT_FALSE(event->take());
  event->signal();
  EXPECT_TRUE(pollsReadable(*event));
  EXPECT_TRUE(event->take());
  EXPECT_FALSE(pollsReadable(*event));
}
