// The desktop portal's global shortcuts on the test's session bus, as a
// desktop offers them: CreateSession and BindShortcuts answer through their
// request objects' Response signal (with the caller's tokens), and activate()
// sends the Activated signal of a bound shortcut. A portal made silent
// answers each call with its request object and never sends the outcome, as
// a portal whose dialog never shows.
//
// Threads: answers on the main context of the thread that made it.
#pragma once

#include <string>
#include <vector>

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GVariant GVariant;
typedef struct _GDBusMethodInvocation GDBusMethodInvocation;

class FakeGlobalShortcutsPortal {
 public:
  enum class Outcome { Sent, Never };

  // Returns once the portal owns its bus name, or has failed to (owned()).
  explicit FakeGlobalShortcutsPortal(Outcome outcome = Outcome::Sent);
  ~FakeGlobalShortcutsPortal();
  FakeGlobalShortcutsPortal(const FakeGlobalShortcutsPortal&) = delete;
  FakeGlobalShortcutsPortal& operator=(const FakeGlobalShortcutsPortal&) = delete;

  bool owned() const { return owned_; }
  // "id=preferred trigger" of each shortcut bound so far.
  const std::vector<std::string>& bound() const { return bound_; }
  // Sends Activated for the shortcut of the last session, with the time.
  void activate(const std::string& shortcut, unsigned long long time);

 private:
  static void onCall(GDBusConnection*, const char* sender, const char*, const char*, const char* method,
                     GVariant* parameters, GDBusMethodInvocation* invocation, void* self);
  void respond(const char* sender, const std::string& token, GVariant* results, GDBusMethodInvocation* invocation);

  GDBusConnection* connection_ = nullptr;
  unsigned registration_ = 0;
  bool owned_ = false;
  Outcome outcome_;
  std::string session_;
  std::vector<std::string> bound_;
};
