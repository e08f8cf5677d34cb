// Shared by the shell's test pages: reporting to the test server.
'use strict';

function report(name, value) {
  return fetch('/report?name=' + encodeURIComponent(name), {
    method: 'POST',
    body: value === undefined ? 'undefined' : JSON.stringify(value),
  });
}

function params() {
  return new URLSearchParams(location.search);
}

// What a frame sees of the page objects.
function objectsSeen(names) {
  const seen = {};
  for (const name of names) {
    const object = window[name];
    seen[name] = typeof object === 'object' && object !== null ? Object.keys(object).sort() : typeof object;
  }
  seen.MACOS = typeof MACOS === 'undefined' ? 'undefined' : MACOS;
  seen.stepScript = typeof stepScriptRan === 'undefined' ? 'undefined' : stepScriptRan;
  return seen;
}

// Clicks a new link to the address that opens a new window, as a page's
// script can; the link (empty, so out of the way of the user's clicks) goes
// again.
function clickNewWindowLink(href) {
  const link = document.body.appendChild(Object.assign(document.createElement('a'), { href, target: '_blank' }));
  link.click();
  link.remove();
}
