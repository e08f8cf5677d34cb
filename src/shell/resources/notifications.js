// Completes VeloraWebkitNotifications into the old-style web notifications
// interface the page uses. Permission is always granted and notification
// objects live in the page; only showing one reaches the application.
(function () {
  'use strict';
  var native = window.VeloraWebkitNotifications;
  if (!native) return;
  // As the native calls take texts: null and undefined as '', what String()
  // cannot convert (a symbol, inside an array) as '' too.
  var text = function (value) {
    if (value === null || value === undefined) return '';
    try { return String(value); } catch (e) { return ''; }
  };

  native.requestPermission = function (callback) {
    if (typeof callback === 'function') setTimeout(callback, 0);
  };
  native.checkPermission = function () { return 0; };
  native.createHTMLNotification = function () {};
  native.createNotification = function (icon, title, message) {
    var notification = {
      icon: text(icon),
      title: text(title),
      message: text(message),
      show: function () { native.show(notification.icon, notification.title, notification.message); },
      cancel: function () {},
    };
    return notification;
  };
  if (!window.webkitNotifications) window.webkitNotifications = native;
})();
