// Converts page values (JavaScriptCore GLib values) to the channel's wire form
// and back (see PageChannelProtocol.h). Web-process side; main thread only.
#pragma once

#include <jsc/jsc.h>

#include <cstdint>
#include <functional>

class PageValueCodec {
 public:
  // Keeps a page function and returns the id it is kept under.
  using CallbackKeeper = std::function<uint64_t(JSCValue* function)>;

  // The limits that keep a hostile or cyclic value from costing more than a
  // call is worth, and every message within what D-Bus carries (nesting of at
  // most 64 containers, each page level taking up to three; an array of at
  // most 64 MiB): nesting is cut at kMaxDepth and a call's arguments carry at
  // most kMaxNodes values, what is cut travelling as undefined. Every byte a
  // call's arguments take on the wire counts against kMaxBytes: texts, the
  // keys of objects, and kValueBytes for each value (its type, length and
  // padding). A call over that budget cannot travel at all (see overBudget).
  static constexpr int kMaxDepth = 16;
  static constexpr int kMaxNodes = 100000;
  static constexpr size_t kMaxBytes = 60u << 20;
  static constexpr size_t kValueBytes = 24;

  // The helpers a codec needs from the frame's own realm, made before any
  // script of the page runs (so that the page cannot redirect them).
  struct Helpers {
    // Returns a new object without prototype, as page objects we hand over are.
    JSCValue* objectFactory = nullptr;
    // Object.keys: an object travels with its own enumerable keys, as
    // JSON.stringify takes them.
    JSCValue* ownKeys = nullptr;
    // Whether a value is a plain object (its tag is "Object": literals, class
    // instances). Others (the window, DOM nodes, dates, maps) travel as
    // objects without keys: they are no data the application could use, and
    // walking them costs more than any call is worth.
    JSCValue* isPlain = nullptr;
    // A string that the wire's plain strings cannot carry (one holding U+0000
    // or a lone surrogate) as its JSON literal; null for any other string.
    JSCValue* textLiteral = nullptr;
    // JSON.parse, which reads such a literal back.
    JSCValue* parseLiteral = nullptr;

    // Takes (ref) or lets go of (unref) a reference to each helper present.
    void ref() const;
    void unref() const;
  };
  // The script that makes the helpers in a context; take them with helpersOf.
  static constexpr const char* kHelpersSource =
      "(function (toString, indexOf, isWellFormed, stringify, parse) { return {"
      "  objectFactory: function () { return { __proto__: null }; },"
      "  ownKeys: Object.keys,"
      "  isPlain: function (value) { return toString.call(value) === '[object Object]'; },"
      "  textLiteral: function (text) {"
      "    return indexOf.call(text, '\\0') < 0 && isWellFormed.call(text) ? null : stringify(text); },"
      "  parseLiteral: parse };"
      "})(Object.prototype.toString, String.prototype.indexOf, String.prototype.isWellFormed, JSON.stringify,"
      "   JSON.parse)";
  // New references to the helpers made by kHelpersSource's result.
  static Helpers helpersOf(JSCValue* made);

  // context: the frame's context; helpers: made in that context, or null
  // members for plain objects and for-in keys. None is owned.
  PageValueCodec(JSCContext* context, const Helpers& helpers);

  // The arguments of a call, taken one by one by their kinds (one character
  // per argument; arguments past the kinds as 'v'; missing arguments as
  // undefined, so that a declared argument always travels). Functions given
  // for a 'f' argument go to the keeper. Returns a new floating "av" variant.
  GVariant* encodeArguments(GPtrArray* arguments, const char* kinds, const CallbackKeeper& keeper);

  // One value, taken as it is ('v'): a new floating "v" variant.
  GVariant* encode(JSCValue* value);

  // Whether the last encoding went over kMaxBytes: its result is incomplete
  // and must not be sent.
  bool overBudget() const { return overBudget_; }

  // A page value from its wire form (a "v" variant or its content): a new
  // reference. Callbacks and unknown types become undefined.
  JSCValue* decode(GVariant* variant);

  // Texts as the page's String() gives them, null and undefined as "";
  // always valid UTF-8. Exceptions thrown by the page are cleared.
  static char* textOf(JSCContext* context, JSCValue* value);

 private:
  GVariant* encodeBare(JSCValue* value, int depth);
  GVariant* encodeArray(JSCValue* value, int depth);
  GVariant* encodeObject(JSCValue* value, int depth);
  JSCValue* decode(GVariant* variant, int depth);
  JSCValue* decodeLiteral(GVariant* variant);
  JSCValue* newObject();

  JSCContext* context_;
  Helpers helpers_;
  GVariant* encodeText(const char* text);
  GVariant* encodeString(JSCValue* value);
  bool spend(size_t bytes);
  void resetBudget();

  int nodesLeft_ = kMaxNodes;
  size_t bytesLeft_ = kMaxBytes;
  bool overBudget_ = false;
};
