// The demo player page. It plays the generated tracks (window.DEMO_TRACKS,
// from tracks.js) through the desktop client's audio object, one after the
// other without a gap, lists the offline downloads and what the client
// stores, keeps a note in local storage and shows a desktop notification.
//
// It talks to the client only through the objects the client publishes on
// the window (VeloraICI, AudioBinding, VeloraStorage behind localStorage,
// VeloraWebkitNotifications) and through window.VeloraAPI, which the client
// calls. Opened in an ordinary browser, where those objects are absent, it
// says so and offers what still works: the track files and the note.
'use strict';

(function () {
  const ici = window.VeloraICI;
  const audio = window.AudioBinding;
  const notifications = window.VeloraWebkitNotifications;
  const tracks = Array.isArray(window.DEMO_TRACKS) ? window.DEMO_TRACKS : [];

  // Format ids of the client's format table: 5 is the lossy (MP3) format
  // made when nothing stored fits, 6 the lossless (FLAC) one.
  const FORMAT = { mp3: 5, flac: 6 };
  const FORMAT_NAME = { 5: 'MP3', 6: 'FLAC' };
  const DOWNLOAD = 'download';
  const FILE_REMOVED = 1;
  const FILE_COMPLETE = 2;
  const DOWNLOAD_STATE = { 0: 'not queued', 1: 'paused', 2: 'queued', 4: 'downloading', 8: 'failed', 16: 'done' };
  const DOWNLOAD_PAUSED = 1;
  const DOWNLOAD_FAILED = 8;
  const DOWNLOAD_DONE = 16;
  const SOUND_STATE = ['ready', 'loading', 'failed', 'connecting', 'buffering', 'seeking', 'playing', 'seeking',
    'waiting', 'failed: empty file'];
  const SOUND_FAILED = 2;
  const SOUND_EMPTY_FILE = 9;
  const ERROR_TEXT = {
    CACHE_VOLUME_FULL: 'The disk holding the cache is full.',
    CACHE_UNWRITABLE: 'The cache folder cannot be written.',
    DOWNLOAD_VOLUME_FULL: 'The disk holding the downloads is full.',
    DOWNLOAD_UNWRITABLE: 'The download folder cannot be written.',
    IMPORT_VOLUME_FULL: 'The disk holding the imported files is full.',
    IMPORT_UNWRITABLE: 'The import folder cannot be written.',
  };
  const POLL_MS = 200;
  // Polls that follow each action of the user, so that what the core applies
  // on its next pass (a pause, a seek) shows even when nothing plays after it.
  const SETTLE_POLLS = 10;
  // A gapless follower starts in the core's pass that ends the track before
  // it; when it has not started this many polls after that, it is started
  // the ordinary way.
  const FOLLOWER_PATIENCE = 10;

  const $ = (id) => document.getElementById(id);

  // Writes only what changed: a page that rewrites its text on every poll
  // keeps the web process busy for nothing.
  function setText(element, text) {
    if (element.textContent !== text) element.textContent = text;
  }

  // ---- messages ----------------------------------------------------------

  function say(text, isError) {
    const item = document.createElement('li');
    const time = document.createElement('time');
    time.textContent = new Date().toLocaleTimeString();
    item.append(time, text);
    if (isError) item.className = 'error';
    const list = $('messages');
    list.prepend(item);
    while (list.children.length > 40) list.lastElementChild.remove();
    // The client writes the page's console to its log.
    (isError ? console.warn : console.log)('demo: ' + text);
  }

  // Runs one step of the start-up; a failure is shown and the others go on.
  function attempt(what, step) {
    try {
      step();
    } catch (error) {
      say(what + ' failed: ' + error, true);
    }
  }

  function formatTime(ms) {
    const seconds = Math.max(0, Math.floor((Number(ms) || 0) / 1000));
    return Math.floor(seconds / 60) + ':' + String(seconds % 60).padStart(2, '0');
  }

  function formatBytes(bytes) {
    const n = Number(bytes);
    if (!(n >= 0)) return 'unknown';
    const units = ['bytes', 'kB', 'MB', 'GB', 'TB'];
    let value = n;
    let unit = 0;
    while (value >= 1000 && unit < units.length - 1) {
      value /= 1000;
      unit++;
    }
    return (unit === 0 ? String(value) : value.toFixed(1)) + ' ' + units[unit];
  }

  // ---- tracks ------------------------------------------------------------

  function absolute(path) {
    return new URL(path, document.baseURI).href;
  }

  function trackIndexById(id) {
    return tracks.findIndex((track) => String(track.id) === String(id));
  }

  // The file of a track in a format; empty when the track or format is unknown.
  function fileUrl(entityId, formatId) {
    const track = tracks[trackIndexById(entityId)];
    if (!track) return '';
    if (Number(formatId) === FORMAT.mp3) return absolute(track.mp3);
    if (Number(formatId) === FORMAT.flac) return absolute(track.flac);
    return '';
  }

  // What the page hands to createSound: the file's address with the track's
  // entity id and format, which the core reads to find a stored copy first.
  function streamUrl(track, formatId) {
    return fileUrl(track.id, formatId) + '?_TEID=' + encodeURIComponent(track.id) + '&_FMT=' + formatId;
  }

  function chosenFormat() {
    return $('lossless').checked ? FORMAT.flac : FORMAT.mp3;
  }

  function buildTrackList() {
    const list = $('track-list');
    list.textContent = '';
    tracks.forEach((track, index) => {
      const item = document.createElement('li');
      item.dataset.track = track.id;
      const title = document.createElement('span');
      title.textContent = track.title;
      const length = document.createElement('span');
      length.className = 'length';
      length.textContent = formatTime(track.seconds * 1000);
      const actions = document.createElement('span');
      actions.className = 'actions';
      if (audio) actions.append(button('Play', () => playTrack(index), { play: track.id }));
      if (ici) actions.append(button('Download', () => download(track), { download: track.id }));
      if (!audio) {
        for (const kind of ['mp3', 'flac']) {
          const link = document.createElement('a');
          link.href = absolute(track[kind]);
          link.textContent = kind.toUpperCase();
          actions.append(link);
        }
      }
      item.append(title, length, actions);
      list.append(item);
    });
    if (tracks.length === 0) say('No track list: tracks.js did not load.', true);
  }

  function button(text, onClick, data) {
    const element = document.createElement('button');
    element.type = 'button';
    element.textContent = text;
    element.addEventListener('click', onClick);
    for (const key of Object.keys(data || {})) element.dataset[key] = data[key];
    return element;
  }

  // ---- playback ----------------------------------------------------------

  // The page's view of playback. Sound ids come from the core; 0 is none.
  const player = {
    index: -1,        // the current track, -1 before the first
    sound: 0,         // its sound
    format: FORMAT.mp3,
    next: 0,          // the following track's sound, waiting to start gaplessly
    nextIndex: -1,    // the track prepared as the follower (also when that failed)
    nextFormat: FORMAT.mp3,
    paused: false,    // what the page asked; the core applies it on its next pass
    started: false,   // the current sound has been seen playing
    ended: false,     // it played to its end and nothing followed
    waited: 0,        // polls since it ended while the follower had not started
    volume: 0.8,
    seeking: false,   // the user is dragging the position slider
  };

  function release(id) {
    if (id) audio.deleteSound(id);
  }

  function createSound(index, formatId) {
    const track = tracks[index];
    const id = audio.createSound(streamUrl(track, formatId));
    if (!id) {
      say('The client could not make a sound for “' + track.title + '”.', true);
      return 0;
    }
    audio.setVolume(id, player.volume);
    return id;
  }

  function playTrack(index) {
    if (!audio || index < 0 || index >= tracks.length) return;
    release(player.next);
    release(player.sound);
    const format = chosenFormat();
    Object.assign(player, {
      index, sound: 0, format, next: 0, nextIndex: -1, paused: false, started: false, ended: false, waited: 0,
    });
    player.sound = createSound(index, format);
    if (player.sound) {
      audio.play(player.sound, false, -1);
      say('Playing “' + tracks[index].title + '” (' + FORMAT_NAME[format] + ', sound #' + player.sound + ').');
    }
    render();
    watchPlayback();
    refreshStorageSoon();
  }

  // Creates the following track's sound and has the core start it on the
  // sample after the current one ends. Only once the current length is known:
  // a previous sound whose length is still 0 does not hold the follower back.
  function prepareFollower(length) {
    const nextIndex = player.index + 1;
    if (length <= 0 || nextIndex >= tracks.length || player.nextIndex === nextIndex || player.ended) return;
    player.nextIndex = nextIndex;
    player.nextFormat = chosenFormat();
    player.next = createSound(nextIndex, player.nextFormat);
    if (player.next) audio.play(player.next, true, player.sound);
  }

  function isRunning(id) {
    return audio.getPlaying(id) && !audio.getPaused(id);
  }

  function isFailed(state) {
    return state === SOUND_FAILED || state === SOUND_EMPTY_FILE;
  }

  // The follower started: it becomes the current sound.
  function advance() {
    release(player.sound);
    Object.assign(player, {
      sound: player.next, index: player.nextIndex, format: player.nextFormat, next: 0, nextIndex: -1,
      paused: false, started: true, ended: false, waited: 0,
    });
    say('“' + tracks[player.index].title + '” follows without a gap (sound #' + player.sound + ').');
    render();
  }

  function stopAfterFailure(state) {
    const track = tracks[player.index];
    say('“' + track.title + '” cannot be played (' + SOUND_STATE[state] + ').', true);
    release(player.next);
    release(player.sound);
    Object.assign(player, { sound: 0, next: 0, nextIndex: -1, paused: false, started: false, ended: false });
    render();
  }

  // The current sound ended. Normally the follower has started in the same
  // pass of the core; when it failed or never starts, it is dealt with here.
  function onEnded() {
    if (player.next && isFailed(audio.getState(player.next))) {
      say('“' + tracks[player.nextIndex].title + '” cannot be played.', true);
      release(player.next);
      player.next = 0;
    }
    if (!player.next) {
      player.ended = true;
      say(player.index + 1 >= tracks.length ? 'End of the list.' : 'Playback stopped.');
      render();
      refreshStorageSoon();
      return;
    }
    if (++player.waited > FOLLOWER_PATIENCE) playTrack(player.nextIndex);
  }

  // Polling runs while something plays (or is about to), and for a few polls
  // after each action; an idle page makes no calls at all.
  let pollTimer = 0;
  let settlePolls = 0;

  function isActive() {
    return player.sound !== 0 && !player.ended && !player.paused;
  }

  function watchPlayback() {
    settlePolls = SETTLE_POLLS;
    if (!pollTimer && audio) pollTimer = setTimeout(pollOnce, POLL_MS);
  }

  function pollOnce() {
    pollTimer = 0;
    poll();
    if (settlePolls > 0) settlePolls--;
    if (isActive() || settlePolls > 0) pollTimer = setTimeout(pollOnce, POLL_MS);
  }

  function poll() {
    if (!player.sound) return;
    const id = player.sound;
    const state = audio.getState(id);
    if (isFailed(state)) {
      stopAfterFailure(state);
      return;
    }
    const length = audio.getLength(id);
    const position = audio.getPosition(id);
    const playing = audio.getPlaying(id);
    const paused = audio.getPaused(id);
    if (playing && !paused) player.started = true;
    prepareFollower(length);
    if (player.next && isRunning(player.next)) {
      advance();
      return;
    }
    if (player.started && !playing && !player.ended) onEnded();
    renderProgress(id, state, position, length, playing, paused, audio.getStarving(id));
  }

  function togglePlay() {
    if (!audio) return;
    if (!player.sound || player.ended) {
      const last = player.index + 1 >= tracks.length;
      playTrack(player.ended ? (last ? 0 : player.index + 1) : Math.max(player.index, 0));
      return;
    }
    // A play of a paused sound unpauses it; of a playing one it would start over.
    if (player.paused) audio.play(player.sound, false, -1);
    else audio.pause(player.sound);
    player.paused = !player.paused;
    render();
    watchPlayback();
  }

  function nextTrack() {
    if (!audio || tracks.length === 0) return;
    playTrack(player.index + 1 < tracks.length ? player.index + 1 : 0);
  }

  function previousTrack() {
    if (!audio || tracks.length === 0) return;
    if (player.sound && !player.ended && audio.getPosition(player.sound) > 3000) {
      seek(0);
      return;
    }
    playTrack(player.index > 0 ? player.index - 1 : 0);
  }

  function seek(ms) {
    if (!player.sound) return;
    audio.setPosition(player.sound, Math.max(0, Math.round(ms)));
    if (player.ended) {
      // The channel ended: the seek puts the sound back on it, paused.
      audio.play(player.sound, false, -1);
      Object.assign(player, { ended: false, started: false, paused: false, waited: 0 });
    }
    watchPlayback();
  }

  function setVolume(volume) {
    player.volume = volume;
    if (player.sound) audio.setVolume(player.sound, volume);
    if (player.next) audio.setVolume(player.next, volume);
    remember('demo.volume', String(Math.round(volume * 100)));
  }

  // ---- player view -------------------------------------------------------

  function render() {
    const track = tracks[player.index];
    setText($('now-playing'), player.sound && track
      ? track.title + ' — ' + track.artist + ' (' + FORMAT_NAME[player.format] + ')'
      : (track && player.ended ? 'Ended: ' + track.title : 'Nothing yet: pick a track.'));
    // Glyphs that the usual desktop fonts all have.
    setText($('play'), player.sound && !player.paused && !player.ended ? '‖ Pause' : '▶ Play');
    for (const item of $('track-list').children) {
      item.classList.toggle('current', item.dataset.track === String(track && track.id) && player.sound !== 0);
    }
    if (!player.sound) renderProgress(0, -1, 0, 0, false, false, false);
  }

  function renderProgress(id, state, position, length, playing, paused, starving) {
    const seekBar = $('seek');
    if (seekBar.max !== String(length)) seekBar.max = String(length);
    const value = String(Math.min(position, length));
    if (!player.seeking && seekBar.value !== value) seekBar.value = value;
    setText($('position'), formatTime(position));
    setText($('length'), formatTime(length));
    renderBuffered(id, length);
    if (!id) {
      setText($('sound-state'), '');
      return;
    }
    let text = 'Sound #' + id + ': ' + (SOUND_STATE[state] || 'state ' + state);
    text += playing ? (paused ? ', paused' : ', playing') : (player.ended ? ', ended' : '');
    if (starving) text += ', waiting for data';
    if (player.next) text += '; next: sound #' + player.next + ', waiting to follow without a gap';
    setText($('sound-state'), text);
  }

  // The loaded parts of the track, as start and end pairs in milliseconds.
  let shownBuffered = '';

  function renderBuffered(id, length) {
    const ranges = id && length > 0 ? audio.getRanges(id) : [];
    const stops = [];
    for (let i = 0; i + 1 < ranges.length; i += 2) {
      const start = (100 * ranges[i] / length).toFixed(2);
      const end = (100 * ranges[i + 1] / length).toFixed(2);
      stops.push('transparent ' + start + '%', 'var(--accent-light) ' + start + '%',
        'var(--accent-light) ' + end + '%', 'transparent ' + end + '%');
    }
    const background = stops.length ? 'linear-gradient(to right, ' + stops.join(', ') + ')' : 'none';
    if (background === shownBuffered) return;
    shownBuffered = background;
    $('buffered').style.background = background;
  }

  // ---- downloads ---------------------------------------------------------

  // The files of the "download" repository, by repository, entity and format.
  const downloads = new Map();

  function fileKey(file) {
    return file.repository + '/' + file.entity_id + '/' + file.format_id;
  }

  function titleOf(file) {
    try {
      const metadata = JSON.parse(file.metadata);
      if (metadata && typeof metadata.title === 'string') return metadata.title;
    } catch (error) {
      // Not ours, or none: the track list may still know it.
    }
    const track = tracks[trackIndexById(file.entity_id)];
    return track ? track.title : 'Track ' + file.entity_id;
  }

  function download(track) {
    const formatId = chosenFormat();
    ici.addFiles([{
      repository: DOWNLOAD,
      entity_id: String(track.id),
      format_id: formatId,
      metadata: JSON.stringify({ title: track.title, artist: track.artist }),
    }]);
    say('Download of “' + track.title + '” (' + FORMAT_NAME[formatId] + ') asked for.');
  }

  function noteChange(before, file) {
    const state = Number(file.download_state);
    if (before && Number(before.download_state) === state) return;
    if (state === DOWNLOAD_DONE) say('Downloaded “' + titleOf(file) + '”: it now plays from the disk.');
    if (state === DOWNLOAD_FAILED) say('The download of “' + titleOf(file) + '” failed.', true);
  }

  function updateFiles(files) {
    for (const file of Array.isArray(files) ? files : []) {
      if (!file || file.repository !== DOWNLOAD) continue;
      const key = fileKey(file);
      if (Number(file.file_state) & FILE_REMOVED) {
        downloads.delete(key);
        continue;
      }
      noteChange(downloads.get(key), file);
      downloads.set(key, file);
    }
    renderDownloads();
    refreshStorageSoon();
  }

  function removeFiles(files) {
    for (const file of Array.isArray(files) ? files : []) {
      if (file) downloads.delete(fileKey(file));
    }
    renderDownloads();
    refreshStorageSoon();
  }

  // The answer to the query made at start: every download the client holds.
  function replaceDownloads(files) {
    downloads.clear();
    updateFiles(files);
  }

  function renderDownloads() {
    const list = $('download-list');
    list.textContent = '';
    for (const file of downloads.values()) {
      const item = document.createElement('li');
      item.dataset.entity = String(file.entity_id);
      const title = document.createElement('div');
      title.textContent = titleOf(file) + ' (' + (FORMAT_NAME[file.format_id] || 'format ' + file.format_id) + ')';
      const progress = document.createElement('progress');
      const total = Number(file.bytes_total);
      const loaded = Number(file.bytes_loaded);
      progress.max = total > 0 ? total : 1;
      progress.value = total > 0 ? Math.min(loaded, total) : 0;
      const state = document.createElement('span');
      state.className = 'state';
      const stateNumber = Number(file.download_state);
      const complete = (Number(file.file_state) & FILE_COMPLETE) !== 0;
      state.textContent = (DOWNLOAD_STATE[stateNumber] || 'state ' + stateNumber) + ' · ' + formatBytes(loaded) +
        (total >= 0 ? ' of ' + formatBytes(total) : '') + (complete ? ' · complete on disk' : '');
      const actions = document.createElement('span');
      actions.className = 'actions';
      if (stateNumber === DOWNLOAD_PAUSED || stateNumber === DOWNLOAD_FAILED) {
        actions.append(button('Resume', () => ici.resumeDownloads([file])));
      } else if (stateNumber !== DOWNLOAD_DONE) {
        actions.append(button('Pause', () => ici.pauseDownloads([file])));
      }
      actions.append(button('Remove', () => ici.removeFiles([file])));
      item.append(title, progress, state, actions);
      list.append(item);
    }
    $('downloads-empty').hidden = downloads.size > 0;
  }

  // ---- storage -----------------------------------------------------------

  let storageTimer = 0;

  function refreshStorageSoon() {
    if (!ici || storageTimer) return;
    storageTimer = setTimeout(() => {
      storageTimer = 0;
      refreshStorage();
    }, 1000);
  }

  function outputLabel() {
    const current = ici.getSetting('device_output');
    const devices = ici.getDeviceInfo('output_devices');
    const found = Array.isArray(devices) ? devices.find((device) => device.key === current) : null;
    return found ? found.value + ' (' + current + ')' : current || 'automatic';
  }

  // The facts shown, by name: made once, then only their changed texts written.
  const facts = new Map();

  function fact(name, value, id) {
    let detail = facts.get(name);
    if (!detail) {
      const term = document.createElement('dt');
      term.textContent = name;
      detail = document.createElement('dd');
      detail.textContent = value === null ? '…' : value;
      if (id) detail.id = id;
      $('storage-facts').append(term, detail);
      facts.set(name, detail);
    }
    if (value !== null) setText(detail, value);
  }

  function refreshStorage() {
    if (!ici) {
      fact('Local storage', storedKeys() + ' (the browser’s own)');
      return;
    }
    const limit = ici.getSetting('cache_repository_max_size');
    fact('Client version', ici.getDeviceInfo('version') || 'unknown');
    fact('Sound output', outputLabel());
    fact('Cache folder', ici.getSetting('cache_repository_path'));
    // Whole gigabytes, truncated: a smaller limit reads as 0.
    fact('Cache limit', limit === '-1' ? '10 % of its disk' : (limit === '0' ? 'under 1 GB' : limit + ' GB'));
    fact('Free for the cache', formatBytes(ici.getDeviceInfo('cache_volume_available_space')));
    fact('Files in the cache', null, 'cache-count');
    fact('Download folder', ici.getSetting('download_repository_path'));
    fact('Complete downloads', null, 'download-count');
    fact('Local storage', storedKeys());
    ici.getFileCount(['cache'], 0, 0, (count) => setText($('cache-count'), String(count)));
    ici.getFileCount([DOWNLOAD], FILE_COMPLETE, 0, (count) => setText($('download-count'), String(count)));
  }

  function clearCache() {
    ici.clearCache();
    say('The cache is cleared on the client’s next pass (files in use stay).');
    refreshStorageSoon();
  }

  // ---- note and local storage --------------------------------------------

  function storage() {
    try {
      return window.localStorage;
    } catch (error) {
      return null;  // a browser may refuse storage to this page
    }
  }

  function remember(key, value) {
    const store = storage();
    if (store) store.setItem(key, value);
  }

  function recall(key) {
    const store = storage();
    return store ? store.getItem(key) : null;
  }

  function storedKeys() {
    const store = storage();
    return store ? store.length + (store.length === 1 ? ' key' : ' keys') : 'unavailable';
  }

  let noteTimer = 0;

  function saveNote() {
    clearTimeout(noteTimer);
    noteTimer = 0;
    remember('demo.note', $('note').value);
    $('note-state').textContent = 'Saved at ' + new Date().toLocaleTimeString() +
      (window.VeloraStorage ? ' in the client’s own store.' : ' in the browser’s storage.');
  }

  function setupNote() {
    const note = $('note');
    if (!storage()) {
      note.disabled = true;
      $('note-state').textContent = 'This browser gives the page no local storage.';
      return;
    }
    note.value = recall('demo.note') || '';
    note.addEventListener('input', () => {
      clearTimeout(noteTimer);
      noteTimer = setTimeout(saveNote, 400);
    });
    note.addEventListener('change', saveNote);
    const starts = (parseInt(recall('demo.starts') || '0', 10) || 0) + 1;
    remember('demo.starts', String(starts));
    $('note-state').textContent = starts === 1 ? 'First start of this page.' : 'Start number ' + starts + ' of this page.';
  }

  // ---- notifications -----------------------------------------------------

  function notify() {
    if (notifications.checkPermission() !== 0) notifications.requestPermission();
    const track = tracks[player.index];
    const message = player.sound && track ? 'Now playing: ' + track.title : 'Hello from the demo page.';
    notifications.createNotification(absolute('icon.png'), 'Velora demo player', message).show();
    say('Notification sent: ' + message);
  }

  // ---- the location ------------------------------------------------------

  // The client sets the hash for veloraapp: addresses ("#!/" and the path).
  // "track/<id>" plays that track; "user-settings" shows the storage.
  function followLocation() {
    let path = location.hash.replace(/^#!?\/?/, '');
    try {
      path = decodeURIComponent(path);
    } catch (error) {
      // Keep it as it came.
    }
    const shown = $('location');
    shown.hidden = path === '';
    shown.textContent = 'Location: ' + path;
    if (path === '') return;
    say('Location changed to “' + path + '”.');
    const match = /^track\/(\w+)$/.exec(path);
    if (match && audio) {
      const index = trackIndexById(match[1]);
      if (index >= 0) playTrack(index);
      else say('No track ' + match[1] + '.', true);
    }
    if (path === 'user-settings') {
      const section = $('storage');
      section.classList.add('highlight');
      section.scrollIntoView();
      setTimeout(() => section.classList.remove('highlight'), 2000);
    }
  }

  // ---- what the client calls ----------------------------------------------

  window.VeloraAPI = {
    onFilesAdded: updateFiles,
    onFilesRemoved: removeFiles,
    onFileProgressesChanged: updateFiles,
    onDownloadStatesChanged: updateFiles,
    onFileStatesChanged: updateFiles,

    // The client needs the address of a file it has no address for: a
    // download. An unknown track gets the empty address, which fails it.
    getFileUrl(file) {
      const url = fileUrl(file.entity_id, file.format_id);
      if (!url) say('The client asked for an unknown file: ' + fileKey(file) + '.', true);
      ici.setFileUrl(file, url, 0, undefined);
    },

    showError(code, kind, number) {
      const banner = $('error-banner');
      banner.textContent = (ERROR_TEXT[code] || 'The client reported ' + code + '.');
      banner.hidden = false;
      say('Error from the client: ' + code + ' (' + kind + ', ' + number + ').', true);
    },

    triggerKeyboardShortcut(name) {
      if (name === 'playpause') togglePlay();
      else if (name === 'nexttrack') nextTrack();
      else if (name === 'previoustrack') previousTrack();
      else return;
      say('Media key: ' + name + '.');
    },

    // The client wants to quit: the note is saved and the page agrees.
    askTermination() {
      if (noteTimer) saveNote();
      if (ici) ici.terminate();
      else window.close();
    },

    // The client lost the connection to this page's server while the page
    // ran: load the page again (the client falls back to its saved copy).
    reload() {
      say('The connection was lost: loading the page again.');
      location.reload();
    },
  };

  // ---- start -------------------------------------------------------------

  function describeEnvironment() {
    const objects = ['VeloraICI', 'AudioBinding', 'VeloraStorage', 'VeloraWebkitNotifications'];
    const missing = objects.filter((name) => !window[name]);
    const inClient = typeof window.MACOS !== 'undefined';
    $('environment').textContent = missing.length === 0
      ? 'Running inside the Velora desktop client' + (ici ? ', version ' + ici.getDeviceInfo('version') : '') + '.'
      : (inClient ? 'Running inside the client, but some of its objects are missing.' : 'Running in a browser.');
    if (missing.length > 0) {
      $('bridge-missing').hidden = false;
      $('bridge-missing-names').textContent = 'Missing: ' + missing.join(', ') + '.';
    }
    for (const id of ['previous', 'play', 'next', 'seek', 'volume', 'lossless']) $(id).disabled = !audio;
    for (const id of ['pause-all', 'resume-all', 'remove-all', 'refresh-storage', 'clear-cache']) $(id).disabled = !ici;
    $('notify').disabled = !notifications;
  }

  function wireControls() {
    $('play').addEventListener('click', togglePlay);
    $('next').addEventListener('click', nextTrack);
    $('previous').addEventListener('click', previousTrack);
    const seekBar = $('seek');
    seekBar.addEventListener('input', () => { player.seeking = true; });
    seekBar.addEventListener('change', () => {
      player.seeking = false;
      seek(Number(seekBar.value));
    });
    const volume = $('volume');
    const storedVolume = parseInt(recall('demo.volume') || '', 10);
    if (storedVolume >= 0 && storedVolume <= 100) volume.value = String(storedVolume);
    player.volume = Number(volume.value) / 100;
    volume.addEventListener('input', () => setVolume(Number(volume.value) / 100));
    const lossless = $('lossless');
    lossless.checked = recall('demo.lossless') === 'true';
    lossless.addEventListener('change', () => remember('demo.lossless', String(lossless.checked)));
    $('pause-all').addEventListener('click', () => ici.pauseDownloads(undefined));
    $('resume-all').addEventListener('click', () => ici.resumeDownloads(undefined));
    $('remove-all').addEventListener('click', () => ici.removeFiles(undefined));
    $('refresh-storage').addEventListener('click', refreshStorage);
    $('clear-cache').addEventListener('click', clearCache);
    $('notify').addEventListener('click', notify);
    window.addEventListener('hashchange', followLocation);
  }

  attempt('Looking for the client', describeEnvironment);
  attempt('Listing the tracks', buildTrackList);
  attempt('Setting up the controls', wireControls);
  attempt('Reading the note', setupNote);
  if (ici) {
    // From here on the client sends events and answers queries.
    attempt('Telling the client the page is ready', () => ici.init());
    attempt('Listing the downloads', () => ici.getFiles([DOWNLOAD], 0, 0, replaceDownloads));
    attempt('Reading the storage', refreshStorage);
  } else {
    attempt('Reading the storage', refreshStorage);
  }
  attempt('Following the location', followLocation);
  render();
})();
