// Stand-ins for the client's page objects, for the demo page in a bare WebKit
// window: sounds "play" in real time (their length from the page's track
// list, loaded three times as fast as they play) and the page gets the same
// answers it gets from the client, so it polls, renders and moves from track
// to track just as it does there. The play button is pressed whenever
// nothing plays, as the memory benchmark does in the client.
(() => {
  const PLAYING = 6;
  const READY = 0;
  const FAILED = 2;
  const QUEUED = Number.MAX_VALUE;  // start of a sound waiting to follow another
  const sounds = new Map();
  let nextId = 1;
  const now = () => performance.now();

  function lengthOf(url) {
    const match = /_TEID=([^&]*)/.exec(url);
    const id = match ? decodeURIComponent(match[1]) : '';
    const track = (window.DEMO_TRACKS || []).find((t) => String(t.id) === id);
    return Math.round((track ? track.seconds : 10) * 1000);
  }

  // A follower starts on the sample after its leader ends.
  function follow(sound) {
    const leader = sounds.get(sound.after);
    if (!leader) return;
    if (leader.start !== QUEUED && positionOf(leader) >= leader.length) {
      sound.start = leader.start + leader.length;
      sound.after = 0;
    }
  }

  function positionOf(sound) {
    if (sound.after) follow(sound);
    if (sound.start === 0 || sound.start === QUEUED) return 0;
    return Math.max(0, Math.min(sound.length, sound.paused ? sound.at : now() - sound.start));
  }

  function withSound(id, answer, otherwise) {
    const sound = sounds.get(id);
    return sound ? answer(sound) : otherwise;
  }

  window.AudioBinding = {
    createSound(url) {
      const id = nextId++;
      sounds.set(id, { length: lengthOf(url), start: 0, at: 0, paused: false, made: now(), after: 0 });
      return id;
    },
    deleteSound(id) { sounds.delete(id); },
    setVolume() {},
    setPosition(id, ms) { withSound(id, (s) => { s.start = now() - ms; s.at = ms; }); },
    play(id, queued, after) {
      withSound(id, (s) => {
        if (queued && after > 0) {
          s.after = after;
          s.start = QUEUED;
        } else if (s.paused) {
          s.paused = false;
          s.start = now() - s.at;
        } else {
          s.start = now();
        }
      });
    },
    pause(id) { withSound(id, (s) => { s.at = positionOf(s); s.paused = true; }); },
    getState(id) { return withSound(id, (s) => (positionOf(s) >= s.length ? READY : PLAYING), FAILED); },
    getLength(id) { return withSound(id, (s) => s.length, 0); },
    getPosition(id) { return withSound(id, positionOf, 0); },
    getPlaying(id) {
      return withSound(id, (s) => {
        const position = positionOf(s);
        return s.start !== 0 && s.start !== QUEUED && s.after === 0 && position < s.length;
      }, false);
    },
    getPaused(id) { return withSound(id, (s) => s.paused, false); },
    getStarving() { return false; },
    getRanges(id) { return withSound(id, (s) => [0, Math.min(s.length, Math.round((now() - s.made) * 3))], []); },
  };

  const later = (callback, value) => setTimeout(() => callback(value), 0);
  window.VeloraICI = {
    init() {},
    getFiles(repositories, state, flags, callback) { later(callback, []); },
    getFileCount(repositories, state, flags, callback) { later(callback, 0); },
    getSetting(name) { return name === 'cache_repository_max_size' ? '-1' : '/tmp'; },
    getDeviceInfo(name) {
      if (name === 'output_devices') return [{ key: 'default', value: 'Default output' }];
      return name === 'version' ? '0.0' : 1e10;
    },
    setFileUrl() {}, addFiles() {}, clearCache() {}, pauseDownloads() {}, resumeDownloads() {}, removeFiles() {},
    terminate() {},
  };

  // The client's own store, as the page sees it (its storage stands behind
  // the page's localStorage), and notifications that show nothing.
  window.VeloraStorage = {};
  window.VeloraWebkitNotifications = {
    checkPermission() { return 0; },
    requestPermission() {},
    createNotification() { return { show() {} }; },
  };
  window.MACOS = true;

  setInterval(() => {
    const button = document.getElementById('play');
    if (button && !button.disabled && button.textContent.indexOf('Pause') < 0) button.click();
  }, 5000);
})();
