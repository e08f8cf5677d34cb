// Scenarios of the page-object channel test, chosen by ?scenario=.
'use strict';

const received = { events: [], callbacks: [] };
window.VeloraAPI = {
  onEvent(i, name) { received.events.push([i, name]); },
  onEventsDone() { report('events', received.events); },
  callbacksAnswered() { report('callbacks', received.callbacks); },
  throwing() { throw new Error('thrown by the page'); },
};

function typed(value) {
  if (value === null) return ['null', null];
  if (Array.isArray(value)) return ['array', value];
  if (typeof value === 'object') return ['object', Object.getPrototypeOf(value) === null ? 'no-prototype' : 'prototype', value];
  if (typeof value === 'number' && !isFinite(value)) return ['number', String(value)];
  return [typeof value, value];
}

const scenarios = {
  frames() {
    report('main', objectsSeen(['TestBridge']));
    const p = params();
    for (const [as, origin] of [['same-origin', ''], ['other-port', p.get('other')], ['third-party', p.get('third')],
                                ['sandboxed', '']]) {
      const frame = document.createElement('iframe');
      if (as === 'sandboxed') frame.sandbox = 'allow-scripts';
      frame.src = origin + '/frame.html?as=' + as;
      document.body.appendChild(frame);
    }
    window.open('/frame.html?as=popup', 'popup');
  },

  values() {
    const B = TestBridge;
    report('values', {
      number: typed(B.echo(42.5)),
      string: typed(B.echo('h\u00e9llo \u{1F600}')),
      empty: typed(B.echo('')),
      boolean: typed(B.echo(false)),
      nul: typed(B.echo(null)),
      undef: typed(B.echo(undefined)),
      nan: typed(B.echo(NaN)),
      infinity: typed(B.echo(-Infinity)),
      array: typed(B.echo([1, 'a', [true, null]])),
      object: typed(B.echo({ b: 1, a: { c: 'x' } })),
      textOfNumber: typed(B.echoText(12.5)),
      textOfNull: typed(B.echoText(null)),
      textOfUndefined: typed(B.echoText()),
      textOfObject: typed(B.echoText({ toString() { return 'custom'; } })),
      textWithNul: typed(B.echoText('before\u0000after')),
      numberOfText: typed(B.echoNumber('  42 ')),
      numberOfJunk: typed(B.echoNumber('x1')),
      all: typed(B.echoAll(1, 'two', [3])),
      file: typed(B.fileObject()),
      fileKeys: Object.keys(B.fileObject()),
      deferred: typed(B.deferred('answer')),
    });
  },

  order() {
    const B = TestBridge;
    const seen = [];
    B.record(1);
    B.record(2);
    seen.push(B.recorded());
    B.record(3);
    B.echo('in between');
    B.record(4);
    seen.push(B.recorded());
    for (let i = 5; i <= 200; i++) B.record(i);
    seen.push(B.recorded().length);
    report('order', seen);
  },

  // Readers between one-way calls: each sees every call made before it.
  readers() {
    const B = TestBridge;
    const counts = [];
    let offMain = 0;
    for (let i = 1; i <= 200; i++) {
      B.record(i);
      if (i % 10 === 0) counts.push(B.recordedCount());
    }
    for (let i = 0; i < 50; i++) offMain += B.readerOffMainThread() ? 1 : 0;
    report('readers', { counts, offMain });
  },

  // One-way calls in a loop, each carrying 4 kB, to an application that
  // takes them slower than the page makes them; then an answered one.
  pressure() {
    const count = Number(params().get('count'));
    const text = 'p'.repeat(4096);
    for (let i = 0; i < count; i++) TestBridge.slowRecord(text);
    report('pressure', TestBridge.echo(count));
  },

  callbacks() {
    const B = TestBridge;
    B.later('first', (value) => received.callbacks.push(['first', value]));
    B.later({ nested: [1] }, (value) => received.callbacks.push(['second', value]));
    B.later('not a function', 'just text');
    B.later('throws', () => { received.callbacks.push(['throws']); throw new Error('thrown by a callback'); });
    B.later('after throw', (value) => received.callbacks.push(['after throw', value]));
    B.answerCallbacks();
  },

  reload() {
    if (sessionStorage.getItem('reloaded')) {
      report('reloaded', { objects: typeof TestBridge });
      return;
    }
    sessionStorage.setItem('reloaded', 'yes');
    TestBridge.keepForReload(() => report('fired-after-reload', true));
    report('before-reload', true).then(() => location.reload());
  },

  // Player-origin frames holding 1 MiB each, added and removed one by one.
  removedFrames() {
    const count = Number(params().get('count') || 30);
    let left = count;
    const next = () => {
      if (left-- === 0) {
        report('removed-frames', count);
        return;
      }
      const frame = document.createElement('iframe');
      frame.src = '/channel.html?scenario=holder';
      frame.onload = () => { frame.remove(); setTimeout(next, 0); };
      document.body.appendChild(frame);
    };
    next();
  },

  holder() {
    window.held = 'h'.repeat(1 << 20);
  },

  // An answer larger than a message may be closes the channel of this web
  // process; the next document has its objects all the same.
  closedChannel() {
    if (sessionStorage.getItem('closed')) {
      report('reopened', { objects: typeof TestBridge, echo: TestBridge.echo('again') });
      return;
    }
    sessionStorage.setItem('closed', 'yes');
    const answer = TestBridge.tooLargeAnswer();
    report('closed', { answer: typeof answer, echo: typeof TestBridge.echo('gone') }).then(() => location.reload());
  },

  events() {
    TestBridge.emitEvents(300);
  },

  console() {
    console.log('log line');
    console.info('info line');
    console.warn('warning line');
    console.error('error line');
    console.debug('debug line');
    report('console', true);
  },

  fuzz() {
    let seed = Number(params().get('seed') || 1);
    const random = () => {
      seed = (seed * 1103515245 + 12345) % 2147483648;
      return seed / 2147483648;
    };
    const pick = (list) => list[Math.floor(random() * list.length)];
    const text = () => {
      let s = '';
      const length = Math.floor(random() * 40);
      for (let i = 0; i < length; i++) s += String.fromCharCode(Math.floor(random() * 0x10000));
      return s;
    };
    const cyclic = {};
    cyclic.self = cyclic;
    const hostile = new Proxy({}, { get() { throw new Error('no'); }, ownKeys() { throw new Error('no'); } });
    const getter = Object.defineProperty({}, 'boom', { enumerable: true, get() { throw new Error('boom'); } });
    const value = (depth) => {
      switch (Math.floor(random() * (depth > 2 ? 12 : 16))) {
        case 0: return undefined;
        case 1: return null;
        case 2: return random() < 0.5;
        case 3: return pick([0, -0, 1, -1, 0.5, NaN, Infinity, -Infinity, 2 ** 31, -(2 ** 31) - 1, 2 ** 53 + 2, 1e308, 5e-324]);
        case 4: return random() * 1e6 - 5e5;
        case 5: return text();
        case 6: return pick(['', '\u0000', 'a\u0000b', '\uD800', '\uDFFF\uD800', 'x'.repeat(70000), '"0":', '<script>']);
        case 7: return () => 1;
        case 8: return pick([Symbol('s'), 10n, new Date(0), /re/g, new Uint8Array(4), new ArrayBuffer(8), cyclic, hostile, getter]);
        case 9: return pick([window, document, document.body, location, Math, JSON]);
        case 10: return String(Math.floor(random() * 100));
        case 11: return Math.floor(random() * 10);
        default: {
          if (random() < 0.5) {
            const list = [];
            const n = Math.floor(random() * 5);
            for (let i = 0; i < n; i++) list.push(value(depth + 1));
            return list;
          }
          const object = {};
          const n = Math.floor(random() * 5);
          for (let i = 0; i < n; i++) object[pick(['repository', 'entity_id', 'format_id', 'metadata', text()])] = value(depth + 1);
          return object;
        }
      }
    };
    const skip = new Set(['keepForReload', 'evaluateScript', 'tooLargeAnswer']);
    const methods = Object.keys(TestBridge).filter((name) => !skip.has(name));
    const calls = Number(params().get('calls') || 10000);
    let thrown = 0;
    for (let i = 0; i < calls; i++) {
      const args = [];
      const n = Math.floor(random() * 6);
      for (let j = 0; j < n; j++) args.push(value(0));
      try {
        TestBridge[pick(methods)](...args);
      } catch (e) {
        thrown++;
      }
    }
    report('fuzz', { calls, thrown, alive: TestBridge.echo('alive') });
  },
};

window.addEventListener('load', () => {
  const scenario = params().get('scenario');
  if (scenarios[scenario]) scenarios[scenario]();
});
