// The application's test player: tells the test what it sees, and answers
// the termination question as the address asks ("agree": yes, never, none).
'use strict';
(function () {
  const agree = params().get('agree') || 'yes';
  const api = {};
  if (agree === 'yes') {
    api.askTermination = () => { report('asked', 1).then(() => VeloraICI.terminate()); };
  } else if (agree === 'never') {
    api.askTermination = () => { report('asked', 1); };
  }
  window.VeloraAPI = api;
  report('loaded', {
    hash: location.hash,
    agent: navigator.userAgent,
    objects: typeof VeloraICI,
    kept: localStorage.getItem('kept'),
  });
  const keep = params().get('keep');
  if (keep) localStorage.setItem('kept', keep);
  window.addEventListener('hashchange', () => report('hash', location.hash));
})();
