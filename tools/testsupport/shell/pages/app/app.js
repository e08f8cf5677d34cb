// The application's test player: tells the test what it sees, and answers
// the termination question as the address asks ("agree": yes, never, none,
// close: by closing its window), embeds a frame over the whole window when
// the address names one ("frame"), writes its console (a few lines at each
// start, from its script and from code made of text; "console": many;
// "longConsole": long lines for that many seconds), shows an image of the
// address's choice ("image") and a new cover now and then ("covers"), and
// opens that many new windows at each click ("links") or a mail address of
// that many attachments ("attachments").
'use strict';
(function () {
  // Reports go to another server when the address names one (the page's own
  // may be gone: the offline start).
  const elsewhere = params().get('reports');
  const send = elsewhere
    ? (name, value) => fetch(elsewhere + '/report?name=' + encodeURIComponent(name),
                             { method: 'POST', mode: 'no-cors', body: JSON.stringify(value) })
    : report;
  const agree = params().get('agree') || 'yes';
  const api = {};
  if (agree === 'yes') {
    api.askTermination = () => { send('asked', 1).then(() => VeloraICI.terminate()); };
  } else if (agree === 'never') {
    api.askTermination = () => { send('asked', 1); };
  } else if (agree === 'close') {
    api.askTermination = () => { send('asked', 1).then(() => window.close()); };
  }
  const frame = params().get('frame');
  if (frame) {
    const element = Object.assign(document.createElement('iframe'), { src: frame });
    Object.assign(element.style, { position: 'fixed', left: 0, top: 0, width: '100%', height: '100%', border: 0 });
    document.body.appendChild(element);
  }
  window.VeloraAPI = api;
  console.log('test player started');
  eval("console.log('test player eval line')");
  new Function("console.log('test player function line')")();
  setTimeout("console.log('test player timer line')", 0);
  // Told after the timer's line is written (timers of one delay run in
  // order), so a test that quits once the page is loaded finds every line.
  setTimeout(() => send('loaded', {
    hash: location.hash,
    agent: navigator.userAgent,
    objects: typeof VeloraICI,
    kept: localStorage.getItem('kept'),
  }), 0);
  // A player that writes its console without end (?console=lines).
  const lines = Number(params().get('console') || 0);
  if (lines > 0) {
    const line = 'player-line ' + 'p'.repeat(1000);
    for (let i = 0; i < lines; i++) console.log(line);
    send('player-flooded', lines);
  }
  // Lines as long as the log keeps, one every 20 ms (?longConsole=seconds).
  const longSeconds = Number(params().get('longConsole') || 0);
  if (longSeconds > 0) {
    const line = 'long-line ' + 'l'.repeat(16384);
    const end = Date.now() + longSeconds * 1000;
    const flood = setInterval(() => {
      console.log(line);
      if (Date.now() < end) return;
      clearInterval(flood);
      send('long-console-done', longSeconds);
    }, 20);
  }
  // An image at the address's choice (?image=path).
  const image = params().get('image');
  if (image) document.body.appendChild(Object.assign(document.createElement('img'), { src: image }));
  // A new cover of the player's origin every 400 ms (?covers=count).
  const covers = Number(params().get('covers') || 0);
  if (covers > 0) {
    const cover = document.body.appendChild(document.createElement('img'));
    let shown = 0;
    const next = setInterval(() => {
      cover.src = '/icon.png?cover=' + ++shown;
      if (shown < covers) return;
      clearInterval(next);
      cover.onload = () => send('covers-shown', shown);
    }, 400);
  }
  // A click anywhere but on a link opens ?links= new windows at once.
  const ownLinks = Number(params().get('links') || 0);
  if (ownLinks > 0) {
    document.addEventListener('click', (event) => {
      if (event.target.closest('a')) return;
      for (let i = 0; i < ownLinks; i++) clickNewWindowLink('/app/other.html?own=' + i);
      send('links-clicked', ownLinks);
    });
  }
  // A click anywhere but on a link opens a mail address of ?attachments=
  // fields asking for the user's files, ?padding= bytes long at least.
  const attachments = Number(params().get('attachments') || 0);
  if (attachments > 0) {
    let clicks = 0;
    document.addEventListener('click', (event) => {
      if (event.target.closest('a')) return;
      const fields = Array.from({ length: attachments }, (_, i) => '&attach=%2Fhome%2Ffile' + i).join('');
      const padding = 'p'.repeat(Number(params().get('padding') || 0));
      clickNewWindowLink('mailto:someone@velora.example?subject=Click' + ++clicks + fields + '&x-pad=' + padding);
      send('mail-clicked', clicks);
    });
  }
  const keep = params().get('keep');
  if (keep) localStorage.setItem('kept', keep);
  window.addEventListener('hashchange', () => send('hash', location.hash));
  // A frame that has written its console says so.
  window.addEventListener('message', (event) => {
    if (event.data === 'huge-logged') console.log('after the huge frame');
  });
  // A page that sleeps far too long, twice (?sleep=date).
  if (params().get('sleep')) {
    send('sleeping', 1).then(() => {
      VeloraICI.sleep(new Date());
      send('woke', 1).then(() => VeloraICI.sleep(new Date()));
    });
  }
})();
