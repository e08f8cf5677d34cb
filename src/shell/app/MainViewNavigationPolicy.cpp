#include "MainViewNavigationPolicy.h"

#include "PagePublisher.h"
#include "SavedPageProtocol.h"

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
  // One of the address shown is the application's only when it said so.
  bool redirect = webkit_navigation_action_is_redirect(action);
  bool announced = !redirect && !expectedLoad_.empty() && address == expectedLoad_;
  if (announced) {
    expectedLoad_.clear();
    mainLoadByApplication_ = true;  // the view will not show it started (it shows that address already)
  }
  bool byApplication =
      announced || (!redirect && address != committed_ && text(webkit_web_view_get_uri(view_)) == address);
  // Who started it: the player or the document the window shows, a frame or
  // a pop-up of another origin, or a page that names itself not at all.
  std::string starter = starterOrigin(action);
  bool byOwnDocument = !starter.empty() && (starter == playerOrigin_ || starter == PagePublisher::originOf(committed_));
  bool byOtherOrigin = !starter.empty() && !byOwnDocument;
  WebKitNavigationType type = webkit_navigation_action_get_navigation_type(action);
  bool historyStep = type == WEBKIT_NAVIGATION_TYPE_BACK_FORWARD;
  bool reloadOrHistory = type == WEBKIT_NAVIGATION_TYPE_RELOAD || historyStep;
  actions_.push_front(Action{address, webkit_navigation_action_is_user_gesture(action) != FALSE, byApplication,
                             byOtherOrigin, byOwnDocument, reloadOrHistory, historyStep});
  if (actions_.size() > kRememberedActions) actions_.pop_back();
}

std::string MainViewNavigationPolicy::starterOrigin(WebKitNavigationAction* action) {
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  SoupMessageHeaders* headers = request != nullptr ? webkit_uri_request_get_http_headers(request) : nullptr;
  const char* referer = headers != nullptr ? soup_message_headers_get_one(headers, "Referer") : nullptr;
  return referer != nullptr ? PagePublisher::originOf(referer) : "";
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
  if (action != nullptr && (action->byUser || action->byApplication)) return true;
  // A page of another origin (a frame through top, a pop-up through its
  // opener) moves the window only on the user's gesture, also to the
  // player's own address: else a frame could reload the player without end.
  if (action != nullptr && action->byOtherOrigin) return false;
  if (playerOrigin_.empty() || PagePublisher::originOf(address) != playerOrigin_) return false;
  // At the player's origin, what no page names as its starter is a frame's
  // too (a data: or blob: one sends no Referer), unless it is a reload or a
  // step in history. So is one no longer remembered: a frame can start
  // enough frames of its own before the answer comes to push it out.
  return action != nullptr && (action->byOwnDocument || action->reloadOrHistory);
}

bool MainViewNavigationPolicy::mayStep(const Action& action) const {
  if (!action.historyStep || action.byUser || action.byApplication) return true;
  if (!playerOrigin_.empty() && PagePublisher::originOf(action.address) == playerOrigin_) return true;
  // Only the main frame's steps: a frame's own history is its own. (WebKit
  // may have made the step's item the current one already.)
  WebKitBackForwardList* list = webkit_web_view_get_back_forward_list(view_);
  WebKitBackForwardListItem* current = webkit_back_forward_list_get_current_item(list);
  bool mainFrames = current != nullptr && text(webkit_back_forward_list_item_get_uri(current)) == action.address;
  for (GList* items : {webkit_back_forward_list_get_back_list(list), webkit_back_forward_list_get_forward_list(list)}) {
    for (GList* item = items; item != nullptr; item = item->next) {
      auto* entry = static_cast<WebKitBackForwardListItem*>(item->data);
      mainFrames = mainFrames || text(webkit_back_forward_list_item_get_uri(entry)) == action.address;
    }
    g_list_free(items);
  }
  return !mainFrames;
}

gboolean MainViewNavigationPolicy::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                                  WebKitPolicyDecisionType type, gpointer data) {
  auto* self = static_cast<MainViewNavigationPolicy*>(data);
  std::string address;
  if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    self->remember(action);
    if (self->mayStep(self->actions_.front())) return FALSE;
    address = self->actions_.front().address;
  } else {
    if (type != WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
    auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    if (!webkit_response_policy_decision_is_main_frame_main_resource(response)) return FALSE;
    WebKitURIRequest* request = webkit_response_policy_decision_get_request(response);
    address = text(request != nullptr ? webkit_uri_request_get_uri(request) : nullptr);
    std::string saved = SavedPageProtocol::originalAddress(self->playerOrigin_, address);
    if (saved.empty() && self->mayShow(address)) return FALSE;
    if (!saved.empty() && self->mayShow(saved)) {
      webkit_policy_decision_ignore(decision);
      const Action* action = self->find(saved);
      bool byScript = !self->mainLoadByApplication_ && action != nullptr && !action->byUser && !action->byApplication;
      if (self->leaveSavedPage_) self->leaveSavedPage_(saved, byScript);
      return TRUE;
    }
  }
  // A page may try again and again.
  self->refusals_.refused(address);
  webkit_policy_decision_ignore(decision);
  return TRUE;
}

void MainViewNavigationPolicy::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
  auto* self = static_cast<MainViewNavigationPolicy*>(data);
  std::string address = text(webkit_web_view_get_uri(view));
  // The application's load counts (through its redirects) until its
  // document commits or it ends: a page's navigation after it may be
  // answered before its start is told.
  if (event == WEBKIT_LOAD_COMMITTED) self->committed_ = address;
  if (event == WEBKIT_LOAD_COMMITTED || event == WEBKIT_LOAD_FINISHED) self->mainLoadByApplication_ = false;
  // An announcement is for the load that follows it: one the view served
  // otherwise (the saved page, offline) must not leave the address trusted
  // for a frame that navigates there later.
  if (event == WEBKIT_LOAD_STARTED) self->expectedLoad_.clear();
  if (event != WEBKIT_LOAD_STARTED || address == self->committed_) return;
  // The main frame's load began: the application's when the view shows the
  // address the application asked for (a page's leaves it at the page).
  const Action* action = self->find(address);
  if (action != nullptr && action->byApplication) self->mainLoadByApplication_ = true;
}
