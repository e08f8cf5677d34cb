#include "PageCall.h"

#include <gio/gio.h>

#include "PageCallback.h"
#include "PagePublication.h"

PageAnswer::PageAnswer(GDBusMethodInvocation* invocation) : invocation_(invocation) {}

PageAnswer::~PageAnswer() {
  answer(PageValue());
}

void PageAnswer::answer(const PageValue& result) {
  if (invocation_ == nullptr) return;
  // Returning consumes the invocation's reference.
  g_dbus_method_invocation_return_value(invocation_, g_variant_new("(@v)", result.toVariant()));
  invocation_ = nullptr;
}

PageCall::PageCall(std::shared_ptr<PagePublication> publication, std::vector<PageValue> arguments,
                   GDBusMethodInvocation* invocation)
    : publication_(std::move(publication)), arguments_(std::move(arguments)), invocation_(invocation) {}

const PageValue& PageCall::argument(size_t index) const {
  static const PageValue undefined;
  return index < arguments_.size() ? arguments_[index] : undefined;
}

std::unique_ptr<PageCallback> PageCall::callback(size_t index) const {
  const PageValue& value = argument(index);
  if (!value.isCallback() || value.callbackId() == 0) return nullptr;
  return publication_->callback(value.callbackId());
}

std::unique_ptr<PageAnswer> PageCall::defer() {
  GDBusMethodInvocation* invocation = takeInvocation();
  return invocation != nullptr ? std::make_unique<PageAnswer>(invocation) : nullptr;
}

GDBusMethodInvocation* PageCall::takeInvocation() {
  GDBusMethodInvocation* invocation = invocation_;
  invocation_ = nullptr;
  return invocation;
}
