// Each channel's audio on the strip: a level meter fed by the event stream's "levels" events,
// and a Listen button that plays the channel's stream from the console: /listen/N.mp3 through
// Media Source Extensions where the browser has them for MP3 (it starts at once), otherwise
// /listen/N.ogg (Ogg/Opus) or .mp3 as the audio element's source. Several channels may play at
// once, each at its own volume: an operator comparing two radios wants both.
import { el, setText } from './dom.js';
import { liveSupport, playLive } from './live_audio.js';

const FLOOR = -90;
const BAR_FLOOR = -60;  // the bars span -60..0 dBFS, where speech and noise sit; the numbers go lower

const fraction = (db) => Math.min(1, Math.max(0, (db - BAR_FLOOR) / -BAR_FLOOR));
const dbText = (db) => (db <= FLOOR ? '−∞' : db.toFixed(1).replace('-', '−'));

// Peak and RMS bars with the figures as text; role "meter" with the peak as its value.
export function levelMeter(n) {
  const rms = el('span', { class: 'meter-rms' });
  const peak = el('span', { class: 'meter-peak' });
  const text = el('span', { class: 'meter-text mono' }, '–');
  const node = el('div', {
    class: 'meter', role: 'meter', 'aria-label': `Audio level, channel ${n}`,
    'aria-valuemin': String(FLOOR), 'aria-valuemax': '0', 'aria-valuenow': String(FLOOR), 'aria-valuetext': 'no level yet',
    dataset: { state: 'none' },
  }, el('span', { class: 'meter-track', 'aria-hidden': 'true' }, peak, rms), text);
  const bars = (p, r) => {
    peak.style.setProperty('--level', String(fraction(p)));
    rms.style.setProperty('--level', String(fraction(r)));
  };
  bars(FLOOR, FLOOR);
  return {
    node,
    // `level`: {peak, rms, capturing} of the channel, or null when no figures arrive.
    show(level) {
      if (!level || !level.capturing) {
        bars(FLOOR, FLOOR);
        node.setAttribute('aria-valuenow', String(FLOOR));
        const words = level ? 'no input' : '–';
        node.setAttribute('aria-valuetext', level ? 'no audio captured' : 'no level yet');
        node.title = level ? 'Nothing is captured on this channel' : '';
        node.dataset.state = level ? 'stopped' : 'none';
        setText(text, words);
        return;
      }
      const p = Math.max(FLOOR, Math.min(0, Number(level.peak)));
      const r = Math.max(FLOOR, Math.min(0, Number(level.rms)));
      bars(p, r);
      node.setAttribute('aria-valuenow', p.toFixed(1));
      node.setAttribute('aria-valuetext', `peak ${p.toFixed(1)} dBFS, RMS ${r.toFixed(1)} dBFS`);
      node.title = `Peak ${p.toFixed(1)} dBFS, RMS ${r.toFixed(1)} dBFS`;
      node.dataset.state = p <= FLOOR ? 'silent' : 'sound';
      setText(text, `${dbText(p)} / ${dbText(r)} dBFS`);
    },
  };
}

const MEDIA_ERRORS = { 1: 'aborted', 2: 'network error', 3: 'cannot decode', 4: 'stream not available' };
const HTTP_ERRORS = { 401: 'sign-in needed', 404: 'stream not available', 503: 'too many listeners' };

// Chromium starts an <audio src> live stream only once 32 KB have arrived: 11 s of Opus at
// 24 kbit/s, 16 s of MP3. Fed through Media Source Extensions, MP3 plays within a second.
const MSE_MP3 = typeof MediaSource !== 'undefined' && MediaSource.isTypeSupported('audio/mpeg');

// Plays `url` (MP3) in `audio` through a MediaSource, keeping near the live edge and at most
// about 30 s of audio buffered. Returns the function that stops the feed.
function feedMediaSource(audio, url, { fail, ended }) {
  const abort = new AbortController();
  const ms = new MediaSource();
  const objectUrl = URL.createObjectURL(ms);
  audio.src = objectUrl;
  ms.addEventListener('sourceopen', async () => {
    URL.revokeObjectURL(objectUrl);
    let sb;
    try {
      sb = ms.addSourceBuffer('audio/mpeg');
      sb.mode = 'sequence';
    } catch (e) {
      fail(e.message);
      return;
    }
    const queue = [];
    const pump = () => {
      if (sb.updating || ms.readyState !== 'open') return;
      const b = sb.buffered;
      if (b.length && audio.currentTime - b.start(0) > 30) {
        sb.remove(b.start(0), audio.currentTime - 10);
        return;
      }
      if (queue.length) sb.appendBuffer(queue.shift());
    };
    sb.addEventListener('updateend', () => {
      const b = sb.buffered;
      // Behind the live edge after a stall: catch up rather than stay late.
      if (b.length && b.end(b.length - 1) - audio.currentTime > 3) audio.currentTime = b.end(b.length - 1) - 0.5;
      pump();
    });
    let r;
    try {
      r = await fetch(url, { credentials: 'same-origin', cache: 'no-store', signal: abort.signal });
    } catch {
      if (!abort.signal.aborted) fail('network error');
      return;
    }
    if (!r.ok) {
      fail(HTTP_ERRORS[r.status] ?? `HTTP ${r.status}`);
      return;
    }
    const reader = r.body.getReader();
    abort.signal.addEventListener('abort', () => reader.cancel().catch(() => {}));
    try {
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        if (queue.length >= 64) queue.shift();  // the page cannot keep up: drop the oldest
        queue.push(value);
        pump();
      }
    } catch {
      if (!abort.signal.aborted) fail('network error');
      return;
    }
    if (abort.signal.aborted) return;
    if (ms.readyState === 'open' && !sb.updating) ms.endOfStream();
    ended();
  });
  return () => abort.abort();
}

