#include "PageCallback.h"

#include "PagePublication.h"

PageCallback::PageCallback(std::weak_ptr<PagePublication> publication, uint64_t id)
    : publication_(std::move(publication)), id_(id) {}

PageCallback::~PageCallback() {
  if (done_ || id_ == 0) return;
  if (auto publication = publication_.lock()) publication->dropCallback(id_);
}

bool PageCallback::call(const PageValue& argument) {
  if (done_ || id_ == 0) return false;
  done_ = true;
  auto publication = publication_.lock();
  return publication != nullptr && publication->callBack(id_, argument);
}
