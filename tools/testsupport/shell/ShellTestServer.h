// The HTTP server of the shell's tests, on the loopback addresses: serves our
// test pages from a folder and collects what they report.
//
// It answers on three origins, so that pages can embed frames of another
// origin: the player's (127.0.0.1 on the first port), the same host on
// another port, and a third-party host (127.0.0.2 on the first port).
//
// Routes: any file of the folder by path (query ignored; a path ending in
// "/" serves that folder's index.html); POST
// /report?name=N stores the body under N; /broken drops the connection
// without an answer; /status?code=N answers N with an empty page; a path
// given to redirect() answers 302 to its target.
//
// Threads: runs on the thread-default main context of the thread that made it
// (the tests' main thread), as the web views do.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

typedef struct _SoupServer SoupServer;
typedef struct _SoupServerMessage SoupServerMessage;
typedef struct _GHashTable GHashTable;

class ShellTestServer {
 public:
  explicit ShellTestServer(std::string folder);
  ~ShellTestServer();
  ShellTestServer(const ShellTestServer&) = delete;
  ShellTestServer& operator=(const ShellTestServer&) = delete;

  // Starts listening, the player's origin on `playerPort` when given (the
  // service back where it was), else on a free port; false when a listener
  // cannot be opened.
  bool start(unsigned playerPort = 0);

  // "http://127.0.0.1:port" and the other two origins; no trailing slash.
  std::string playerOrigin() const;
  std::string otherPortOrigin() const;
  std::string thirdPartyOrigin() const;

  // From now on, requests for the path (as requests() lists it) answer 302
  // with the target as Location.
  void redirect(const std::string& path, const std::string& target) { redirects_[path] = target; }
  // From now on, files at the path answer only after the delay (a slow
  // server); 0 ends the delay.
  void delay(const std::string& path, unsigned milliseconds) { delays_[path] = milliseconds; }
  // Ends the delay of the path and answers the requests it holds now.
  void release(const std::string& path);

  // Every body reported under the name, in arrival order.
  const std::vector<std::string>& reports(const std::string& name) const;
  bool hasReport(const std::string& name) const { return !reports(name).empty(); }
  // The first body reported under the name; empty when none.
  std::string report(const std::string& name) const;
  // Every path requested, in order.
  const std::vector<std::string>& requests() const { return requests_; }
  // The query of every request, in the same order ("" when none).
  const std::vector<std::string>& queries() const { return queries_; }

  // Runs the thread's main context until done() holds or the guard time has
  // passed (a guard against a hang, never a measure); returns what done()
  // answered last, without asking it again.
  static bool runUntil(const std::function<bool()>& done, int guardSeconds = 120);

  // True while a child process of this one (a WebKit web or network process,
  // say) still runs; children that ended but were not reaped do not count.
  static bool hasRunningChildren();

 private:
  static void onRequest(SoupServer* server, SoupServerMessage* message, const char* path, GHashTable* query,
                        void* self);
  void handle(SoupServerMessage* message, const std::string& path, GHashTable* query);
  void serveFile(SoupServerMessage* message, const std::string& path);
  void serveLater(SoupServerMessage* message, const std::string& path, unsigned milliseconds);
  // Answers the request held by the timer (delayed_'s key).
  void answerHeld(unsigned timer);

  std::string folder_;
  SoupServer* server_ = nullptr;
  unsigned playerPort_ = 0;
  unsigned otherPort_ = 0;
  std::map<std::string, std::vector<std::string>> reports_;
  std::map<std::string, std::string> redirects_;
  std::map<std::string, unsigned> delays_;
  std::map<unsigned, std::pair<SoupServerMessage*, std::string>> delayed_;  // by timer: message (referenced), path
  std::vector<std::string> requests_;
  std::vector<std::string> queries_;
};
