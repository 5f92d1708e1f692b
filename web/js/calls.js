// The Calls page: every recorded transmission, newest first, searchable and playable, and a
// live mode that plays new calls in order as the server stores them. The list comes from
// GET /api/calls (pages of at most 50, the next one by cursor); new calls arrive on the event
// stream as {"type":"call", ...}. The view's filters live in the address after "#calls?", so a
// view can be linked; "#call=ID" opens one call and plays it.
import { el, setText, clear } from './dom.js';
import { AlertsView, alertBadge } from './alerts.js';

const PAGE = 50;
const MAX_ROWS = 2000;        // rows kept in the list; older ones are dropped from the end
const MAX_QUEUE = 200;        // calls waiting in live mode; the oldest waiting goes first
const MAX_LEVELS = 400;       // loudness pictures kept
const LEVEL_BARS = 48;
const SPEEDS = [1, 1.25, 1.5, 1.75, 2];
const AVOID_MINUTES = [30, 60, 120];
const AVOID_KEY = 'quillon.calls.avoid';
const UPLOADS_POLL_MS = 5000;  // the call servers' states, while the page is shown
const MAX_DESTINATIONS = 32;

const pad = (n, w = 2) => String(n).padStart(w, '0');

export function callTime(iso, now = new Date()) {
  const d = new Date(iso);
  if (Number.isNaN(d.getTime())) return String(iso ?? '');
  const time = `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
  const sameDay = d.toDateString() === now.toDateString();
  return sameDay ? time : `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${time}`;
}

export function durationText(ms) {
  const s = Math.max(0, Number(ms) || 0) / 1000;
  if (s < 60) return `${s.toFixed(1)} s`;
  const whole = Math.round(s);
  return `${Math.floor(whole / 60)}:${pad(whole % 60)}`;
}

export function frequencyText(hz) {
  const n = Number(hz);
  if (!Number.isFinite(n) || n <= 0) return '–';
  return `${(n / 1e6).toFixed(4)} MHz`;
}

// "2026-12-08T02:41:07.250Z" <-> the local time an <input type="datetime-local"> shows.
function localInput(iso) {
  const d = new Date(iso);
  if (!iso || Number.isNaN(d.getTime())) return '';
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}T${pad(d.getHours())}:${pad(d.getMinutes())}`;
}
function isoFromInput(value) {
  if (!value) return '';
  const d = new Date(value);
  return Number.isNaN(d.getTime()) ? '' : d.toISOString();
}

const FILTER_KEYS = ['channel', 'frequency_hz', 'from', 'to', 'q', 'min_ms', 'alerts'];

