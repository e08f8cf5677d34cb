#include "PageObject.h"

const PageObject::Method* PageObject::find(const std::string& name) const {
  for (const Method& method : methods_) {
    if (method.name == name) return &method;
  }
  return nullptr;
}

void PageObject::declare(std::string name, std::string kinds, Handler handler) {
  methods_.push_back(Method{std::move(name), std::move(kinds), false, std::move(handler)});
}

void PageObject::declareWithResult(std::string name, std::string kinds, Handler handler) {
  methods_.push_back(Method{std::move(name), std::move(kinds), true, std::move(handler)});
}

void PageObject::declareReader(std::string name, std::string kinds, Handler handler) {
  methods_.push_back(Method{std::move(name), std::move(kinds), true, std::move(handler), true});
}
