// The budget of addresses per gesture, on a widget of the test's display
// that receives the events a user's press would bring, with a fake clock
// and a page that answers when the test says.
#include "UserGestureBudget.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

class UserGestureBudgetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gtk_init(nullptr, nullptr); }

  void SetUp() override {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_show(window_);
  }
  void TearDown() override { gtk_widget_destroy(window_); }

  // The widget receives an event of that type, as from the user.
  void receive(GdkEventType type) {
    GdkEvent* event = gdk_event_new(type);
    event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window_)));
    gtk_widget_event(window_, event);
    gdk_event_free(event);
  }

  // How many addresses the budget gives now, when asked for far more.
  size_t takeAll(UserGestureBudget& budget) {
    size_t taken = 0;
    for (int i = 0; i < 100; ++i) taken += budget.take() ? 1 : 0;
    return taken;
  }

  // A budget on the window whose page answers at once, or when answerAll() says.
  std::unique_ptr<UserGestureBudget> budget(bool answersAtOnce = true) {
    return std::make_unique<UserGestureBudget>(
        window_, [this] { return now_; },
        [this, answersAtOnce](std::function<void()> answered) {
          if (answersAtOnce) {
            answered();
          } else {
            unanswered_.push_back(std::move(answered));
          }
        });
  }
  void answerAll() {
    for (auto& answer : unanswered_) answer();
    unanswered_.clear();
  }

  GtkWidget* window_ = nullptr;
  double now_ = 1000;
  std::vector<std::function<void()>> unanswered_;
};

// A flood of one gesture gets the budget, also while it goes on past the
// quiet time; each press after it (not its release) gets a budget of its own.
TEST_F(UserGestureBudgetTest, EachPressGivesABudgetThatAFloodDoesNotOutlast) {
  std::unique_ptr<UserGestureBudget> owned = budget();
  UserGestureBudget& budget = *owned;
  receive(GDK_BUTTON_PRESS);
  EXPECT_EQ(takeAll(budget), UserGestureBudget::kAddressesPerGesture);
  for (int i = 0; i < 10; ++i) {
    now_ += UserGestureBudget::kQuietSeconds / 2;
    EXPECT_FALSE(budget.take());
  }
  receive(GDK_BUTTON_RELEASE);
  EXPECT_FALSE(budget.take());
  for (GdkEventType press : {GDK_BUTTON_PRESS, GDK_KEY_PRESS, GDK_TOUCH_BEGIN}) {
    receive(press);
    EXPECT_EQ(takeAll(budget), UserGestureBudget::kAddressesPerGesture) << press;
  }
}

// A gesture the view never received (assistive technology's) gets a
// budget once the page has asked for nothing for the quiet time.
TEST_F(UserGestureBudgetTest, AGestureTheViewNeverReceivedGetsABudgetAfterTheQuietTime) {
  std::unique_ptr<UserGestureBudget> owned = budget();
  UserGestureBudget& budget = *owned;
  EXPECT_EQ(takeAll(budget), UserGestureBudget::kAddressesPerGesture);
  now_ += UserGestureBudget::kQuietSeconds - 0.01;
  EXPECT_FALSE(budget.take());
  now_ += UserGestureBudget::kQuietSeconds;
  EXPECT_EQ(takeAll(budget), UserGestureBudget::kAddressesPerGesture);
}

// A handler that keeps the page busy past the quiet time is still the one
// gesture: no budget until the page has answered, then the next request
// after the quiet time gets one; a press gives one at once all the same.
TEST_F(UserGestureBudgetTest, APageBusyBetweenItsRequestsGetsNoBudgetFromTheQuietTime) {
  std::unique_ptr<UserGestureBudget> owned = budget(false);
  UserGestureBudget& budget = *owned;
  EXPECT_EQ(takeAll(budget), UserGestureBudget::kAddressesPerGesture);
  for (int i = 0; i < 5; ++i) {
    now_ += UserGestureBudget::kQuietSeconds + 0.5;
    EXPECT_FALSE(budget.take());
  }
  answerAll();
  now_ += UserGestureBudget::kQuietSeconds - 0.01;
  EXPECT_FALSE(budget.take());
  answerAll();
  now_ += UserGestureBudget::kQuietSeconds;
  EXPECT_TRUE(budget.take());
  receive(GDK_KEY_PRESS);
  EXPECT_EQ(takeAll(budget), UserGestureBudget::kAddressesPerGesture);
}

}  // namespace
