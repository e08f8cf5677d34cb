// Scenarios of the bridge objects test, chosen by ?scenario=.
'use strict';

const received = [];
window.VeloraAPI = {
  triggerKeyboardShortcut(name) {
    if (name === 'done') report('events', received);
    else received.push(['triggerKeyboardShortcut', name]);
  },
  onFilesAdded(files) { received.push(['onFilesAdded', files]); },
  showError(code, kind, number) { received.push(['showError', code, kind, number]); },
  getFileUrl(file) { received.push(['getFileUrl', Object.getPrototypeOf(file) === null, Object.keys(file), file]); },
};

function typed(value) {
  if (value === null) return ['null', null];
  if (Array.isArray(value)) return ['array', value];
  if (typeof value === 'object') return ['object', Object.getPrototypeOf(value) === null ? 'no-prototype' : 'prototype', value];
  return [typeof value, value];
}

const names = ['VeloraICI', 'VeloraStorage', 'VeloraWebkitNotifications', 'AudioBinding'];

const oddEntries = [['a\0b', '1'], ['a', '2'], ['a\0', '3'], ['k\uD800', '4'], ['k\uDBFF', '5'],
                    ['v', 'x\0y\uDC00z']];

// Calls then once the core's worker has applied every setting set before the
// call (an earlier page's among them), leaving the stream buffer size at its
// default (64 KiB). The worker applies that size after the folders in each
// pass: two changes of it, each seen applied, span a whole pass begun after
// the call. (One change seen applied may have come in a pass whose folders
// were looked at before the call.)
function settled(then) {
  const I = VeloraICI;
  const key = 'stream_buffer_size';
  const waitFor = (done, next) => (done() ? next() : setTimeout(() => waitFor(done, next), 20));
  const marker = I.getSetting(key) === '72' ? '88' : '72';
  I.setSetting(key, marker);
  waitFor(() => I.getSetting(key) === marker, () => {
    I.setSetting(key, '64');
    waitFor(() => I.getSetting(key) === '64', then);
  });
}

