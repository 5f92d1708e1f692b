// The Activity page: what the radios heard at a glance, from GET /api/activity. A heat map of
// airtime by hour of day (the server's local time) against day, the busiest frequencies and
// tags, frequencies that went quiet, and a timeline of the last hours with each channel's calls
// as bars (a click plays the call). Its filters are the Calls page's (channel, frequency, words)
// and live in the address after "#activity?", so a view can be linked and opened in Calls.
// Every number is also text: each picture has a table beside it, each bar and cell a label.
import { el, setText } from './dom.js';
import { durationText, frequencyText, callTime } from './calls.js';

const SVG = 'http://www.w3.org/2000/svg';
const DAYS = [7, 30, 90];
const HOURS = [3, 6, 12, 24];
const FILTER_KEYS = ['channel', 'frequency_hz', 'q', 'days', 'hours'];
const REFRESH_MS = 60000;  // while shown, the picture follows the calls stored since
const pad = (n) => String(n).padStart(2, '0');

function svg(tag, attrs, ...children) {
  const e = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs ?? {})) if (v !== undefined && v !== null) e.setAttribute(k, String(v));
  for (const c of children) e.append(c instanceof Node ? c : document.createTextNode(String(c)));
  return e;
}

// Airtime as text: "45 s", "12 min", "3 h 20 min".
export function airtimeText(ms) {
  const s = Math.round(Math.max(0, Number(ms) || 0) / 1000);
  if (s < 60) return `${s} s`;
  const m = Math.round(s / 60);
  if (m < 60) return `${m} min`;
  return `${Math.floor(m / 60)} h ${pad(m % 60)} min`;
}

