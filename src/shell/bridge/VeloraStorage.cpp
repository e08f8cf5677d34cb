#include "VeloraStorage.h"

#include "Binding.h"
#include "PageCall.h"

namespace {

Binding* core() {
  return Binding::instance();
}

// Store names, keys and values the page gives: strings as they are, null and
// undefined as "", anything else as String() gives it (42 is stored as "42").
std::string textOf(const PageValue& value) {
  return value.isString() ? value.stringValue() : value.text();
}

// A read's answer: null when the store had no such row, else its text.
PageValue rowAnswer(const std::string& text, bool isNull) {
  return isNull && text.empty() ? PageValue::null() : PageValue::string(text);
}

}  // namespace

VeloraStorage::VeloraStorage() : PageObject("VeloraStorage") {
  declareWithResult("clear", "v", [](PageCall& call) {
    core()->storageClear(textOf(call.argument(0)));
    return PageValue::number(0);
  });
  declareWithResult("removeItem", "vv", [](PageCall& call) {
    core()->storageRemoveItem(textOf(call.argument(0)), textOf(call.argument(1)));
    return PageValue::boolean(true);
  });
  // The page waits for the answer: false when the value was not stored (a
  // limit, a full disk), so that it learns of the loss.
  declareWithResult("setItem", "vvv", [](PageCall& call) {
    return PageValue::boolean(
        core()->storageSetItem(textOf(call.argument(0)), textOf(call.argument(1)), textOf(call.argument(2))));
  });
  declareWithResult("getItem", "vv", [](PageCall& call) {
    bool isNull = true;
    std::string value = core()->storageGetItem(textOf(call.argument(0)), textOf(call.argument(1)), &isNull);
    return rowAnswer(value, isNull);
  });
  declareWithResult("length", "v", [](PageCall& call) {
    const PageValue& name = call.argument(0);
    if (!name.isString()) return PageValue::number(0);
    return PageValue::number(core()->storageLength(name.stringValue()));
  });
  declareWithResult("key", "vn", [](PageCall& call) {
    const PageValue& name = call.argument(0);
    bool isNull = true;
    std::string key =
        core()->storageKey(name.isNullOrUndefined() ? "localStorage" : textOf(name), call.argument(1).toInt(), &isNull);
    return rowAnswer(key, isNull);
  });
}
