// Each channel's audio on the strip: a level meter fed by the event stream's "levels" events,
// and a Listen button that plays the channel's stream from the console (/listen/N.ogg, or .mp3
// where the browser cannot play Ogg/Opus). Several channels may play at once, each at its own
// volume: an operator comparing two radios wants both.
import { el, setText } from './dom.js';

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

// The Listen button, its volume and its state in words ("Stopped", "Playing", "Error: ...").
export function listenControl(n) {
  const audio = el('audio', { class: 'listen-audio', preload: 'none', dataset: { channel: String(n) } });
  const button = el('button', { type: 'button', class: 'btn btn-small listen-btn', 'aria-pressed': 'false' }, 'Listen');
  const volume = el('input', {
    type: 'range', class: 'volume', min: '0', max: '100', value: '80', 'aria-label': `Volume, channel ${n}`,
  });
  const state = el('span', { class: 'listen-state', role: 'status', 'aria-label': `Listening, channel ${n}` }, 'Stopped');
  let wanted = false;

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
    audio.pause();
    audio.removeAttribute('src');
    audio.load();  // drops the connection to the live stream
    setPressed(false);
  };
  const start = () => {
    wanted = true;
    const ogg = audio.canPlayType('audio/ogg; codecs=opus') !== '';
    audio.src = `/listen/${n}.${ogg ? 'ogg' : 'mp3'}`;
    audio.volume = Number(volume.value) / 100;
    setPressed(true);
    show('Connecting…', 'connecting');
    audio.play().catch((e) => {
      if (wanted && e.name !== 'AbortError') {
        stop();
        show(`Error: ${e.message}`, 'error');
      }
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
  volume.addEventListener('input', () => { audio.volume = Number(volume.value) / 100; });
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
    const why = MEDIA_ERRORS[err?.code] ?? 'media error';
    stop();
    show(`Error: ${why}`, 'error');
    state.title = err?.message ?? '';
  });
  show('Stopped', 'stopped');
  setPressed(false);
  return el('div', { class: 'listen' }, button, volume, state, audio);
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