const scenarios = {
  presence() {
    const seen = objectsSeen(names);
    seen.webkitNotifications = window.webkitNotifications === window.VeloraWebkitNotifications;
    seen.applicationCache = window.applicationCache && window.applicationCache.status;
    seen.audioIsNative = AudioBinding.isNative;
    seen.localStorageReplaced = Object.getOwnPropertyDescriptor(window, 'localStorage') !== undefined;
    seen.userAgent = navigator.userAgent.replace(/^.* (VeloraDesktop\/)/, '$1');
    report('presence', seen);
  },

  values() {
    const I = VeloraICI, S = VeloraStorage, A = AudioBinding;
    I.init();
    localStorage.clear();
    localStorage.setItem('k', 42);
    localStorage.setItem('empty', '');
    let refusedWrite = 'stored';
    try {
      localStorage.setItem('settings', '{"0":1}');
    } catch (e) {
      refusedWrite = [e.name, localStorage.getItem('settings')];
    }
    const devices = I.getDeviceInfo('output_devices');
    report('values', {
      unknownSetting: typed(I.getSetting('no such setting')),
      unknownInfo: typed(I.getDeviceInfo('no such key')),
      nullInfo: typed(I.getDeviceInfo(null)),
      version: typed(I.getDeviceInfo('version')),
      space: typeof I.getDeviceInfo('cache_volume_available_space'),
      devices: [Array.isArray(devices), devices.every((d) => Object.getPrototypeOf(d) === null && Object.keys(d).join() === 'key,value')],
      number: typed(localStorage.getItem('k')),
      missing: typed(localStorage.getItem('missing')),
      empty: typed(localStorage.getItem('empty')),
      length: typed(localStorage.length),
      keyPastEnd: typed(localStorage.key(localStorage.length)),
      nameAsNumber: typed(S.length(5)),
      otherStore: typed(S.length('nope')),
      keyOfNullStore: typed(S.key(null, 0)),
      property: typed(localStorage.k),
      refusedWrite: refusedWrite,
      state: typed(A.getState(999)),
      position: typed(A.getPosition(999)),
      playing: typed(A.getPlaying(999)),
      volume: typed(A.getVolume(999)),
      ranges: typed(A.getRanges(999)),
      pending: typed(A.getPendingData(999)),
      created: typed(A.createSound(null)),
      cleared: typed(S.clear('sessionStorage')),
      removed: typed(S.removeItem('sessionStorage', 'missing')),
      systemUid: I.getDeviceInfo('system_uid'),
      // Negative and absurd sleeps return at once instead of wrapping.
      slept: [I.sleep(-1e12), I.sleep(NaN), I.sleep(-1), typed(I.getSetting('no such setting'))],
    });
  },

  callbacks() {
    const I = VeloraICI;
    const fired = { count: [], files: [], refused: 0, notFunction: 'untouched' };
    const touched = () => { fired.notFunction = 'touched'; return 0; };
    I.init();
    I.getFileCount(['cache', 'import'], 0, 0, (n) => fired.count.push(n));
    I.getFiles(['cache', 'nope'], 0, 0, (files) => fired.files.push(Array.isArray(files)));
    I.getFileCount(['cache'], 0, 0, { valueOf: touched, toString: touched, call: touched, apply: touched });
    I.terminate();  // the page is no longer ready: queries are refused
    I.getFileCount(['cache'], 0, 0, () => fired.refused++);
    I.init();
    I.getFileCount(['cache'], 0, 0, () => {
      // Answers come in order: the earlier ones have fired by now, or never will.
      report('callbacks', fired);
    });
  },

  guards() {
    const I = VeloraICI;
    const home = params().get('home');
    const setting = 'download_repository_path';
    const waitFor = (done, then) => (done() ? then() : setTimeout(() => waitFor(done, then), 20));
    I.init();
    const music = I.getSetting(setting);
    I.setUserId('y'.repeat(1 << 20));
    const mine = home + '/Velora downloads';
    I.setSetting(setting, mine);
    waitFor(() => I.getSetting(setting) === mine, () => {
      for (const path of ['/etc/velora', home + '/../../etc/velora', home + '/elsewhere/velora', 'velora', home + '/' + 'x'.repeat(5000)]) {
        I.setSetting(setting, path);
      }
      I.setSetting('cache_repository_path', '/c'.repeat(3000));
      settled(() => {
        const kept = I.getSetting(setting);
        // Put back before the report: the next scenario starts from settings
        // the worker has applied.
        I.setSetting(setting, music);
        settled(() => report('guards', { music, kept }));
      });
    });
  },

  // A download folder outside the home and media folders: refused when the
  // page names it, taken when the user picks it in the folder chooser.
  chosenFolder() {
    const I = VeloraICI;
    const setting = 'download_repository_path';
    const outside = params().get('outside');
    I.init();
    // A folder an earlier page set may still wait for the worker: read once
    // it is applied, else it would change under the test.
    settled(() => {
      const before = I.getSetting(setting);
      I.setSetting(setting, outside + '/typed');
      settled(() => {
        const typed = I.getSetting(setting);
        const chosen = I.openFolderBrowseDialog(outside);
        I.setSetting(setting, chosen + '/Velora');
        settled(() => {
          const kept = I.getSetting(setting);
          I.setSetting(setting, before);
          settled(() => report('chosen-folder', { typedRefused: typed === before, chosen, kept }));
        });
      });
    });
  },

  events() {
    VeloraICI.init();
    report('events-ready', true);
  },

  console() {
    console.log('bridge console log line');
    console.warn('bridge console warning line');
    console.error('bridge console error line');
    console.debug('bridge console debug line');
    // Texts that would start lines of their own, from the player and from a
    // third-party frame.
    console.log('forged by the player\n2030-01-01 00:00:00,000 [ERROR] desktop - FORGED\r\u2028end');
    const frame = document.createElement('iframe');
    frame.src = params().get('third') + '/console-frame.html';
    frame.onload = () => {
      console.log('bridge console after the frame');
      report('console', true);
    };
    document.body.appendChild(frame);
  },

  // Two console lines of 2 MB between two short ones.
  consoleFlood() {
    console.log('before the flood');
    console.log('x'.repeat(2000000));
    console.error('y'.repeat(2000000));
    console.log('after the flood');
    report('console-flood', true);
  },

  notify() {
    const icon = location.origin + '/icon.png';
    webkitNotifications.createNotification(icon, 'First title', 'first message').show();
    webkitNotifications.createNotification('file:///etc/passwd', 'Second title', 'second message').show();
    webkitNotifications.createNotification(null, 'First title', 'replaced message').show();
    report('notify', { permission: webkitNotifications.checkPermission() });
  },

  // Notifications in a row, then an answered call.
  notifyMany() {
    for (let i = 0; i < 20; i++) webkitNotifications.createNotification(null, 'Many ' + i, 'in a row').show();
    report('notify-many', VeloraICI.getSetting('no such setting'));
  },

  play() {
    const I = VeloraICI, A = AudioBinding;
    I.init();
    // The WAV writer (its file is given by the test), once the worker has
    // switched to it.
    I.setSetting('device_output', '4:0');
    const started = Date.now();
    const waitForOutput = () => {
      if (!I.getSetting('device_output').startsWith('4:')) {
        setTimeout(waitForOutput, 20);
        return;
      }
      const sound = A.createSound(params().get('url'));
      A.play(sound, 0, 0);
      let played = false;
      const watch = () => {
        const playing = A.getPlaying(sound);
        played = played || playing;
        if (played && !playing) {
          report('play', { sound, length: A.getLength(sound), state: A.getState(sound), ranges: A.getRanges(sound).length > 0 });
          return;
        }
        setTimeout(watch, 20);
      };
      watch();
    };
    waitForOutput();
  },

  // Plays the sound at ?url= without sound output until the application's
  // play/pause shortcut pauses it.
  playUntilPaused() {
    const I = VeloraICI, A = AudioBinding;
    I.init();
    I.setSetting('device_output', '3:0');
    const waitFor = (done, then) => (done() ? then() : setTimeout(() => waitFor(done, then), 20));
    waitFor(() => I.getSetting('device_output').startsWith('3:'), () => {
      const sound = A.createSound(params().get('url'));
      window.VeloraAPI.triggerKeyboardShortcut = (name) => {
        if (name !== 'playpause') return;
        A.pause(sound);
        waitFor(() => A.getPaused(sound), () => report('paused', true));
      };
      A.play(sound, 0, 0);
      waitFor(() => A.getPlaying(sound) && !A.getPaused(sound), () => report('playing', true));
    });
  },

  // A player's answer to the keyboard's shortcuts: play/pause toggles the
  // sound (reported once it took effect), previous track reports every
  // shortcut received so far. With ?pauseAfter=N it also pauses by itself N ms
  // after it first plays (the page's own pause button, say).
  mediaKeys() {
    const I = VeloraICI, A = AudioBinding;
    I.init();
    I.setSetting('device_output', '3:0');
    const waitFor = (done, then) => (done() ? then() : setTimeout(() => waitFor(done, then), 20));
    const shortcuts = [];
    waitFor(() => I.getSetting('device_output').startsWith('3:'), () => {
      const sound = A.createSound(params().get('url'));
      window.VeloraAPI.triggerKeyboardShortcut = (name) => {
        shortcuts.push(name);
        if (name === 'previoustrack') report('shortcuts', shortcuts);
        if (name !== 'playpause') return;
        if (A.getPaused(sound)) {
          A.play(sound, 0, 0);
          waitFor(() => !A.getPaused(sound), () => report('resumed', true));
        } else {
          A.pause(sound);
          waitFor(() => A.getPaused(sound), () => report('paused', true));
        }
      };
      A.play(sound, 0, 0);
      waitFor(() => A.getPlaying(sound) && !A.getPaused(sound), () => {
        report('playing', true);
        if (!params().has('pauseAfter')) return;
        setTimeout(() => {
          A.pause(sound);
          waitFor(() => A.getPaused(sound), () => report('paused', true));
        }, Number(params().get('pauseAfter')));
      });
    });
  },

  storageWrite() {
    localStorage.setItem('persists', 'local value');
    sessionStorage.setItem('lasts', 'session value');
    report('storage-write', [localStorage.getItem('persists'), sessionStorage.getItem('lasts')]);
    // Keys and values that only differ after a U+0000 or in a lone surrogate.
    for (const [key, value] of oddEntries) localStorage.setItem(key, value);
    report('storage-odd-write', oddEntries.map(([key]) => localStorage.getItem(key)));
  },

  // What pages written for the browser's storage ask of it.
  storageEnumeration() {
    localStorage.clear();
    localStorage.setItem('first', '1');
    localStorage.second = '2';
    const forIn = [];
    for (const key in localStorage) forIn.push(key);
    report('storage-enumeration', {
      keys: Object.keys(localStorage),
      forIn: forIn.slice(0, 2),
      has: ['first' in localStorage, 'missing' in localStorage, 'getItem' in localStorage],
      json: JSON.stringify(localStorage),
      own: [localStorage.hasOwnProperty('second'), localStorage.hasOwnProperty('getItem'),
            Object.prototype.hasOwnProperty.call(localStorage, 'first')],
      length: localStorage.length,
    });
  },

  storageRead() {
    report('storage-read', [localStorage.getItem('persists'), sessionStorage.getItem('lasts')]);
    const keys = [];
    for (let i = 0; i < localStorage.length; i++) keys.push(localStorage.key(i));
    report('storage-odd-read', [oddEntries.map(([key]) => localStorage.getItem(key)),
                                oddEntries.every(([key]) => keys.includes(key))]);
  },

  // Rounds of random calls to every method, with random values (huge and
  // deep ones among them), and a random navigation between rounds: a new
  // document, a new history entry, or away to another origin and back
  // through history (the page cache may give this document back).
  fuzz() {
    const p = params();
    const round = Number(p.get('round') || 0);
    const rounds = Number(p.get('rounds') || 1);
    let seed = Number(p.get('seed') || 1) + round * 7919;
    const random = () => {
      seed = (seed * 1103515245 + 12345) % 2147483648;
      return seed / 2147483648;
    };
    const pick = (list) => list[Math.floor(random() * list.length)];
    const nested = (depth) => (depth === 0 ? 'bottom' : [nested(depth - 1)]);
    const huge = () => pick([
      () => 'h'.repeat(1 << 20),
      () => '\u00e9'.repeat(3 << 20),
      () => nested(200),
      () => Array.from({ length: 20000 }, (_, i) => i),
      () => Object.fromEntries(Array.from({ length: 2000 }, (_, i) => ['k' + i, { repository: 'cache', entity_id: i }])),
    ])();
    const value = (depth) => {
      if (random() < 0.005) return huge();
      switch (Math.floor(random() * (depth > 1 ? 9 : 11))) {
        case 0: return undefined;
        case 1: return null;
        case 2: return random() < 0.5;
        case 3: return pick([0, -0, 1, -1, 0.5, NaN, Infinity, -Infinity, 2 ** 31, -(2 ** 31) - 1, 2 ** 53 + 2, 1e308]);
        case 4: return Math.floor(random() * 20) - 5;
        case 5: return pick(['', 'localStorage', 'sessionStorage', 'cache', 'import', 'download', '\u0000', '\uD800', 'x'.repeat(400),
                             'output_devices', 'version', 'system_uid', 'download_repository_path', 'max_concurrent_downloads',
                             'stream_buffer_size', 'cache_repository_max_size', '/tmp', '-1']);
        case 6: return () => 1;
        case 7: return pick([Symbol('s'), 10n, new Date(0), window, document]);
        case 8: return String(Math.floor(random() * 100));
        case 9: {
          const list = [];
          const n = Math.floor(random() * 4);
          for (let i = 0; i < n; i++) list.push(value(depth + 1));
          return list;
        }
        default: {
          const object = {};
          for (const key of ['repository', 'entity_id', 'format_id', 'metadata']) if (random() < 0.7) object[key] = value(depth + 1);
          return object;
        }
      }
    };
    // Calls that wait for a person (a dialog, an upload's alert) are left out.
    const skip = new Set(['openFolderBrowseDialog', 'openProxySettingsDialog', 'sendLog']);
    const targets = [];
    for (const name of names) {
      for (const method of Object.keys(window[name])) {
        if (typeof window[name][method] === 'function' && !skip.has(method)) targets.push([name, method]);
      }
    }
    const fuzzCalls = (count) => {
      let thrown = 0;
      for (let i = 0; i < count; i++) {
        const [object, method] = pick(targets);
        const args = [];
        const n = Math.floor(random() * 5);
        for (let j = 0; j < n; j++) args.push(value(0));
        // The page waits out each sleep: short ones here, the longest in the
        // client's own test.
        if (method === 'sleep') args.splice(0, 1, random() * 20);
        try {
          window[object][method](...args);
        } catch (e) {
          thrown++;
          window.firstError = window.firstError || (object + '.' + method + ': ' + e);
        }
      }
      return thrown;
    };
    const calls = Number(p.get('calls') || 10000);
    const thrown = fuzzCalls(calls);
    const result = { round, calls, targets: targets.length, thrown, alive: VeloraICI.getSetting('no such setting') === '', error: window.firstError };
    const next = new URL(location.href);
    next.searchParams.set('round', round + 1);
    const navigate = () => {
      if (round + 1 >= rounds) return report('fuzz', result);
      const way = p.get('hopped') ? 'replace' : pick(['replace', 'assign', 'hop']);
      if (way === 'replace') location.replace(next.href);
      else if (way === 'assign') location.assign(next.href);
      else {
        // Marked, so that a document loaded again instead of given back
        // goes on rather than hops again.
        const marked = new URL(location.href);
        marked.searchParams.set('hopped', '1');
        history.replaceState(null, '', marked.href);
        window.addEventListener('pageshow', (event) => {
          if (!event.persisted) return;
          // Given back from the page cache: its objects work or are gone.
          try { fuzzCalls(20); } catch (e) { /* none */ }
          location.replace(next.href);
        });
        // The main frame goes to another origin only when the user starts
        // it: the test does, as a user would.
        window.hopTo = p.get('other') + '/hop.html';
        report('fuzz-hop', round);
      }
    };
    report('fuzz-round', result).then(navigate);
  },
};

window.addEventListener('load', () => {
  const scenario = params().get('scenario');
  if (scenarios[scenario]) scenarios[scenario]();
});
