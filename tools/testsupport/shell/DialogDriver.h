// Acts on the message dialogs the code under test shows, as a user would:
// one step per dialog, in the order they show, run from the main loop (also
// from the loop of a dialog run modally, which holds the test's own code).
//
// Threads: the tests' main thread.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <vector>

class DialogDriver {
 public:
  using Step = std::function<void(GtkMessageDialog*)>;

  explicit DialogDriver(std::vector<Step> steps);
  ~DialogDriver();
  DialogDriver(const DialogDriver&) = delete;
  DialogDriver& operator=(const DialogDriver&) = delete;

  // How many dialogs the steps have acted on.
  size_t handled() const { return next_; }
  bool done() const { return next_ == steps_.size(); }

  // A text property of the dialog ("text", "secondary-text").
  static std::string property(GtkMessageDialog* dialog, const char* name);
  // The label of the dialog's button for the response; "" when none.
  static std::string buttonLabel(GtkMessageDialog* dialog, int response);
  // The visible message dialog other than `other`, or null.
  static GtkMessageDialog* shown(GtkWidget* other = nullptr);

 private:
  gboolean poll();

  std::vector<Step> steps_;
  size_t next_ = 0;
  GtkWidget* last_ = nullptr;  // weak: null once destroyed
  guint timer_ = 0;
};
