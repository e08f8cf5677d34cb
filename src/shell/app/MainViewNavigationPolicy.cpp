#include "MainViewNavigationPolicy.h"

#include "PagePublisher.h"
#include "VLLogger.h"

namespace {

// Actions wait for their response only while frames load: a page loads a
// handful at once, and an older one is no longer asked about.
constexpr size_t kRememberedActions = 32;

std::string text(const char* value) {
  return value != nullptr ? value : "";
}

}  // namespace

MainViewNavigationPolicy::MainViewNavigationPolicy(WebKitWebView* view, std::string playerOrigin)
    : view_(view), playerOrigin_(std::move(playerOrigin)) {
  g_signal_connect(view_, "decide-policy", G_CALLBACK(onDecidePolicy), this);
  g_signal_connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
}

MainViewNavigationPolicy::~MainViewNavigationPolicy() {
  g_signal_handlers_disconnect_by_data(view_, this);
}

void MainViewNavigationPolicy::remember(WebKitNavigationAction* action) {
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  std::string address = text(request != nullptr ? webkit_uri_request_get_uri(request) : nullptr);
  // A load the application starts shows its address in the view at once;
  // a page's own navigation leaves the view at the page until it commits.
  bool byApplication = !webkit_navigation_action_is_redirect(action) && address != committed_ &&
                       text(webkit_web_view_get_uri(view_)) == address;
  // The page that started it, as its request's Referer names it (the
  // document's address, or its origin alone across origins): neither the
  // player nor the document the window shows, but a frame or a pop-up.
  SoupMessageHeaders* headers = request != nullptr ? webkit_uri_request_get_http_headers(request) : nullptr;
  const char* referer = headers != nullptr ? soup_message_headers_get_one(headers, "Referer") : nullptr;
  std::string starter = referer != nullptr ? PagePublisher::originOf(referer) : "";
  bool byOtherOrigin = !starter.empty() && starter != playerOrigin_ && starter != PagePublisher::originOf(committed_);
  actions_.push_front(
      Action{address, webkit_navigation_action_is_user_gesture(action) != FALSE, byApplication, byOtherOrigin});
  if (actions_.size() > kRememberedActions) actions_.pop_back();
}

const MainViewNavigationPolicy::Action* MainViewNavigationPolicy::find(const std::string& address) const {
  for (const Action& action : actions_) {
    if (action.address == address) return &action;
  }
  return nullptr;
}

bool MainViewNavigationPolicy::mayShow(const std::string& address) const {
  if (mainLoadByApplication_) return true;
  const Action* action = find(address);
  if (action != nullptr && action->byUser) return true;
  // A page of another origin (a frame through top, a pop-up through its
  // opener) moves the window only on the user's gesture, also to the
  // player's own address: else a frame could reload the player without end.
  if (action != nullptr && action->byOtherOrigin) return false;
  return !playerOrigin_.empty() && PagePublisher::originOf(address) == playerOrigin_;
}

gboolean MainViewNavigationPolicy::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                                  WebKitPolicyDecisionType type, gpointer data) {
  auto* self = static_cast<MainViewNavigationPolicy*>(data);
  if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
    self->remember(
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision)));
    return FALSE;
  }
  if (type != WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
  auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
  if (!webkit_response_policy_decision_is_main_frame_main_resource(response)) return FALSE;
  WebKitURIRequest* request = webkit_response_policy_decision_get_request(response);
  std::string address = text(request != nullptr ? webkit_uri_request_get_uri(request) : nullptr);
  if (self->mayShow(address)) return FALSE;
  // A page may try again and again: the 1st, 10th, 100th... refusal is logged.
  if (++self->refusals_ == self->nextLoggedRefusal_) {
    self->nextLoggedRefusal_ *= 10;
    VL_LOG_WARN("MainViewNavigationPolicy refused a navigation of the player's window that a page started ("
                << self->refusals_ << " so far): " << address);
  }
  webkit_policy_decision_ignore(decision);
  return TRUE;
}

void MainViewNavigationPolicy::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
  auto* self = static_cast<MainViewNavigationPolicy*>(data);
  std::string address = text(webkit_web_view_get_uri(view));
  if (event == WEBKIT_LOAD_COMMITTED) self->committed_ = address;
  if (event != WEBKIT_LOAD_STARTED) return;
  // The main frame's load began: the application's when the view shows the
  // address the application asked for (a page's leaves it at the page).
  const Action* action = address != self->committed_ ? self->find(address) : nullptr;
  self->mainLoadByApplication_ = action != nullptr && action->byApplication;
}
