// The wire protocol of the page-object channel: a private peer-to-peer D-Bus
// connection between the application (which serves it) and our extension in
// each WebKit web process (which connects to it).
//
// Both sides include this header; nothing in it depends on either side.
//
// Page values travel as GVariant (in forms D-Bus can carry), each one boxed
// in a variant:
//   undefined  "y" 0          null      "y" 1
//   boolean    "b"            number    "d" (integers "i", "u", "x", "t" are
//   string     "s"                       accepted from the application too)
//   string     "(s)"  one that "s" cannot carry (holding U+0000 or a lone
//                     surrogate), as its JSON string literal
//   array      "av"           object    "a(sv)" (own keys, in order)
//   callback   "(t)"  a page function kept in the web process under that id;
//                     only arguments at the top level of a call are kept.
// Objects handed to the page are made without a prototype.
#pragma once

#include <cstddef>

namespace PageChannelProtocol {

// Served by the application; the extension calls it.
constexpr const char* kApplicationPath = "/org/velora/Desktop/PageChannel";
constexpr const char* kApplicationInterface = "org.velora.Desktop.PageChannel";

// Served by the extension; the application calls it without waiting.
constexpr const char* kPagePath = "/org/velora/Desktop/Page";
constexpr const char* kPageInterface = "org.velora.Desktop.Page";

// Publish: asked on window-object-cleared of every frame. A publication id of
// 0 refuses the frame. Each step publishes an object (name not empty) with its
// methods, then runs its script (when not empty), in the order given.
// A method's kinds say how each argument is taken from the page, one
// character per argument; arguments past the kinds are taken as 'v':
//   'v' the value as it is, 's' text as String(v) does with null and
//   undefined as "", 'n' a number as Number(v) does, 'f' a callback.
// The origin sent is the document's own (its security origin: "null" for
// opaque ones, such as sandboxed frames), and so is the address (a new
// frame's first empty document is about:blank, whatever the frame loads).
// Shown: the document of a publication went into the back/forward cache
// (false) or came back from it (true); while hidden it gets nothing.
// Ended: the extension let go of a publication (its frame went away, or its
// cached document was given up).
// Refused: a call the page made could not be sent (over the size budget).
// DirectCalls: hands the application its end of a socket over which the
// extension asks value-returning calls first (see "Direct calls" below).
// Shown, Ended, Refused, Send and DirectCalls expect no reply, but for every
// kOneWayWindow-th one the extension sends (below), which is answered.
constexpr const char* kApplicationIntrospection =
    "<node>"
    " <interface name='org.velora.Desktop.PageChannel'>"
    "  <method name='Publish'>"
    "   <arg direction='in' type='t' name='page'/>"
    "   <arg direction='in' type='t' name='frame'/>"
    "   <arg direction='in' type='b' name='main_frame'/>"
    "   <arg direction='in' type='s' name='uri'/>"
    "   <arg direction='in' type='s' name='origin'/>"
    "   <arg direction='out' type='t' name='publication'/>"
    "   <arg direction='out' type='a(sa(ssb)s)' name='steps'/>"
    "  </method>"
    "  <method name='Call'>"
    "   <arg direction='in' type='t' name='publication'/>"
    "   <arg direction='in' type='s' name='object'/>"
    "   <arg direction='in' type='s' name='method'/>"
    "   <arg direction='in' type='av' name='arguments'/>"
    "   <arg direction='out' type='v' name='result'/>"
    "  </method>"
    "  <method name='Send'>"
    "   <arg direction='in' type='t' name='publication'/>"
    "   <arg direction='in' type='s' name='object'/>"
    "   <arg direction='in' type='s' name='method'/>"
    "   <arg direction='in' type='av' name='arguments'/>"
    "  </method>"
    "  <method name='Shown'>"
    "   <arg direction='in' type='t' name='publication'/>"
    "   <arg direction='in' type='b' name='shown'/>"
    "  </method>"
    "  <method name='Ended'>"
    "   <arg direction='in' type='t' name='publication'/>"
    "  </method>"
    "  <method name='Refused'>"
    "   <arg direction='in' type='t' name='publication'/>"
    "   <arg direction='in' type='s' name='object'/>"
    "   <arg direction='in' type='s' name='method'/>"
    "   <arg direction='in' type='s' name='reason'/>"
    "  </method>"
    "  <method name='DirectCalls'>"
    "   <arg direction='in' type='h' name='socket'/>"
    "  </method>"
    "  <method name='Console'>"
    "   <arg direction='in' type='t' name='page'/>"
    "   <arg direction='in' type='u' name='level'/>"
    "   <arg direction='in' type='s' name='text'/>"
    "   <arg direction='in' type='s' name='source'/>"
    "   <arg direction='in' type='u' name='line'/>"
    "  </method>"
    " </interface>"
    "</node>";

// CallMethod: VeloraAPI[name](...arguments) in the frame of the publication.
// Callback: calls the kept function once with the value, then forgets it.
// DropCallback: forgets the kept function without calling it.
// Evaluate: runs the script in the frame of the publication.
// Messages for a publication or callback the extension no longer holds (the
// frame has loaded another page since) are dropped.
constexpr const char* kPageIntrospection =
    "<node>"
    " <interface name='org.velora.Desktop.Page'>"
    "  <method name='CallMethod'>"
    "   <arg direction='in' type='t' name='publication'/>"
    "   <arg direction='in' type='s' name='name'/>"
    "   <arg direction='in' type='av' name='arguments'/>"
    "  </method>"
    "  <method name='Callback'>"
    "   <arg direction='in' type='t' name='callback'/>"
    "   <arg direction='in' type='v' name='value'/>"
    "  </method>"
    "  <method name='DropCallback'>"
    "   <arg direction='in' type='t' name='callback'/>"
    "  </method>"
    "  <method name='Evaluate'>"
    "   <arg direction='in' type='t' name='publication'/>"
    "   <arg direction='in' type='s' name='script'/>"
    "  </method>"
    " </interface>"
    "</node>";

// Direct calls: a stream socket beside the connection, on which the
// extension asks a value-returning call without the hops of a D-Bus call and
// blocks for the reply. Each frame is a header in host byte order, then that
// many bytes of serialised GVariant:
//   request  uint64 messages   how many messages that expect no reply the
//                              extension sent on the connection before this
//                              call (a call it waited for is handled)
//            uint32 length     then the call's "(tssav)", as Call takes it
//   reply    uint32 status     one of DirectStatus
//            uint32 length     then the result's "v" (answered only)
// The application answers at once what it may answer off its main thread
// (a reader, see PageObject::declareReader) once it has handled that many
// messages of the connection; anything else it sends back to be asked with
// Call, so that the order of the page's calls holds.
enum DirectStatus : unsigned {
  kDirectAnswered = 0,
  kDirectAskWithCall = 1,  // this time: an earlier message is still being handled
  kDirectNeverHere = 2,    // this method of this publication is never answered here
};
constexpr size_t kDirectRequestHeader = 12;
constexpr size_t kDirectReplyHeader = 8;
// The most a direct request may carry: the extension's budget for a call.
constexpr size_t kDirectMaxBytes = 64u << 20;

// The longest console text the extension sends, in bytes: a longer one is
// cut, with the length it had. Half of what the core log keeps of a line,
// which leaves room for the script's address.
constexpr size_t kConsoleTextBytes = 8192;

// Console message levels as sent by the extension.
enum ConsoleLevel : unsigned {
  kConsoleLog = 0,
  kConsoleInfo = 1,
  kConsoleWarning = 2,
  kConsoleError = 3,
  kConsoleDebug = 4,
};

// The two values carried as a byte.
constexpr unsigned char kUndefinedByte = 0;
constexpr unsigned char kNullByte = 1;

// Argument kinds (see Publish).
constexpr char kKindValue = 'v';
constexpr char kKindText = 's';

// Of the messages the extension sends without waiting (Send, Console, Shown,
// Ended, Refused), every kOneWayWindow-th expects an answer and waits for it:
// at most that many wait unread.
constexpr unsigned kOneWayWindow = 256;
constexpr char kKindNumber = 'n';
constexpr char kKindCallback = 'f';

}  // namespace PageChannelProtocol
