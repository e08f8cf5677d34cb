// The application pre-fetches the page's cache manifest itself; WebKit no
// longer offers window.applicationCache. Pages that look at it find an idle
// cache that never updates.
(function () {
  'use strict';
  if (window.applicationCache) return;
  var noop = function () {};
  window.applicationCache = {
    UNCACHED: 0, IDLE: 1, CHECKING: 2, DOWNLOADING: 3, UPDATEREADY: 4, OBSOLETE: 5,
    status: 1,
    update: noop, abort: noop, swapCache: noop,
    addEventListener: noop, removeEventListener: noop,
  };
})();