// The filters in the address: "calls?channel=2&q=fire" (or "call=ID" for one call).
export function parseHash(hash) {
  const h = hash.replace(/^#/, '');
  if (h.startsWith('call=')) return { call: decodeURIComponent(h.slice(5)), filters: {} };
  const at = h.indexOf('?');
  const params = new URLSearchParams(at >= 0 ? h.slice(at + 1) : '');
  const filters = {};
  for (const k of FILTER_KEYS) {
    const v = params.get(k);
    if (v) filters[k] = v;
  }
  const call = params.get('call');
  return { call: call || null, filters };
}

export function filtersHash(filters) {
  const params = new URLSearchParams();
  for (const k of FILTER_KEYS) if (filters[k]) params.set(k, filters[k]);
  const s = params.toString();
  return s ? `#calls?${s}` : '#calls';
}

const textOf = (call) => [...(call.tags ?? []), ...(call.display ?? [])].join('\n').toLowerCase();

// Whether a call stored now belongs in the list as filtered (the server's text search matches
// words; this page's check for a new call matches the text anywhere, which is close enough for
// a call that has just arrived).
function matches(call, f) {
  if (f.channel && String(call.channel) !== String(f.channel)) return false;
  if (f.frequency_hz && Number(call.frequency_hz) !== Number(f.frequency_hz)) return false;
  if (f.min_ms && Number(call.duration_ms) < Number(f.min_ms)) return false;
  if (f.alerts === '1' && !call.alerted) return false;
  const t = Date.parse(call.start);
  if (f.from && t < Date.parse(f.from)) return false;
  if (f.to && t > Date.parse(f.to)) return false;
  if (f.q) {
    const text = textOf(call);
    if (!f.q.toLowerCase().split(/\s+/).filter(Boolean).every((w) => text.includes(w))) return false;
  }
  return true;
}

// A call from the server, checked field by field: anything malformed is dropped or blanked, so
// a bad record cannot break the page.
function cleanCall(c) {
  if (!c || typeof c !== 'object') return null;
  if (typeof c.id !== 'string' && typeof c.id !== 'number') return null;
  const strings = (a) => (Array.isArray(a) ? a.filter((s) => typeof s === 'string') : []);
  return {
    id: String(c.id),
    channel: Number(c.channel) || 0,
    start: typeof c.start === 'string' ? c.start : '',
    duration_ms: Number(c.duration_ms) || 0,
    frequency_hz: Number(c.frequency_hz) || 0,
    modulation: typeof c.modulation === 'string' ? c.modulation : '',
    tags: strings(c.tags),
    display: strings(c.display),
    signal_max: Number.isFinite(c.signal_max) ? c.signal_max : null,
    tone: typeof c.tone === 'string' ? c.tone : '',
    part: Number(c.part) || 0,
    audio: typeof c.audio === 'string' && /^\/(?!\/)/.test(c.audio) ? c.audio : `/api/calls/${encodeURIComponent(String(c.id))}/audio`,
    levels: Array.isArray(c.levels) ? c.levels.map(Number).filter(Number.isFinite) : null,
    uploads: cleanUploads(c.uploads),
    // The same transmission heard on other channels: their recordings, and whether this one
    // was stored after the first (the transmission is listed already).
    linked: (Array.isArray(c.linked) ? c.linked : []).filter((o) => o && Number.isFinite(o.id) && Number.isFinite(o.channel))
      .slice(0, 8).map((o) => ({ id: String(o.id), channel: o.channel })),
    duplicate: c.duplicate === true,
    alerted: c.alerted === true,
  };
}

// Where a call went: [{destination, state, reason}], strings only.
function cleanUploads(list) {
  if (!Array.isArray(list)) return [];
  const str = (v) => (typeof v === 'string' ? v : '');
  return list.filter((u) => u && typeof u === 'object' && typeof u.destination === 'string')
    .slice(0, MAX_DESTINATIONS)
    .map((u) => ({ destination: u.destination, state: str(u.state), reason: str(u.reason) }));
}

// A call's destinations, one badge each: "club: done", "region: refused (417 no talkgroup)".
function showUploads(node, uploads) {
  node.replaceChildren(...uploads.map((u) => el('span', { class: 'call-upload', dataset: { state: u.state, destination: u.destination } },
    `${u.destination}: ${u.state}${u.reason && u.state !== 'done' ? ` (${u.reason})` : ''}`)));
}

// A destination's state in one word, from the server's text ("sending call 12", "retrying in
// 8 s: ...", "waiting: ...", "paused: ...", "idle").
function destinationKind(d) {
  if (d.paused) return 'paused';
  const s = d.state;
  if (s.startsWith('sending')) return 'sending';
  if (s.startsWith('retrying') || s.startsWith('waiting')) return 'waiting';
  return 'idle';
}

function cleanDestination(d) {
  if (!d || typeof d !== 'object' || typeof d.name !== 'string') return null;
  const str = (v) => (typeof v === 'string' ? v : '');
  return {
    name: d.name, type: str(d.type), state: str(d.state) || 'idle', backlog: Number(d.backlog) || 0,
    uploaded: Number(d.uploaded) || 0, last_error: str(d.last_error), paused: typeof d.paused === 'string' && d.paused ? d.paused : null,
  };
}

// Loudness over time of each call, drawn from its decoded audio (or from the server's figures
// when a call carries them), fetched only for rows on screen, two at a time.
class Loudness {
  constructor() {
    this.cache = new Map();    // id -> Float32Array of 0..1, or null when it cannot be had
    this.waiting = new Map();  // id -> { call, canvases }
    this.busy = 0;
    this.observer = typeof IntersectionObserver === 'undefined' ? null
      : new IntersectionObserver((entries) => {
        for (const e of entries) {
          if (!e.isIntersecting) continue;
          this.observer.unobserve(e.target);
          this.want(e.target.callRef, e.target);
        }
      }, { rootMargin: '200px' });
  }

  canvas(call) {
    const c = el('canvas', { class: 'call-level', width: String(LEVEL_BARS * 2), height: '24', 'aria-hidden': 'true' });
    c.callRef = call;
    if (this.cache.has(call.id) || call.levels) this.want(call, c);
    else if (this.observer) this.observer.observe(c);
    return c;
  }

  want(call, canvas) {
    if (call.levels && !this.cache.has(call.id)) this.keep(call.id, bars(call.levels, LEVEL_BARS));
    if (this.cache.has(call.id)) {
      draw(canvas, this.cache.get(call.id));
      return;
    }
    const w = this.waiting.get(call.id);
    if (w) w.canvases.push(canvas);
    else this.waiting.set(call.id, { call, canvases: [canvas] });
    this.pump();
  }

  // Rows leaving the list: their pictures are no longer wanted.
  forget(node) {
    for (const c of node.querySelectorAll('canvas')) this.observer?.unobserve(c);
  }

  keep(id, levels) {
    this.cache.set(id, levels);
    if (this.cache.size > MAX_LEVELS) this.cache.delete(this.cache.keys().next().value);
  }

  async pump() {
    while (this.busy < 2 && this.waiting.size) {
      const [id, job] = this.waiting.entries().next().value;
      this.waiting.delete(id);
      if (!job.canvases.some((c) => c.isConnected)) continue;  // its row went meanwhile
      this.busy += 1;
      loudnessOf(job.call.audio)
        .catch(() => null)
        .then((levels) => {
          this.keep(id, levels);
          for (const c of job.canvases) if (c.isConnected) draw(c, levels);
        })
        .finally(() => {
          this.busy -= 1;
          this.pump();
        });
    }
  }
}

// RMS per slice of the decoded audio, as 0..1 over -60..0 dBFS.
async function loudnessOf(url) {
  const r = await fetch(url, { credentials: 'same-origin' });
  if (!r.ok) throw new Error(`HTTP ${r.status}`);
  const data = await r.arrayBuffer();
  const ctx = new OfflineAudioContext(1, 1, 16000);
  const buf = await ctx.decodeAudioData(data);
  const samples = buf.getChannelData(0);
  const out = new Float32Array(LEVEL_BARS);
  const per = Math.max(1, Math.floor(samples.length / LEVEL_BARS));
  for (let b = 0; b < LEVEL_BARS; ++b) {
    let sum = 0;
    let n = 0;
    for (let i = b * per; i < Math.min(samples.length, (b + 1) * per); ++i) {
      sum += samples[i] * samples[i];
      n += 1;
    }
    const db = n ? 10 * Math.log10(sum / n + 1e-12) : -120;
    out[b] = Math.min(1, Math.max(0, (db + 60) / 60));
  }
  return out;
}

function bars(values, n) {
  const out = new Float32Array(n);
  if (!values.length) return out;
  const max = Math.max(...values.map(Math.abs), 1e-9);
  // Figures in dBFS (negative) are mapped over -60..0; others are taken as relative.
  const db = values.every((v) => v <= 0);
  for (let b = 0; b < n; ++b) {
    const v = values[Math.min(values.length - 1, Math.floor((b * values.length) / n))];
    out[b] = db ? Math.min(1, Math.max(0, (v + 60) / 60)) : Math.min(1, Math.abs(v) / max);
  }
  return out;
}

function draw(canvas, levels) {
  const g = canvas.getContext('2d');
  if (!g) return;
  const { width, height } = canvas;
  g.clearRect(0, 0, width, height);
  const style = getComputedStyle(canvas);
  if (!levels) {
    g.fillStyle = style.getPropertyValue('--line').trim() || '#999';
    g.fillRect(0, height / 2, width, 1);
    canvas.dataset.state = 'none';
    return;
  }
  g.fillStyle = style.getPropertyValue('--accent').trim() || '#0b6e4f';
  const w = width / levels.length;
  levels.forEach((v, i) => {
    const h = Math.max(1, Math.round(v * height));
    g.fillRect(Math.floor(i * w), height - h, Math.max(1, Math.ceil(w) - 1), h);
  });
  canvas.dataset.state = 'drawn';
}

function loadAvoids() {
  try {
    const a = JSON.parse(localStorage.getItem(AVOID_KEY) ?? '[]');
    return Array.isArray(a) ? a.filter((x) => typeof x?.tag === 'string' && Number(x.until) > Date.now()).slice(0, 50) : [];
  } catch {
    return [];
  }
}

export class CallsPage {
  // onSignIn: the server wants a sign-in (HTTP 401).
  constructor({ onSignIn } = {}) {
    this.onSignIn = onSignIn ?? (() => {});
    this.filters = {};
    this.calls = [];           // shown, newest first
    this.rows = new Map();     // id -> row element
    this.next = null;          // cursor of the following page
    this.loading = false;
    this.generation = 0;       // a new filter makes answers to older requests stale
    this.loaded = false;
    this.visible = false;
    this.current = null;       // the call in the player
    this.live = false;
    this.queue = [];
    this.played = [];          // calls heard in live mode, the last one last
    this.hold = '';
    this.avoids = loadAvoids();
    this.recentTags = new Set();
    this.noAudio = new Set();
    this.pendingOpen = null;
    this.free = false;      // live mode: the player is free for the next call to arrive
    this.loudness = new Loudness();
    this.uploadsTimer = null;
    this.build();
  }

  // ---- building ------------------------------------------------------------------------

  build() {
    const channelOptions = (first) => [el('option', { value: '' }, first), ...[1, 2, 3, 4].map((n) => el('option', { value: String(n) }, `Channel ${n}`))];
    this.f = {
      channel: el('select', { id: 'calls-channel', name: 'channel' }, channelOptions('All channels')),
      frequency: el('input', { id: 'calls-frequency', name: 'frequency', type: 'text', inputmode: 'decimal', placeholder: 'MHz', autocomplete: 'off', maxlength: '12' }),
      from: el('input', { id: 'calls-from', name: 'from', type: 'datetime-local' }),
      to: el('input', { id: 'calls-to', name: 'to', type: 'datetime-local' }),
      q: el('input', { id: 'calls-q', name: 'q', type: 'search', placeholder: 'Tag or display text', maxlength: '200', autocomplete: 'off' }),
      min: el('input', { id: 'calls-min', name: 'min', type: 'number', min: '0', max: '3600', step: '1', inputmode: 'numeric', placeholder: '0' }),
      alerts: el('input', { id: 'calls-alerts', name: 'alerts', type: 'checkbox' }),
    };
    const field = (label, input, cls) => el('div', { class: ['calls-field', cls] }, el('label', { class: 'field-label', for: input.id }, label), input);
    const clearBtn = el('button', { type: 'reset', class: 'btn btn-small' }, 'Clear');
    this.form = el('form', { class: 'calls-filters card', role: 'search', 'aria-label': 'Filter calls' },
      field('Channel', this.f.channel),
      field('Frequency', this.f.frequency, 'calls-field-narrow'),
      field('From', this.f.from),
      field('To', this.f.to),
      field('Text', this.f.q, 'calls-field-wide'),
      field('Min. seconds', this.f.min, 'calls-field-narrow'),
      field('Alerts only', this.f.alerts, 'calls-field-narrow'),
      el('div', { class: 'calls-field calls-field-btn' }, clearBtn));
    let typing = null;
    this.form.addEventListener('submit', (e) => {
      e.preventDefault();
      this.applyForm();
    });
    this.form.addEventListener('change', () => this.applyForm());
    this.f.q.addEventListener('input', () => {
      clearTimeout(typing);
      typing = setTimeout(() => this.applyForm(), 350);
    });
    this.form.addEventListener('reset', () => setTimeout(() => this.applyForm(), 0));

    // The player.
    this.audio = el('audio', { preload: 'auto', class: 'calls-audio' });
    this.audio.addEventListener('ended', () => this.ended());
    this.audio.addEventListener('play', () => this.showPlayState());
    this.audio.addEventListener('pause', () => this.showPlayState());
    this.audio.addEventListener('timeupdate', () => this.showProgress());
    this.audio.addEventListener('error', () => {
      if (!this.current) return;
      this.status(`Cannot play this call (${{ 2: 'network error', 3: 'cannot decode', 4: 'audio not available' }[this.audio.error?.code] ?? 'error'}).`, 'error');
      const broken = this.current.id;
      // A broken call does not stop the queue.
      if (this.live) setTimeout(() => this.current?.id === broken && this.ended(), 500);
    });
    const btn = (cls, label, text, onclick) => el('button', { type: 'button', class: ['btn', cls], 'aria-label': label, title: label, onclick }, text);
    this.playBtn = btn('calls-play btn-primary', 'Play', 'Play', () => this.toggle());
    this.prevBtn = btn('calls-prev', 'Previous call (newer, k)', '◀ Prev', () => this.step(-1));
    this.nextBtn = btn('calls-next', 'Next call (older, j)', 'Next ▶', () => this.step(1));
    this.speed = el('select', { class: 'calls-speed', 'aria-label': 'Speed' }, SPEEDS.map((s) => el('option', { value: String(s) }, `${s}×`)));
    this.speed.addEventListener('change', () => this.setSpeed());
    this.download = el('a', { class: 'btn calls-download', download: '', 'aria-disabled': 'true' }, 'Download');
    this.link = el('a', { class: 'calls-link', href: '#calls', hidden: true }, 'Link to this call');
    this.nowTitle = el('div', { class: 'calls-now-title' }, 'No call selected');
    this.nowMeta = el('div', { class: 'calls-now-meta muted' });
    this.nowDisplay = el('div', { class: 'calls-now-display mono', 'aria-label': 'Display at the start of the call' });
    this.nowLevel = el('div', { class: 'calls-now-level' });
    this.progress = el('progress', { class: 'calls-progress', max: '1', value: '0', 'aria-label': 'Position in the call' });
    this.statusLine = el('p', { class: 'calls-status', role: 'status' });
    this.player = el('section', { class: 'calls-player card', 'aria-label': 'Player' },
      el('div', { class: 'calls-now' }, this.nowTitle, this.nowMeta, this.nowLevel, this.nowDisplay),
      this.progress,
      el('div', { class: 'calls-controls' }, this.prevBtn, this.playBtn, this.nextBtn,
        el('label', { class: 'calls-inline' }, 'Speed ', this.speed), this.download, this.link),
      this.statusLine, this.audio);

    // Live mode.
    this.liveBtn = el('button', { type: 'button', class: 'btn calls-live-btn', 'aria-pressed': 'false', title: 'Play new calls as they arrive (l)', onclick: () => this.setLive(!this.live) }, 'Live');
    this.queueCount = el('span', { class: 'calls-queue mono', 'aria-live': 'polite' }, 'Queue 0');
    this.skipBtn = btn('calls-skip btn-small', 'Skip this call', 'Skip', () => this.skip());
    this.replayBtn = btn('calls-replay btn-small', 'Replay the last call', 'Replay last', () => this.replay());
    this.pauseBtn = btn('calls-pause btn-small', 'Pause live', 'Pause', () => this.toggle());
    this.holdSel = el('select', { class: 'calls-hold', 'aria-label': 'Hold one channel' }, channelOptions('All channels'));
    this.holdSel.addEventListener('change', () => {
      this.hold = this.holdSel.value;
      this.queue = this.queue.filter((c) => this.wanted(c));
      this.showQueue();
    });
    this.avoidTag = el('select', { class: 'calls-avoid-tag', 'aria-label': 'Tag to avoid' });
    this.avoidFor = el('select', { class: 'calls-avoid-for', 'aria-label': 'For how long' }, AVOID_MINUTES.map((m) => el('option', { value: String(m) }, `${m} min`)));
    this.avoidBtn = btn('calls-avoid btn-small', 'Avoid this tag', 'Avoid', () => this.avoid(this.avoidTag.value, Number(this.avoidFor.value)));
    this.avoidList = el('ul', { class: 'calls-avoids' });
    this.liveBox = el('section', { class: 'calls-livebox card', 'aria-label': 'Live mode' },
      el('div', { class: 'calls-live-row' }, this.liveBtn, this.queueCount, this.pauseBtn, this.skipBtn, this.replayBtn),
      el('div', { class: 'calls-live-row' },
        el('label', { class: 'calls-inline' }, 'Hold ', this.holdSel),
        el('span', { class: 'calls-inline' }, 'Avoid ', this.avoidTag, ' for ', this.avoidFor, ' ', this.avoidBtn)),
      this.avoidList);

    // The call servers the calls go to (shown only when the server has some).
    this.destList = el('ul', { class: 'calls-dests' });
    this.uploadsBox = el('section', { class: 'calls-uploads card', 'aria-labelledby': 'calls-uploads-title', hidden: true },
      el('h3', { id: 'calls-uploads-title', class: 'calls-uploads-title' }, 'Uploads'), this.destList);

    this.alertsView = new AlertsView((id) => this.markAlerted(id));

    this.notice = el('p', { class: 'calls-notice', hidden: true });
    this.listError = el('p', { class: 'action-error calls-error', role: 'alert', hidden: true });
    this.list = el('ol', { class: 'calls-list', 'aria-label': 'Calls, newest first' });
    this.empty = el('p', { class: 'muted calls-empty', hidden: true });
    this.moreBtn = el('button', { type: 'button', class: 'btn calls-more', hidden: true, onclick: () => this.loadMore() }, 'Load more');
    this.sentinel = el('div', { class: 'calls-sentinel', 'aria-hidden': 'true' });
    if (typeof IntersectionObserver !== 'undefined') {
      new IntersectionObserver((entries) => {
        if (entries.some((e) => e.isIntersecting)) this.loadMore();
      }, { rootMargin: '400px' }).observe(this.sentinel);
    }
    this.keys = el('p', { class: 'note muted calls-keys' }, 'Keys: space play/pause, j next, k previous, l live.');

    this.node = el('section', { id: 'page-calls', class: 'page page-calls', 'aria-labelledby': 'calls-title' },
      el('h2', { id: 'calls-title', class: 'visually-hidden' }, 'Calls'),
      el('div', { class: 'calls-top' }, this.player, this.liveBox),
      this.uploadsBox, this.alertsView.node, this.notice, this.form, this.listError, this.list, this.empty, this.moreBtn, this.sentinel, this.keys);

    document.addEventListener('keydown', (e) => this.key(e));
    this.showPlayState();
    this.showQueue();
    this.showAvoids();
    setInterval(() => this.showAvoids(), 30000);
  }

  // ---- routing -------------------------------------------------------------------------

  hash() {
    return filtersHash(this.filters);
  }

  // The page is shown (or hidden); `hash` is the address without "#".
  show(on, hash) {
    this.visible = on;
    this.watchUploads(on);
    this.alertsView.show(on);
    if (!on || (this.loaded && hash === this.lastHash)) return;
    this.lastHash = hash;
    const { call, filters } = parseHash(hash ?? '');
    const same = JSON.stringify(filters) === JSON.stringify(this.filters);
    if (!same || !this.loaded) {
      this.filters = filters;
      this.fillForm();
      this.reload();
    }
    if (call) this.open(call, { play: true });
  }

  fillForm() {
    const f = this.filters;
    this.f.channel.value = f.channel ?? '';
    this.f.frequency.value = f.frequency_hz ? String(Number(f.frequency_hz) / 1e6) : '';
    this.f.from.value = localInput(f.from);
    this.f.to.value = localInput(f.to);
    this.f.q.value = f.q ?? '';
    this.f.min.value = f.min_ms ? String(Math.round(Number(f.min_ms) / 1000)) : '';
    this.f.alerts.checked = f.alerts === '1';
  }

  applyForm() {
    const f = {};
    if (this.f.channel.value) f.channel = this.f.channel.value;
    const mhz = Number(this.f.frequency.value.trim().replace(',', '.'));
    if (this.f.frequency.value.trim() && Number.isFinite(mhz) && mhz > 0) f.frequency_hz = String(Math.round(mhz * 1e6));
    const from = isoFromInput(this.f.from.value);
    const to = isoFromInput(this.f.to.value);
    if (from) f.from = from;
    if (to) f.to = to;
    const q = this.f.q.value.trim();
    if (q) f.q = q;
    const min = Number(this.f.min.value);
    if (Number.isFinite(min) && min > 0) f.min_ms = String(Math.round(min * 1000));
    if (this.f.alerts.checked) f.alerts = '1';
    if (JSON.stringify(f) === JSON.stringify(this.filters)) return;
    this.filters = f;
    if (this.visible) {
      history.replaceState(null, '', this.hash());
      this.lastHash = this.hash().slice(1);
    }
    this.reload();
  }

  // A call an alert named after it was listed (alerts come once the call is stored).
  markAlerted(id) {
    const call = this.calls.find((c) => c.id === id);
    if (!call || call.alerted) return;
    call.alerted = true;
    this.rows.get(id)?.querySelector('.call-uploads')?.prepend(alertBadge());
  }

  // ---- uploads -------------------------------------------------------------------------

  watchUploads(on) {
    clearTimeout(this.uploadsTimer);
    this.uploadsTimer = null;
    if (on) this.pollUploads();
  }

  async pollUploads() {
    try {
      const r = await fetch('/api/calls/uploads', { credentials: 'same-origin', cache: 'no-store' });
      if (r.status === 404) {  // calls are not recorded: asked again when the page is shown again
        this.uploadsBox.hidden = true;
        return;
      }
      if (r.ok) this.showUploadStatus(await r.json());
    } catch {
      // The next poll tries again.
    }
    if (this.visible && !this.uploadsTimer) this.uploadsTimer = setTimeout(() => {
      this.uploadsTimer = null;
      if (this.visible) this.pollUploads();
    }, UPLOADS_POLL_MS);
  }

  // {"destinations":[...], "calls":[{call, destination, state, reason}] (the newest calls)}.
  showUploadStatus(body) {
    const dests = (Array.isArray(body?.destinations) ? body.destinations : []).map(cleanDestination).filter(Boolean).slice(0, MAX_DESTINATIONS);
    this.uploadsBox.hidden = !dests.length;
    this.destList.replaceChildren(...dests.map((d) => {
      const kind = destinationKind(d);
      const state = d.paused ? `Paused: ${d.paused}` : d.state.charAt(0).toUpperCase() + d.state.slice(1);
      return el('li', { class: 'calls-dest', dataset: { name: d.name, kind } },
        el('span', { class: 'calls-dest-name' }, d.type ? `${d.name} (${d.type})` : d.name),
        el('span', { class: 'calls-dest-state' }, state),
        el('span', { class: 'calls-dest-backlog mono' }, `Backlog ${d.backlog}`),
        el('span', { class: 'calls-dest-sent mono' }, `Sent ${d.uploaded}`),
        d.last_error ? el('span', { class: 'calls-dest-error' }, `Last error: ${d.last_error}`) : null);
    }));
    // The newest calls' destinations change as they go: their rows follow.
    const byCall = new Map();
    for (const u of Array.isArray(body?.calls) ? body.calls : []) {
      const id = String(u?.call ?? '');
      if (!this.rows.has(id)) continue;
      if (!byCall.has(id)) byCall.set(id, []);
      byCall.get(id).push(u);
    }
    for (const [id, list] of byCall) {
      const call = this.calls.find((c) => c.id === id);
      if (!call) continue;
      call.uploads = cleanUploads(list);
      const node = this.rows.get(id).querySelector('.call-uploads');
      if (node) showUploads(node, call.uploads);
    }
  }

  // ---- the list ------------------------------------------------------------------------

  query(extra) {
    const p = new URLSearchParams();
    for (const k of FILTER_KEYS) if (this.filters[k]) p.set(k, this.filters[k]);
    p.set('limit', String(PAGE));
    for (const [k, v] of Object.entries(extra ?? {})) p.set(k, v);
    return `/api/calls?${p}`;
  }

  async fetchPage(extra) {
    const r = await fetch(this.query(extra), { credentials: 'same-origin', cache: 'no-store' });
    if (r.status === 401) {
      this.onSignIn();
      throw new Error('sign-in needed');
    }
    let body = null;
    try {
      body = await r.json();
    } catch {
      body = null;
    }
    if (!r.ok) {
      const why = typeof body?.error === 'string' ? body.error : `HTTP ${r.status}`;
      throw new Error(r.status === 404 ? `Calls are not recorded on this server (${why}): its configuration needs a [calls] section.` : why);
    }
    return { calls: (Array.isArray(body?.calls) ? body.calls : []).map(cleanCall).filter(Boolean), next: typeof body?.next === 'string' || typeof body?.next === 'number' ? String(body.next) : null };
  }

  async reload() {
    const gen = ++this.generation;
    this.loaded = true;
    this.loading = true;
    this.calls = [];
    for (const li of this.rows.values()) this.loudness.forget(li);
    this.rows.clear();
    clear(this.list);
    this.next = null;
    this.showListState('Loading calls…');
    try {
      const page = await this.fetchPage();
      if (gen !== this.generation) return;
      this.listError.hidden = true;
      this.addRows(page.calls, 'end');
      this.next = page.next;
    } catch (e) {
      if (gen !== this.generation) return;
      setText(this.listError, e.message);
      this.listError.hidden = false;
    } finally {
      if (gen === this.generation) this.loading = false;
    }
    this.showListState();
    this.openPending();
    this.fillScreen();
  }

  async loadMore() {
    if (this.loading || !this.next || !this.loaded) return;
    const gen = this.generation;
    this.loading = true;
    this.moreBtn.disabled = true;
    try {
      const page = await this.fetchPage({ before: this.next });
      if (gen !== this.generation) return;
      this.addRows(page.calls, 'end');
      this.next = page.next;
      this.listError.hidden = true;
    } catch (e) {
      if (gen !== this.generation) return;
      setText(this.listError, e.message);
      this.listError.hidden = false;
    } finally {
      if (gen === this.generation) this.loading = false;
      this.moreBtn.disabled = false;
    }
    this.showListState();
    this.openPending();
    this.fillScreen();
  }

  // The observer only tells when the end of the list comes into view: a page that did not
  // fill the screen asks for the next at once.
  fillScreen() {
    requestAnimationFrame(() => {
      if (this.visible && this.next && !this.loading && this.sentinel.getBoundingClientRect().top < innerHeight + 400) this.loadMore();
    });
  }

  // After the event stream came back: calls stored meanwhile go on top.
  async resync() {
    if (!this.loaded || this.loading) return;
    const gen = this.generation;
    try {
      const page = await this.fetchPage();
      if (gen !== this.generation) return;
      // The server's order is the order calls were stored: what comes before our newest is new.
      const top = this.calls.length ? page.calls.findIndex((c) => c.id === this.calls[0].id) : page.calls.length;
      if (top < 0) {
        this.reload();  // more came meanwhile than a page holds
        return;
      }
      this.addRows(page.calls.slice(0, top), 'top');
      this.showListState();
    } catch {
      // The next reconnection tries again.
    }
  }

  addRows(calls, where) {
    const fresh = calls.filter((c) => !this.rows.has(c.id));
    for (const c of fresh) for (const t of c.tags) this.noteTag(t);
    const rows = fresh.map((c) => this.row(c));
    if (where === 'top') {
      this.calls.unshift(...fresh);
      this.list.prepend(...rows);
    } else {
      this.calls.push(...fresh);
      this.list.append(...rows);
    }
    while (this.calls.length > MAX_ROWS) {
      const gone = this.calls.pop();
      const li = this.rows.get(gone.id);
      if (li) {
        this.loudness.forget(li);
        li.remove();
      }
      this.rows.delete(gone.id);
    }
  }

  row(call) {
    const tags = el('span', { class: 'call-tags' }, call.tags.map((t) => el('span', { class: 'call-tag' }, t)));
    const channelWords = `CH ${call.channel}`;
    const button = el('button', {
      type: 'button', class: 'call-row',
      onclick: () => this.open(call.id, { play: true }),
    },
    el('span', { class: 'call-time mono' }, callTime(call.start)),
    el('span', { class: 'call-channel' }, channelWords),
    el('span', { class: 'call-duration mono' }, durationText(call.duration_ms)),
    el('span', { class: 'call-freq mono' }, frequencyText(call.frequency_hz), call.modulation ? ` ${call.modulation}` : ''),
    tags,
    this.loudness.canvas(call));
    button.setAttribute('aria-label', `${callTime(call.start)}, channel ${call.channel}, ${durationText(call.duration_ms)}, ${frequencyText(call.frequency_hz)}${call.tags.length ? ', ' + call.tags.join(', ') : ''}`);
    const uploads = el('div', { class: 'call-uploads' });
    showUploads(uploads, call.uploads);
    // Heard by other radios too: their channels, and a way to their recordings.
    const also = el('div', { class: 'call-also' });
    if (call.linked.length) {
      const channels = [...new Set(call.linked.map((o) => o.channel))].filter((c) => c !== call.channel);
      also.append(channels.length ? `also on ${channels.map((c) => `CH ${c}`).join(', ')}` : 'also recorded');
      for (const o of call.linked)
        also.append(' ', el('button', { type: 'button', class: 'btn btn-small call-also-play', onclick: () => this.open(o.id, { play: true }) }, `CH ${o.channel}'s recording`));
    }
    const li = el('li', { class: 'call', dataset: { id: call.id, channel: String(call.channel) } }, button, also, uploads);
    if (call.alerted) uploads.prepend(alertBadge());
    if (this.current?.id === call.id) li.setAttribute('aria-current', 'true');
    this.rows.set(call.id, li);
    return li;
  }

  showListState(loadingText) {
    const none = !this.calls.length;
    this.empty.hidden = !(none && (loadingText || this.listError.hidden));
    const filtered = Object.keys(this.filters).length > 0;
    setText(this.empty, loadingText ?? (filtered ? 'No calls match these filters.' : 'No calls yet: they appear here as the radios hear transmissions.'));
    this.moreBtn.hidden = !this.next;
    this.node.dataset.count = String(this.calls.length);
  }

  noteTag(tag) {
    const t = tag.trim();
    if (!t || this.recentTags.has(t)) return;
    this.recentTags.add(t);
    if (this.recentTags.size > 100) this.recentTags.delete(this.recentTags.values().next().value);
    const options = [...this.recentTags].sort((a, b) => a.localeCompare(b)).map((x) => el('option', { value: x }, x));
    const keep = this.avoidTag.value;
    this.avoidTag.replaceChildren(...options);
    if (keep) this.avoidTag.value = keep;
    this.avoidBtn.disabled = !options.length;
  }

  // ---- the player ----------------------------------------------------------------------

  find(id) {
    return this.calls.find((c) => c.id === id) ?? this.queue.find((c) => c.id === id) ?? this.played.find((c) => c.id === id) ?? null;
  }

  // Opens a call by id; when it is not in the list yet (a link), its audio plays at once and
  // its details follow from the first page, or else from the call's own file name.
  open(id, { play }) {
    const call = this.find(id) ?? { id, channel: 0, start: '', duration_ms: 0, frequency_hz: 0, modulation: '', tags: [], display: [], audio: `/api/calls/${encodeURIComponent(id)}/audio`, levels: null, tone: '', part: 0, signal_max: null, partial: true };
    this.pendingOpen = call.partial ? id : null;
    this.load(call, play);
    if (call.partial && !this.loading) this.openPending();
  }

  openPending() {
    const id = this.pendingOpen;
    if (!id || this.loading) return;
    this.pendingOpen = null;
    const c = this.calls.find((x) => x.id === id);
    if (c) this.detailsFound(c);
    else this.details(id);
  }

  detailsFound(c) {
    if (this.current?.id !== c.id || !this.current.partial) return;
    this.current = c;
    this.showCurrent();
  }

  // An older call's details: its file name says its channel and start to the millisecond
  // ("quillon-c1-20261208-024107.250.opus"), and the list filtered to that moment holds it.
  async details(id) {
    try {
      const head = await fetch(`/api/calls/${encodeURIComponent(id)}/audio`, { credentials: 'same-origin', headers: { Range: 'bytes=0-0' } });
      const m = (head.headers.get('Content-Disposition') ?? '').match(/quillon-c(\d)-(\d{4})(\d\d)(\d\d)-(\d\d)(\d\d)(\d\d)\.(\d{3})/);
      head.body?.cancel();
      if (!m) return;
      const start = Date.UTC(+m[2], +m[3] - 1, +m[4], +m[5], +m[6], +m[7], +m[8]);
      const q = new URLSearchParams({ channel: m[1], from: new Date(start).toISOString(), to: new Date(start + 1).toISOString(), limit: '10' });
      const r = await fetch(`/api/calls?${q}`, { credentials: 'same-origin', cache: 'no-store' });
      if (!r.ok) return;
      const c = (await r.json())?.calls?.map(cleanCall).find((x) => x?.id === id);
      if (c) this.detailsFound(c);
    } catch {
      // The audio plays without its details.
    }
  }

  load(call, play) {
    this.current = call;
    this.free = false;
    this.audio.src = call.audio;
    this.setSpeed();
    this.status('');
    this.showCurrent();
    if (play) this.play();
  }

  // A new source starts at the default rate: both are set.
  setSpeed() {
    const rate = Number(this.speed.value) || 1;
    this.audio.defaultPlaybackRate = rate;
    this.audio.playbackRate = rate;
  }

  play() {
    const p = this.audio.play();
    p?.catch?.((e) => {
      if (e?.name === 'NotAllowedError') this.status('Press Play to listen: this browser waits for a click before it plays sound.', 'hint');
    });
  }

  toggle() {
    if (!this.current) {
      const first = this.live ? this.queue.shift() : this.calls[0];
      if (first) this.load(first, true);
      this.showQueue();
      return;
    }
    if (this.audio.paused) this.play();
    else this.audio.pause();
  }

  // Next (older, +1) or previous (newer, -1) call of the list.
  step(dir) {
    if (!this.calls.length) return;
    const i = this.current ? this.calls.findIndex((c) => c.id === this.current.id) : -1;
    const to = i < 0 ? 0 : i + dir;
    if (to < 0) return;
    if (to >= this.calls.length) {
      this.loadMore();
      return;
    }
    this.load(this.calls[to], true);
    this.rows.get(this.calls[to].id)?.scrollIntoView({ block: 'nearest' });
    if (to >= this.calls.length - 3) this.loadMore();
  }

  ended() {
    if (this.live) {
      if (this.current) this.remember(this.current);
      const next = this.queue.shift();
      this.showQueue();
      if (next) this.load(next, true);
      else {
        this.free = true;
        this.showPlayState();
      }
      return;
    }
    this.showPlayState();
  }

  remember(call) {
    if (this.played.at(-1)?.id !== call.id) this.played.push(call);
    if (this.played.length > 50) this.played.shift();
  }

  showCurrent() {
    const c = this.current;
    for (const li of this.list.querySelectorAll('li[aria-current]')) li.removeAttribute('aria-current');
    if (!c) {
      setText(this.nowTitle, 'No call selected');
      setText(this.nowMeta, '');
      clear(this.nowDisplay);
      clear(this.nowLevel);
      this.download.setAttribute('aria-disabled', 'true');
      this.download.removeAttribute('href');
      this.showPlayState();
      return;
    }
    this.rows.get(c.id)?.setAttribute('aria-current', 'true');
    if (c.partial) {
      setText(this.nowTitle, `Call ${c.id}`);
      setText(this.nowMeta, '');
    } else {
      setText(this.nowTitle, `Channel ${c.channel} · ${callTime(c.start)} · ${durationText(c.duration_ms)}`);
      setText(this.nowMeta, [frequencyText(c.frequency_hz) + (c.modulation ? ` ${c.modulation}` : ''),
        c.tags.length ? c.tags.join(' · ') : null,
        c.tone ? `tone ${c.tone}` : null,
        c.signal_max !== null && c.signal_max !== undefined ? `signal ${c.signal_max}` : null,
        c.part > 1 ? `part ${c.part}` : null].filter(Boolean).join('  ·  '));
    }
    this.nowDisplay.replaceChildren(...c.display.map((line) => el('div', { class: 'calls-lcd-line' }, line)));
    this.loudness.forget(this.nowLevel);
    this.nowLevel.replaceChildren(this.loudness.canvas(c));
    this.nowLevel.firstChild.classList.add('call-level-big');
    if (!c.partial) this.loudness.want(c, this.nowLevel.firstChild);
    this.download.href = c.audio;
    this.download.removeAttribute('aria-disabled');
    this.link.href = `#call=${encodeURIComponent(c.id)}`;
    this.link.hidden = false;
    this.node.dataset.current = c.id;
    this.showPlayState();
  }

  showPlayState() {
    const playing = !this.audio.paused && !!this.current;
    setText(this.playBtn, playing ? 'Pause' : 'Play');
    this.playBtn.setAttribute('aria-label', playing ? 'Pause (space)' : 'Play (space)');
    setText(this.pauseBtn, this.live && !playing && this.current && !this.audio.ended ? 'Resume' : 'Pause');
    this.node.dataset.playing = String(playing);
    this.showQueue();
  }

  showProgress() {
    const d = this.audio.duration;
    if (Number.isFinite(d) && d > 0) {
      this.progress.max = d;
      this.progress.value = this.audio.currentTime;
    } else {
      this.progress.max = 1;
      this.progress.value = 0;
    }
  }

  status(text, kind) {
    setText(this.statusLine, text);
    this.statusLine.dataset.kind = kind ?? '';
  }

  // ---- live mode -----------------------------------------------------------------------

  setLive(on) {
    this.live = on;
    this.liveBtn.setAttribute('aria-pressed', String(on));
    setText(this.liveBtn, on ? 'Live: on' : 'Live');
    this.node.dataset.live = String(on);
    if (!on) this.queue = [];
    this.free = on && (!this.current || this.audio.paused || this.audio.ended);
    this.showQueue();
    this.showPlayState();
  }

  // Whether live mode plays this call: the held channel only, no avoided tag.
  wanted(call) {
    if (this.hold && String(call.channel) !== this.hold) return false;
    const now = Date.now();
    return !this.avoids.some((a) => a.until > now && call.tags.some((t) => t.trim() === a.tag));
  }

  // A call the server has just stored (from the event stream).
  stored(raw) {
    const call = cleanCall(raw);
    if (!call) return;
    for (const t of call.tags) this.noteTag(t);
    if (call.duplicate && !this.filters.channel) {
      // Another radio's recording of a transmission already listed: its row is drawn anew.
      this.relinked();
    } else if (this.loaded && !this.rows.has(call.id) && matches(call, this.filters)) {
      this.addRows([call], 'top');
      this.showListState();
    }
    if (!this.live || !this.wanted(call) || (call.duplicate && !this.hold)) return;
    if (this.free && !this.queue.length) {
      if (this.current) this.remember(this.current);
      this.load(call, true);
    } else {
      this.queue.push(call);
      if (this.queue.length > MAX_QUEUE) this.queue.shift();
    }
    this.showQueue();
  }

  // The newest transmissions' rows as the server lists them now: the recordings of one
  // transmission share one row, the one played (the best) may have changed.
  async relinked() {
    if (!this.loaded || this.loading) return;
    const gen = this.generation;
    let page;
    try {
      page = await this.fetchPage({ limit: 10 });
    } catch {
      return;  // the next call or reconnection brings the list up to date
    }
    if (gen !== this.generation) return;
    for (const c of page.calls) {
      if (!c.linked.length) continue;
      const ids = [c.id, ...c.linked.map((o) => o.id)];
      if (!ids.some((id) => this.rows.has(id))) continue;
      for (const id of ids) {
        const li = this.rows.get(id);
        if (!li) continue;
        this.loudness.forget(li);
        li.remove();
        this.rows.delete(id);
        this.calls = this.calls.filter((x) => x.id !== id);
      }
      const at = this.calls.findIndex((x) => Number(x.id) < Number(c.id));
      const li = this.row(c);
      if (at < 0) {
        this.calls.push(c);
        this.list.append(li);
      } else {
        this.list.insertBefore(li, this.rows.get(this.calls[at].id));
        this.calls.splice(at, 0, c);
      }
    }
    this.showListState();
  }

  skip() {
    if (!this.live) {
      this.step(1);
      return;
    }
    this.audio.pause();
    this.ended();
  }

  // Plays again the call heard before the one playing (or this one, when it is the first).
  replay() {
    const playingNow = this.current && !this.audio.paused && !this.audio.ended;
    const last = this.played.at(-1);
    if (playingNow && last && last.id !== this.current.id) {
      this.queue.unshift(this.current);
      this.played.pop();
      this.load(last, true);
    } else if (this.current) {
      this.audio.currentTime = 0;
      this.play();
    } else if (last) {
      this.load(last, true);
    }
    this.showQueue();
  }

  showQueue() {
    setText(this.queueCount, `Queue ${this.queue.length}`);
    this.queueCount.dataset.count = String(this.queue.length);
    for (const b of [this.skipBtn, this.pauseBtn, this.replayBtn]) b.disabled = !this.live;
  }

  avoid(tag, minutes) {
    if (!tag) return;
    this.avoids = this.avoids.filter((a) => a.tag !== tag);
    this.avoids.push({ tag, until: Date.now() + minutes * 60000 });
    if (this.avoids.length > 50) this.avoids.shift();
    this.saveAvoids();
    this.queue = this.queue.filter((c) => this.wanted(c));
    this.showQueue();
  }

  saveAvoids() {
    try {
      localStorage.setItem(AVOID_KEY, JSON.stringify(this.avoids));
    } catch {
      // Private windows may refuse storage: the avoids last as long as the page.
    }
    this.showAvoids();
  }

  showAvoids() {
    const now = Date.now();
    this.avoids = this.avoids.filter((a) => a.until > now);
    this.avoidList.replaceChildren(...this.avoids.map((a) => el('li', { class: 'calls-avoid-item' },
      el('span', {}, `Avoiding “${a.tag}” for ${Math.max(1, Math.ceil((a.until - now) / 60000))} min `),
      el('button', { type: 'button', class: 'btn btn-small', 'aria-label': `Stop avoiding ${a.tag}`, onclick: () => {
        this.avoids = this.avoids.filter((x) => x !== a);
        this.saveAvoids();
      } }, 'Stop'))));
    this.avoidBtn.disabled = !this.recentTags.size;
  }

  // Channels whose capture delivers nothing record no calls: say so.
  levels(channels) {
    if (!Array.isArray(channels)) return;
    let changed = false;
    for (const c of channels) {
      const n = Number(c?.channel);
      if (!n) continue;
      const none = c.capturing === false;
      if (none !== this.noAudio.has(n)) {
        changed = true;
        if (none) this.noAudio.add(n);
        else this.noAudio.delete(n);
      }
    }
    if (!changed) return;
    const list = [...this.noAudio].sort();
    this.notice.hidden = !list.length;
    setText(this.notice, list.length === 1
      ? `Channel ${list[0]} has no audio input: it records no calls.`
      : `Channels ${list.join(', ')} have no audio input: they record no calls.`);
  }

  // ---- keyboard ------------------------------------------------------------------------

  key(e) {
    if (!this.visible || e.ctrlKey || e.metaKey || e.altKey || e.defaultPrevented) return;
    const t = e.target;
    if (t instanceof Element && t.closest('input, select, textarea, [contenteditable], dialog')) return;
    if (e.key === ' ' && t instanceof Element && t.closest('button, a, summary')) return;
    const actions = { ' ': () => this.toggle(), j: () => (this.live ? this.skip() : this.step(1)), k: () => this.step(-1), l: () => this.setLive(!this.live) };
    const fn = actions[e.key];
    if (!fn) return;
    e.preventDefault();
    fn();
  }
}
