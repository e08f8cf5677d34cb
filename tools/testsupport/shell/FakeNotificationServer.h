// A desktop notification server on the test's session bus (or another bus),
// on a thread of its own (the application shows notifications with blocking
// calls). It records every notification it is asked to show. Like most
// desktops' servers it reads markup in bodies ("body-markup").
//
// Threads: made and read on any one thread; it answers on its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct _GMainLoop GMainLoop;
typedef struct _GDBusConnection GDBusConnection;
typedef struct _GVariant GVariant;
typedef struct _GDBusMethodInvocation GDBusMethodInvocation;

class FakeNotificationServer {
 public:
  struct Notification {
    unsigned replaces;
    std::string summary;
    std::string body;
    bool hasImage;   // an image under a name of the current protocol
    int imageWidth;  // its size in pixels; 0 without one
    int imageHeight;
  };

  // Returns once the server owns the bus name, or has failed to (owned()).
  // busAddress: the bus to serve on; empty for the session bus.
  explicit FakeNotificationServer(const std::string& busAddress = std::string());
  ~FakeNotificationServer();
  FakeNotificationServer(const FakeNotificationServer&) = delete;
  FakeNotificationServer& operator=(const FakeNotificationServer&) = delete;

  bool owned() const { return owned_; }
  // Every notification shown so far, in arrival order.
  std::vector<Notification> notifications();
  // From now on each notification is answered that long after it arrived
  // (a busy server); 0 at start.
  void setAnswerDelay(unsigned milliseconds) { answerDelay_ = milliseconds; }

 private:
  void run();
  static void onCall(GDBusConnection*, const char*, const char*, const char*, const char* method, GVariant* parameters,
                     GDBusMethodInvocation* invocation, void* data);

  std::mutex mutex_;
  std::condition_variable ready_;
  std::atomic<unsigned> answerDelay_{0};
  bool owned_ = false;
  bool failed_ = false;
  std::vector<Notification> notifications_;
  GMainLoop* loop_ = nullptr;
  std::string busAddress_;
  std::thread thread_;
};
