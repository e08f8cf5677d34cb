// Backs the page's localStorage and sessionStorage with the application's
// stores (VeloraStorage): local storage lasts from run to run, session
// storage for one run of the application.
(function () {
  'use strict';
  var native = window.VeloraStorage;
  if (!native) return;

  function makeStorage(name) {
    // The methods live on the storage's prototype, as the browser's Storage
    // methods do: the object's own properties are its stored keys alone, for
    // Object.keys, for-in, JSON.stringify, hasOwnProperty and `in`.
    var methods = {
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
    Object.defineProperty(methods, 'length', { get: function () { return native.length(name); }, enumerable: true });
    var storedValue = function (property) {
      return typeof property === 'symbol' ? null : native.getItem(name, property);
    };
    // Keys also read and write as properties, as with the browser's storage;
    // a key named as a method reads as the method.
    return new Proxy(Object.create(methods), {
      get: function (target, property) {
        if (typeof property === 'symbol' || property in methods) return methods[property];
        var value = storedValue(property);
        return value === null ? undefined : value;
      },
      set: function (target, property, value) {
        if (typeof property === 'symbol' || property in methods) return false;
        methods.setItem(property, value);
        return true;
      },
      has: function (target, property) {
        return property in methods || storedValue(property) !== null;
      },
      ownKeys: function () {
        var keys = [];
        for (var i = 0, count = native.length(name); i < count; i++) {
          var key = native.key(name, i);
          if (key !== null) keys.push(key);
        }
        return keys;
      },
      getOwnPropertyDescriptor: function (target, property) {
        var value = storedValue(property);
        if (value === null) return undefined;
        return { value: value, writable: true, enumerable: true, configurable: true };
      },
      defineProperty: function (target, property, descriptor) {
        if (typeof property === 'symbol' || property in methods || !('value' in descriptor)) return false;
        methods.setItem(property, descriptor.value);
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
