// The offline test page: what it managed to do goes into window.results,
// which the test reads from the application.
'use strict';
window.results = { script: true };

window.addEventListener('load', async () => {
  const results = window.results;
  results.style = getComputedStyle(document.getElementById('status')).color;
  const cover = document.getElementById('cover');
  results.image = cover.complete && cover.naturalWidth;
  try {
    const answer = await fetch('data.json');
    results.fetchAnswer = [answer.status, answer.type, answer.url];
    const text = await answer.text();
    results.fetch = JSON.parse(text).tracks;
  } catch (e) {
    results.fetch = 'failed: ' + e;
  }
  try {
    const runs = Number(localStorage.getItem('runs') || '0') + 1;
    localStorage.setItem('runs', String(runs));
    results.storage = localStorage.getItem('runs') === String(runs) ? runs : 'mismatch';
  } catch (e) {
    results.storage = 'failed: ' + e;
  }
  results.location = location.href;
  results.origin = location.origin;
  results.done = true;
  document.getElementById('status').textContent = 'ready';
  document.title = 'Offline player ready';
});
