#include "PagePublication.h"

#include <gio/gio.h>

#include "PageCallback.h"
#include "PageChannelProtocol.h"
#include "PageObject.h"

namespace P = PageChannelProtocol;

PagePublication::PagePublication(uint64_t id, const Frame& frame, GDBusConnection* connection)
    : id_(id), frame_(frame), connection_(G_DBUS_CONNECTION(g_object_ref(connection))) {}

PagePublication::~PagePublication() {
  end();
}

void PagePublication::end() {
  if (connection_ == nullptr) return;
  g_object_unref(connection_);
  connection_ = nullptr;
  for (const Step& step : steps_) {
    if (step.object != nullptr) step.object->publicationEnded(*this);
  }
}

void PagePublication::addObject(std::shared_ptr<PageObject> object, std::string scriptAfter) {
  steps_.push_back(Step{std::move(object), std::move(scriptAfter)});
}

void PagePublication::addScript(std::string script) {
  steps_.push_back(Step{nullptr, std::move(script)});
}

PageObject* PagePublication::object(const std::string& name) const {
  return sharedObject(name).get();
}

std::shared_ptr<PageObject> PagePublication::sharedObject(const std::string& name) const {
  for (const Step& step : steps_) {
    if (step.object != nullptr && step.object->name() == name) return step.object;
  }
  return nullptr;
}

GVariant* PagePublication::steps() const {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(sa(ssb)s)"));
  for (const Step& step : steps_) {
    GVariantBuilder methods;
    g_variant_builder_init(&methods, G_VARIANT_TYPE("a(ssb)"));
    if (step.object != nullptr) {
      for (const PageObject::Method& method : step.object->methods()) {
        g_variant_builder_add(&methods, "(ssb)", method.name.c_str(), method.kinds.c_str(), method.returnsValue);
      }
    }
    g_variant_builder_add(&builder, "(sa(ssb)s)", step.object != nullptr ? step.object->name().c_str() : "", &methods,
                          step.script.c_str());
  }
  return g_variant_builder_end(&builder);
}

bool PagePublication::send(const char* method, GVariant* parameters) {
  g_variant_ref_sink(parameters);
  bool sent = false;
  if (connection_ != nullptr && shown_) {
    GDBusMessage* message = g_dbus_message_new_method_call(nullptr, P::kPagePath, P::kPageInterface, method);
    g_dbus_message_set_body(message, parameters);
    g_dbus_message_set_flags(message, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
    GError* error = nullptr;
    sent = g_dbus_connection_send_message(connection_, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, &error);
    if (!sent) {
      g_warning("cannot send %s to the page: %s", method, error->message);
      g_error_free(error);
    }
    g_object_unref(message);
  }
  g_variant_unref(parameters);
  return sent;
}

void PagePublication::callMethod(const std::string& name, const std::vector<PageValue>& arguments) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("av"));
  for (const PageValue& argument : arguments) g_variant_builder_add_value(&builder, argument.toVariant());
  gchar* validName = g_utf8_make_valid(name.c_str(), -1);
  send("CallMethod", g_variant_new("(tsav)", static_cast<guint64>(id_), validName, &builder));
  g_free(validName);
}

void PagePublication::evaluate(const std::string& script) {
  gchar* valid = g_utf8_make_valid(script.c_str(), -1);
  send("Evaluate", g_variant_new("(ts)", static_cast<guint64>(id_), valid));
  g_free(valid);
}

std::unique_ptr<PageCallback> PagePublication::callback(uint64_t id) {
  return std::make_unique<PageCallback>(weak_from_this(), id);
}

bool PagePublication::callBack(uint64_t callback, const PageValue& argument) {
  return send("Callback", g_variant_new("(t@v)", static_cast<guint64>(callback), argument.toVariant()));
}

void PagePublication::dropCallback(uint64_t callback) {
  send("DropCallback", g_variant_new("(t)", static_cast<guint64>(callback)));
}