export function parseActivityHash(hash) {
  const h = hash.replace(/^#/, '');
  const at = h.indexOf('?');
  const params = new URLSearchParams(at >= 0 ? h.slice(at + 1) : '');
  const filters = {};
  for (const k of FILTER_KEYS) {
    const v = params.get(k);
    if (v) filters[k] = v;
  }
  return filters;
}

export function activityHash(filters) {
  const params = new URLSearchParams();
  for (const k of FILTER_KEYS) if (filters[k]) params.set(k, filters[k]);
  const s = params.toString();
  return s ? `#activity?${s}` : '#activity';
}

const num = (v) => (Number.isFinite(Number(v)) ? Number(v) : 0);
const str = (v) => (typeof v === 'string' ? v : '');
const arr = (v) => (Array.isArray(v) ? v : []);

// The server's answer, checked field by field: anything malformed becomes nothing or zero.
function clean(body) {
  const b = body && typeof body === 'object' ? body : {};
  const hm = b.heatmap ?? {};
  const days = arr(hm.days).map(str).slice(0, 92);
  const grid = (rows) => days.map((_, i) => Array.from({ length: 24 }, (__, h) => num(arr(arr(rows)[i])[h])));
  const entry = (e) => ({
    frequency_hz: num(e?.frequency_hz), tag: str(e?.tag), calls: num(e?.calls), airtime_ms: num(e?.airtime_ms), last_heard: str(e?.last_heard),
  });
  return {
    zone: str(b.time_zone?.name),
    days,
    airtime: grid(hm.airtime_ms),
    calls: grid(hm.calls),
    totals: { calls: num(b.totals?.calls), airtime_ms: num(b.totals?.airtime_ms) },
    frequencies: arr(b.frequencies).slice(0, 50).map(entry),
    tags: arr(b.tags).slice(0, 50).map(entry).filter((t) => t.tag),
    quiet: arr(b.quiet?.frequencies).slice(0, 50).map(entry),
    quietRule: { calls: num(b.quiet?.busy_calls), hours: num(b.quiet?.silent_hours) },
    timeline: {
      from: Date.parse(str(b.timeline?.from)), to: Date.parse(str(b.timeline?.to)), cut: b.timeline?.cut === true,
      calls: arr(b.timeline?.calls).slice(0, 5000).filter((c) => c && (typeof c.id === 'number' || typeof c.id === 'string')).map((c) => ({
        id: String(c.id), channel: num(c.channel), start: str(c.start), duration_ms: num(c.duration_ms), frequency_hz: num(c.frequency_hz),
        tags: arr(c.tags).filter((t) => typeof t === 'string'),
      })),
    },
  };
}

export class ActivityPage {
  constructor({ onSignIn } = {}) {
    this.onSignIn = onSignIn ?? (() => {});
    this.filters = {};
    this.visible = false;
    this.generation = 0;
    this.timer = null;
    this.lastHash = null;
    this.build();
    // A new width draws the pictures again at it.
    let width = 0;
    window.addEventListener('resize', () => {
      if (!this.visible || !this.data || this.node.clientWidth === width) return;
      width = this.node.clientWidth;
      this.drawTimeline(this.data.timeline);
      this.drawHeat(this.data);
    });
  }

  build() {
    const field = (label, input, cls) => el('div', { class: ['calls-field', cls] }, el('label', { class: 'field-label', for: input.id }, label), input);
    this.f = {
      channel: el('select', { id: 'activity-channel' }, el('option', { value: '' }, 'All channels'),
        [1, 2, 3, 4].map((n) => el('option', { value: String(n) }, `Channel ${n}`))),
      frequency: el('input', { id: 'activity-frequency', type: 'text', inputmode: 'decimal', placeholder: 'MHz', autocomplete: 'off', maxlength: '12' }),
      q: el('input', { id: 'activity-q', type: 'search', placeholder: 'Tag or display text', maxlength: '200', autocomplete: 'off' }),
      days: el('select', { id: 'activity-days' }, DAYS.map((d) => el('option', { value: String(d) }, `Last ${d} days`))),
      hours: el('select', { id: 'activity-hours' }, HOURS.map((h) => el('option', { value: String(h) }, `Last ${h} hours`))),
    };
    this.f.hours.value = '6';
    this.form = el('form', { class: 'calls-filters card', role: 'search', 'aria-label': 'Filter activity' },
      field('Channel', this.f.channel), field('Frequency', this.f.frequency, 'calls-field-narrow'), field('Text', this.f.q, 'calls-field-wide'),
      field('Heat map', this.f.days), field('Timeline', this.f.hours));
    let typing = null;
    this.form.addEventListener('submit', (e) => { e.preventDefault(); this.applyForm(); });
    this.form.addEventListener('change', () => this.applyForm());
    for (const input of [this.f.q, this.f.frequency]) input.addEventListener('input', () => {
      clearTimeout(typing);
      typing = setTimeout(() => this.applyForm(), 400);
    });

    this.summary = el('p', { class: 'activity-summary', role: 'status' });
    this.error = el('p', { class: 'action-error', role: 'alert', hidden: true });
    this.callsLink = el('a', { class: 'activity-calls-link', href: '#calls' }, 'These calls on the Calls page');

    this.audio = el('audio', { class: 'activity-audio', preload: 'auto' });
    this.nowPlaying = el('p', { class: 'activity-playing muted', 'aria-live': 'polite' }, 'Click a bar of the timeline to hear that call.');
    this.timelineBox = el('div', { class: 'activity-timeline' });
    this.timelineNote = el('p', { class: 'muted activity-note' });
    this.heatBox = el('div', { class: 'activity-heat' });
    this.heatTable = el('details', { class: 'activity-details' });
    this.lists = el('div', { class: 'activity-lists' });

    const section = (title, id, ...body) => el('section', { class: 'card activity-card', 'aria-labelledby': id }, el('h3', { id, class: 'activity-title' }, title), ...body);
    this.node = el('section', { id: 'page-activity', class: 'page page-activity', 'aria-labelledby': 'activity-heading' },
      el('h2', { id: 'activity-heading', class: 'visually-hidden' }, 'Activity'),
      this.form, this.error, el('div', { class: 'activity-head' }, this.summary, this.callsLink),
      section('Timeline', 'activity-timeline-title', this.timelineBox, this.timelineNote, this.nowPlaying, this.audio),
      section('Airtime by hour', 'activity-heat-title', this.heatBox, this.heatTable),
      this.lists);
  }

  hash() { return activityHash(this.filters); }

  show(on, hash) {
    this.visible = on;
    clearTimeout(this.timer);
    if (!on) return;
    if (hash !== this.lastHash) {
      this.lastHash = hash;
      this.filters = parseActivityHash(hash ?? '');
      this.fillForm();
    }
    this.load();
  }

  fillForm() {
    const f = this.filters;
    this.f.channel.value = f.channel ?? '';
    this.f.frequency.value = f.frequency_hz ? String(Number(f.frequency_hz) / 1e6) : '';
    this.f.q.value = f.q ?? '';
    this.f.days.value = DAYS.includes(Number(f.days)) ? String(f.days) : '7';
    this.f.hours.value = HOURS.includes(Number(f.hours)) ? String(f.hours) : '6';
  }

  applyForm() {
    const f = {};
    if (this.f.channel.value) f.channel = this.f.channel.value;
    const mhz = Number(this.f.frequency.value.trim().replace(',', '.'));
    if (this.f.frequency.value.trim() && Number.isFinite(mhz) && mhz > 0) f.frequency_hz = String(Math.round(mhz * 1e6));
    const q = this.f.q.value.trim();
    if (q) f.q = q;
    if (this.f.days.value !== '7') f.days = this.f.days.value;
    if (this.f.hours.value !== '6') f.hours = this.f.hours.value;
    this.setFilters(f);
  }

  setFilters(f) {
    if (JSON.stringify(f) === JSON.stringify(this.filters)) return;
    this.filters = f;
    if (this.visible) {
      history.replaceState(null, '', this.hash());
      this.lastHash = this.hash().slice(1);
    }
    this.fillForm();
    this.load();
  }

  // The Calls page with the same filters.
  callsHash() {
    const p = new URLSearchParams();
    for (const k of ['channel', 'frequency_hz', 'q']) if (this.filters[k]) p.set(k, this.filters[k]);
    const s = p.toString();
    return s ? `#calls?${s}` : '#calls';
  }

  async load() {
    const gen = ++this.generation;
    clearTimeout(this.timer);
    const p = new URLSearchParams();
    for (const k of FILTER_KEYS) if (this.filters[k]) p.set(k, this.filters[k]);
    this.callsLink.href = this.callsHash();
    this.node.setAttribute('aria-busy', 'true');
    try {
      const r = await fetch(`/api/activity?${p}`, { credentials: 'same-origin', cache: 'no-store' });
      if (r.status === 401) {
        this.onSignIn();
        return;
      }
      let body = null;
      try { body = await r.json(); } catch { body = null; }
      if (gen !== this.generation) return;
      if (!r.ok) {
        const why = typeof body?.error === 'string' ? body.error : `HTTP ${r.status}`;
        throw new Error(r.status === 404 ? 'Calls are not recorded on this server: its configuration needs a [calls] section.' : why);
      }
      this.error.hidden = true;
      this.draw(clean(body));
    } catch (e) {
      if (gen !== this.generation) return;
      setText(this.error, e.message);
      this.error.hidden = false;
    } finally {
      if (gen === this.generation) {
        this.node.removeAttribute('aria-busy');
        if (this.visible) this.timer = setTimeout(() => this.visible && this.load(), REFRESH_MS);
      }
    }
  }

  draw(a) {
    this.data = a;
    const days = a.days.length;
    setText(this.summary, `${a.totals.calls} calls, ${airtimeText(a.totals.airtime_ms)} of airtime in the last ${days} days` +
      `${a.zone ? ` (hours in the server's time, ${a.zone})` : ''}.`);
    this.node.dataset.calls = String(a.totals.calls);
    this.drawTimeline(a.timeline);
    this.drawHeat(a);
    this.drawLists(a);
  }

  // ---- the timeline --------------------------------------------------------------------

  drawTimeline(t) {
    // Drawn at the box's own width, so the hours and lanes stay readable on a phone.
    const W = Math.max(280, Math.round(this.timelineBox.clientWidth || 720)), lane = 22, top = 18, H = top + lane * 4 + 4, left = 34;
    const span = Math.max(1, t.to - t.from);
    const x = (ms) => left + ((ms - t.from) / span) * (W - left - 4);
    const picture = svg('svg', { viewBox: `0 0 ${W} ${H}`, class: 'activity-timeline-svg', role: 'group', 'aria-label': 'Calls by channel over time; each bar plays its call' });
    // Hour marks, in this browser's time.
    const first = Math.ceil(t.from / 3600000) * 3600000;
    const step = span > 12 * 3600000 ? 3 * 3600000 : 3600000;
    const every = Math.max(1, Math.ceil((span / step) / ((W - left) / 44)));  // a label at least 44 px from the next
    for (let m = first, k = 0; m <= t.to; m += step, k++) {
      const d = new Date(m);
      picture.append(svg('line', { x1: x(m), x2: x(m), y1: top - 4, y2: H, class: 'activity-grid' }));
      if (k % every === 0 && x(m) < W - 16) picture.append(svg('text', { x: x(m), y: 11, class: 'activity-axis', 'text-anchor': 'middle' }, `${pad(d.getHours())}:00`));
    }
    for (let ch = 1; ch <= 4; ch++) {
      picture.append(svg('text', { x: 2, y: top + lane * (ch - 1) + 15, class: 'activity-axis' }, `Ch ${ch}`));
    }
    for (const c of t.calls) {
      if (c.channel < 1 || c.channel > 4) continue;
      const s = Date.parse(c.start);
      if (!Number.isFinite(s)) continue;
      const x0 = Math.max(left, x(s)), x1 = Math.min(W - 4, x(s + c.duration_ms));
      const label = `Channel ${c.channel}, ${callTime(c.start)}, ${durationText(c.duration_ms)}, ${frequencyText(c.frequency_hz)}` +
        `${c.tags.length ? `, ${c.tags.join(', ')}` : ''}. Play`;
      const bar = svg('rect', {
        x: x0, y: top + lane * (c.channel - 1) + 2, width: Math.max(3, x1 - x0), height: lane - 6, rx: 1.5,
        class: ['activity-bar', `activity-ch${c.channel}`, this.playing === c.id ? 'is-playing' : ''].join(' '),
        tabindex: '0', role: 'button', 'aria-label': label, 'data-id': c.id,
      }, svg('title', {}, label));
      bar.addEventListener('click', () => this.play(c));
      bar.addEventListener('keydown', (e) => {
        if (e.key !== 'Enter' && e.key !== ' ') return;
        e.preventDefault();
        this.play(c);
      });
      picture.append(bar);
    }
    this.timelineBox.replaceChildren(picture);
    const hours = Math.round(span / 3600000);
    setText(this.timelineNote, t.calls.length
      ? `${t.calls.length} calls in the last ${hours} hours${t.cut ? ' (the newest shown; narrow the filters for the rest)' : ''}.`
      : `No calls in the last ${hours} hours.`);
  }

  play(c) {
    this.playing = c.id;
    this.audio.src = `/api/calls/${encodeURIComponent(c.id)}/audio`;
    this.timelineBox.querySelectorAll('.activity-bar').forEach((b) => b.classList.toggle('is-playing', b.dataset.id === c.id));
    this.nowPlaying.replaceChildren(`Playing channel ${c.channel}, ${callTime(c.start)}, ${frequencyText(c.frequency_hz)}` +
      `${c.tags.length ? `, ${c.tags.join(', ')}` : ''}. `, el('a', { href: `#call=${encodeURIComponent(c.id)}` }, 'Open in Calls'));
    this.audio.play().catch(() => setText(this.nowPlaying, 'Press the bar again to play (the browser waits for a click).'));
  }

  // ---- the heat map --------------------------------------------------------------------

  drawHeat(a) {
    const n = a.days.length;
    const avail = Math.min(900, Math.max(280, Math.round(this.heatBox.clientWidth || 900)));
    const gap = 1, left = 70, top = 16;
    const cellW = Math.max(6, Math.floor((avail - left) / 24) - gap), cell = n > 31 ? 6 : n > 7 ? 12 : 20;
    const W = left + 24 * (cellW + gap), H = top + n * (cell + gap);
    const max = Math.max(1, ...a.airtime.flat());
    const picture = svg('svg', { viewBox: `0 0 ${W} ${H}`, class: 'activity-heat-svg', role: 'img',
      'aria-label': `Airtime by hour of day (columns) and day (rows), last ${n} days; the table below has every figure` });
    for (let h = 0; h < 24; h += cellW < 14 ? 6 : 3) picture.append(svg('text', { x: left + h * (cellW + gap), y: 11, class: 'activity-axis' }, pad(h)));
    a.days.forEach((day, i) => {
      const y = top + i * (cell + gap);
      if (n <= 7 || (n <= 31 && i % 2 === (n - 1) % 2) || i % 7 === (n - 1) % 7) picture.append(svg('text', { x: 0, y: y + Math.min(cell, 10), class: 'activity-axis' }, day));
      for (let h = 0; h < 24; h++) {
        const v = a.airtime[i][h];
        const r = svg('rect', { x: left + h * (cellW + gap), y, width: cellW, height: cell, class: v ? 'activity-cell' : 'activity-cell is-empty',
          'fill-opacity': v ? (0.15 + 0.85 * Math.sqrt(v / max)).toFixed(3) : null, 'data-day': day, 'data-hour': String(h) });
        if (v) r.append(svg('title', {}, `${day} ${pad(h)}:00: ${a.calls[i][h]} calls, ${airtimeText(v)}`));
        picture.append(r);
      }
    });
    this.heatBox.replaceChildren(picture);
    // The same figures as a table, for reading aloud or copying.
    const head = el('tr', {}, el('th', { scope: 'col' }, 'Day'), Array.from({ length: 24 }, (_, h) => el('th', { scope: 'col' }, pad(h))));
    const rows = a.days.map((day, i) => el('tr', {}, el('th', { scope: 'row' }, day),
      a.airtime[i].map((v, h) => el('td', {}, v ? `${airtimeText(v)} (${a.calls[i][h]})` : ''))));
    this.heatTable.replaceChildren(el('summary', {}, 'The heat map as a table (airtime, calls in brackets)'),
      el('div', { class: 'activity-scroll' }, el('table', { class: 'grid activity-heat-table' }, el('thead', {}, head), el('tbody', {}, rows))));
  }

  // ---- the lists -----------------------------------------------------------------------

  drawLists(a) {
    const max = (list) => Math.max(1, ...list.map((e) => e.airtime_ms));
    const lastText = (iso) => (iso ? callTime(iso) : '–');
    const freqLink = (e) => el('a', { href: activityHash({ ...this.filters, frequency_hz: String(e.frequency_hz) }), class: 'mono' }, frequencyText(e.frequency_hz));
    const table = (caption, cls, heads, rows) => el('div', { class: 'activity-scroll' },
      el('table', { class: ['grid', 'activity-table', cls] }, el('caption', { class: 'visually-hidden' }, caption),
        el('thead', {}, el('tr', {}, heads.map((h) => el('th', { scope: 'col' }, h)))), el('tbody', {}, rows)));
    const meter = (e, top) => el('meter', { min: '0', max: String(top), value: String(e.airtime_ms), 'aria-hidden': 'true' });
    const fm = max(a.frequencies), tm = max(a.tags);
    const freqRows = a.frequencies.map((e) => el('tr', { dataset: { frequency: String(e.frequency_hz) } },
      el('td', {}, freqLink(e)), el('td', {}, e.tag), el('td', { class: 'num' }, String(e.calls)),
      el('td', { class: 'num' }, meter(e, fm), ' ', airtimeText(e.airtime_ms)), el('td', {}, lastText(e.last_heard))));
    const tagRows = a.tags.map((e) => el('tr', { dataset: { tag: e.tag } },
      el('td', {}, el('a', { href: activityHash({ ...this.filters, q: e.tag }) }, e.tag)), el('td', { class: 'num' }, String(e.calls)),
      el('td', { class: 'num' }, meter(e, tm), ' ', airtimeText(e.airtime_ms)), el('td', {}, lastText(e.last_heard))));
    const quietRows = a.quiet.map((e) => el('tr', { dataset: { frequency: String(e.frequency_hz) } },
      el('td', {}, freqLink(e)), el('td', {}, e.tag), el('td', { class: 'num' }, String(e.calls)), el('td', {}, lastText(e.last_heard))));
    const empty = (rows, text) => (rows.length ? null : el('p', { class: 'muted' }, text));
    const card = (title, id, ...body) => el('section', { class: 'card activity-card', 'aria-labelledby': id }, el('h3', { id, class: 'activity-title' }, title), ...body);
    this.lists.replaceChildren(
      card('Busiest frequencies', 'activity-freq-title', table('Busiest frequencies', 'activity-frequencies', ['Frequency', 'Tag', 'Calls', 'Airtime', 'Last heard'], freqRows),
        empty(freqRows, 'No calls in this period.')),
      card('Busiest tags', 'activity-tags-title', table('Busiest tags', 'activity-tags', ['Tag', 'Calls', 'Airtime', 'Last heard'], tagRows),
        empty(tagRows, 'No tagged calls in this period.')),
      card('Gone quiet', 'activity-quiet-title',
        el('p', { class: 'muted activity-note' }, `Frequencies with at least ${a.quietRule.calls} calls in this period and none in the last ${a.quietRule.hours} hours.`),
        table('Frequencies gone quiet', 'activity-quiet', ['Frequency', 'Tag', 'Calls', 'Last heard'], quietRows),
        empty(quietRows, 'None: every busy frequency was heard lately.')));
  }
}
