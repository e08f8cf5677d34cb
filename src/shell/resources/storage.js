// Backs the page's localStorage and sessionStorage with the application's
// stores (VeloraStorage): local storage lasts from run to run, session
// storage for one run of the application.
(function () {
  'use strict';
  var native = window.VeloraStorage;
  if (!native) return;

  function makeStorage(name) {
    var api = {
      getItem: function (key) { return native.getItem(name, String(key)); },
      // A value the application could not store fails as a full browser
      // storage does.
      setItem: function (key, value) {
        if (native.setItem(name, String(key), String(value)) === false) {
          throw new DOMException('The value of "' + key + '" could not be stored.', 'QuotaExceededError');
        }
      },
      removeItem: function (key) { native.removeItem(name, String(key)); },
      clear: function () { native.clear(name); },
      key: function (index) { return native.key(name, Number(index)); },
    };
    Object.defineProperty(api, 'length', { get: function () { return native.length(name); } });
    // Keys also read and write as properties, as with the browser's storage.
    return new Proxy(api, {
      get: function (target, property) {
        if (typeof property === 'symbol' || property in target) return target[property];
        var value = native.getItem(name, property);
        return value === null ? undefined : value;
      },
      set: function (target, property, value) {
        if (typeof property === 'symbol' || property in target) return false;
        api.setItem(property, value);
        return true;
      },
      deleteProperty: function (target, property) {
        if (typeof property !== 'symbol') native.removeItem(name, property);
        return true;
      },
    });
  }

  ['localStorage', 'sessionStorage'].forEach(function (name) {
    try {
      Object.defineProperty(window, name, { value: makeStorage(name), configurable: true, enumerable: true });
    } catch (e) {
      console.warn('cannot replace ' + name + ': ' + e);
    }
  });
})();