// The Listen button, its volume and its state in words ("Stopped", "Playing", "Error: ...").
export function listenControl(n) {
  const audio = el('audio', { class: 'listen-audio', preload: 'none', dataset: { channel: String(n) } });
  const button = el('button', { type: 'button', class: 'btn btn-small listen-btn', 'aria-pressed': 'false' }, 'Listen');
  const volume = el('input', {
    type: 'range', class: 'volume', min: '0', max: '100', value: '80', 'aria-label': `Volume, channel ${n}`,
  });
  const state = el('span', { class: 'listen-state', role: 'status', 'aria-label': `Listening, channel ${n}` }, 'Stopped');
  // How far behind the radio the live path plays, and why it is not used where it is not.
  const delay = el('span', { class: 'listen-delay mono' });
  const note = el('span', { class: 'listen-note' });
  let wanted = false;
  let stopFeed = null;
  let live = null;

  const show = (words, kind) => {
    setText(state, words);
    state.dataset.state = kind;
  };
  const setPressed = (on) => {
    button.setAttribute('aria-pressed', String(on));
    setText(button, on ? 'Stop' : 'Listen');
    button.title = on ? `Stop listening to channel ${n}` : `Listen to channel ${n}`;
  };
  const stop = () => {
    wanted = false;
    stopFeed?.();
    stopFeed = null;
    live?.stop();
    live = null;
    setText(delay, '');
    delete delay.dataset.ms;
    audio.pause();
    audio.removeAttribute('src');
    audio.load();  // drops the connection to the live stream
    setPressed(false);
  };
  const fail = (why) => {
    if (!wanted) return;
    stop();
    show(`Error: ${why}`, 'error');
  };
  const startLive = () => {
    audio.dataset.stream = `/live/audio/${n}`;
    setPressed(true);
    show('Connecting…', 'connecting');
    live = playLive(n, {
      volume: Number(volume.value) / 100,
      state: (words, kind) => { if (wanted && state.dataset.state !== kind) show(words, kind); },
      stats: (s) => {
        if (!wanted) return;
        audio.dataset.frames = String(s.frames);
        audio.dataset.underruns = String(s.underruns);
        audio.dataset.decodeErrors = String(s.decodeErrors);
        if (s.delayMs !== null) {
          delay.dataset.ms = String(Math.round(s.delayMs));
          setText(delay, `${(s.delayMs / 1000).toFixed(2)} s behind`);
          // The latest sound after silence, and the delay shown as it was heard.
          if (s.onset) Object.assign(audio.dataset, { onsetHeardAt: String(Math.round(s.onset.heardAt)), onsetShownMs: delay.dataset.ms });
          delay.title = `Buffer ${Math.round(s.bufferedMs)} ms (aiming at ${Math.round(s.targetMs)} ms), ${s.underruns} underruns`;
        }
      },
      fail,
    });
  };
  const start = async () => {
    wanted = true;
    state.title = '';
    const support = await liveSupport();
    if (!wanted) return;
    setText(note, support.ok ? '' : support.why);
    if (support.ok) {
      startLive();
      return;
    }
    if (MSE_MP3) {
      audio.dataset.stream = `/listen/${n}.mp3`;
      stopFeed = feedMediaSource(audio, audio.dataset.stream, {
        fail,
        ended: () => { if (wanted) show('Stream ended', 'stopped'); },
      });
    } else {
      const ogg = audio.canPlayType('audio/ogg; codecs=opus') !== '';
      audio.dataset.stream = `/listen/${n}.${ogg ? 'ogg' : 'mp3'}`;
      audio.src = audio.dataset.stream;
    }
    audio.volume = Number(volume.value) / 100;
    setPressed(true);
    show('Connecting…', 'connecting');
    audio.play().catch((e) => {
      if (e.name !== 'AbortError') fail(e.message);
    });
  };
  button.addEventListener('click', () => {
    if (wanted) {
      stop();
      show('Stopped', 'stopped');
    } else {
      start();
    }
  });
  volume.addEventListener('input', () => {
    audio.volume = Number(volume.value) / 100;
    live?.volume(Number(volume.value) / 100);
  });
  audio.addEventListener('playing', () => { if (wanted) show('Playing', 'playing'); });
  audio.addEventListener('waiting', () => { if (wanted) show('Buffering…', 'connecting'); });
  audio.addEventListener('ended', () => {
    if (!wanted) return;
    stop();
    show('Stream ended', 'stopped');
  });
  audio.addEventListener('error', () => {
    if (!wanted) return;  // the error of a stream stopped on purpose
    const err = audio.error;
    fail(MEDIA_ERRORS[err?.code] ?? 'media error');
    state.title = err?.message ?? '';
  });
  show('Stopped', 'stopped');
  setPressed(false);
  return el('div', { class: 'listen' }, button, volume, state, delay, note, audio);
}

// The four meters, fed from the event stream.
export class LevelMeters {
  constructor() {
    this.meters = new Map();
  }

  meter(n) {
    const m = levelMeter(n);
    this.meters.set(n, m);
    return m.node;
  }

  update(channels) {
    if (!Array.isArray(channels)) return;
    for (const c of channels) this.meters.get(c?.channel)?.show(c);
  }

  // The stream is gone: figures would be stale.
  reset() {
    for (const m of this.meters.values()) m.show(null);
  }
}
