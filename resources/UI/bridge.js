// Injected at document start: the page's side of the native bridge. Requests are posted
// to the "korvane" handler as {id, action, arg}; the native side answers each id once
// through window.__korvaneResolve.
(function () {
  'use strict';
  var pending = new Map();
  var counter = 0;

  window.__korvaneResolve = function (id, value, error) {
    var entry = pending.get(id);
    if (!entry) return;
    pending.delete(id);
    if (error !== null && error !== undefined) entry.reject(new Error(error));
    else entry.resolve(value);
  };

  window.korvane = {
    request: function (action, arg) {
      var id = 'r' + (++counter) + '-' + Date.now();
      return new Promise(function (resolve, reject) {
        pending.set(id, { resolve: resolve, reject: reject });
        var handler = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.korvane;
        if (!handler) {
          pending.delete(id);
          reject(new Error('本地桥接不可用'));
          return;
        }
        handler.postMessage({ id: id, action: action, arg: arg || {} });
      });
    }
  };
})();
