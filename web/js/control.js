// The control head of a channel: the radio's front-panel keys, direct actions (tune,
// attenuator, delay, mute, memory channel), for the owner a command line, and who operates the
// channel now. Each press is one POST to BASE/N/command ({"key": "HOLD"} ...); the radio's reply
// shows beside the keypad. BASE is /api/radio on the console and /live/radio on the listeners'
// page (an operator code's session). The server decides who may; a page without the right gets
// no keypad. Also the command log for the console (GET /api/commands).
import { el, setText } from './dom.js';

const POLL_MS = 1000;

// The keypad as on the radio, by the names of the server's key table.
const PAD = [
  ['SCAN', 'HOLD', 'PRI', 'L/O'],
  ['LIMIT', 'SRCH', 'MENU', 'TRUNK'],
  ['1', '2', '3', 'UP'],
  ['4', '5', '6', 'PUSH'],
  ['7', '8', '9', 'DOWN'],
  ['.', '0', 'E'],
];
const CAPTIONS = { HOLD: 'HOLD/MAN', UP: 'Knob ▲', DOWN: 'Knob ▼', PUSH: 'Knob push' };

// Keys of the keyboard, when the focus is in the control head (outside its text fields).
export const SHORTCUTS = {
  s: 'SCAN', h: 'HOLD', p: 'PRI', o: 'L/O', i: 'LIMIT', r: 'SRCH', m: 'MENU', t: 'TRUNK',
  Enter: 'E', '.': '.', ArrowUp: 'UP', ArrowDown: 'DOWN', k: 'PUSH',
  ...Object.fromEntries([...'0123456789'].map((d) => [d, d])),
};

function clock(ms) {
  const d = new Date(Number(ms));
  return Number.isNaN(d.getTime()) ? '' : d.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', hour12: false });
}

export function controlHead(channel, base) {
  const url = `${base}/${channel}`;
  const holder = el('p', { class: 'control-holder', role: 'status' });
  const reply = el('output', { class: 'control-reply mono', 'aria-live': 'polite' });
  const take = el('button', { class: 'btn btn-small', type: 'button', hidden: true }, 'Take over');
  const release = el('button', { class: 'btn btn-small', type: 'button', hidden: true }, 'Release');
  const pad = el('div', { class: 'keypad', role: 'group', 'aria-label': `Keypad, channel ${channel}` });
  const freq = el('input', { class: 'input', type: 'text', inputmode: 'decimal', size: 9, placeholder: '156.8000', 'aria-label': 'Frequency in MHz' });
  const mode = el('select', { class: 'input', 'aria-label': 'Modulation' },
    ['', 'AM', 'FM', 'NFM', 'WFM'].map((m) => el('option', { value: m }, m || 'Mode')));
  const memory = el('input', { class: 'input', type: 'text', inputmode: 'numeric', size: 4, placeholder: '102', 'aria-label': 'Memory channel' });
  const line = el('input', { class: 'input mono', type: 'text', maxlength: 64, size: 18, placeholder: 'RF01568000', 'aria-label': 'Command to the radio' });
  const lineForm = el('form', { class: 'control-line', hidden: true }, line, el('button', { class: 'btn', type: 'submit' }, 'Send'));
  const node = el('section', { class: 'card control-head', hidden: true, 'aria-label': `Control head, channel ${channel}`, dataset: { channel: String(channel) } },
    el('div', { class: 'radio-head' }, el('h3', { class: 'sub' }, 'Control'), holder, take, release),
    el('div', { class: 'control-body' },
      pad,
      el('div', { class: 'control-actions' },
        el('form', { class: 'control-row', 'data-action': 'tune' }, freq, mode, el('button', { class: 'btn', type: 'submit' }, 'Tune')),
        el('div', { class: 'control-row' }, 'Attenuator',
          el('button', { class: 'btn btn-small', type: 'button', onclick: () => send({ attenuator: true }) }, 'On'),
          el('button', { class: 'btn btn-small', type: 'button', onclick: () => send({ attenuator: false }) }, 'Off')),
        el('div', { class: 'control-row' }, 'Delay',
          el('button', { class: 'btn btn-small', type: 'button', onclick: () => send({ delay: true }) }, 'On'),
          el('button', { class: 'btn btn-small', type: 'button', onclick: () => send({ delay: false }) }, 'Off')),
        el('div', { class: 'control-row' }, 'Mute',
          ['on', 'off', 'auto'].map((m) => el('button', { class: 'btn btn-small', type: 'button', onclick: () => send({ mute: m }) }, m))),
        el('form', { class: 'control-row', 'data-action': 'memory' }, memory, el('button', { class: 'btn', type: 'submit' }, 'Go to channel')),
        lineForm,
        reply)),
    el('details', { class: 'note' }, el('summary', {}, 'Keyboard'),
      el('p', {}, 'With the focus on the keypad: digits and "." type, Enter is E, s SCAN, h HOLD/MAN, p PRI, o L/O, i LIMIT, r SRCH, m MENU, t TRUNK, arrow up and down turn the knob, k pushes it.')));

  let state = null;
  let timer = null;
  let shown = false;

  function show(st) {
    state = st;
    node.hidden = !st.may;
    node.dataset.may = String(Boolean(st.may));
    if (!st.may) {
      shown = false;  // a listener gains no rights without signing in again
      return;
    }
    if (!pad.childElementCount) {
      const have = new Set(st.keys);
      for (const row of PAD)
        pad.append(el('div', { class: 'keypad-row' }, row.filter((k) => have.has(k)).map((k) =>
          el('button', { class: 'btn key', type: 'button', dataset: { key: k }, onclick: () => send({ key: k }) }, CAPTIONS[k] ?? k))));
    }
    lineForm.hidden = !st.owner;
    const h = st.holder;
    if (!h) setText(holder, 'Free: a key takes control');
    else if (st.yours) setText(holder, `You operate this channel since ${clock(h.since)}`);
    else setText(holder, `operated by ${h.label} since ${clock(h.since)}`);
    holder.classList.toggle('control-busy', Boolean(h && !st.yours));
    take.hidden = !(st.owner && h && !st.yours);
    release.hidden = !(h && st.yours);
  }

  async function poll() {
    clearTimeout(timer);
    if (!shown) return;
    if (document.visibilityState === 'visible') {
      const r = await fetch(`${url}/control`, { credentials: 'same-origin', cache: 'no-store' }).catch(() => null);
      if (r?.ok) show(await r.json().catch(() => ({ may: false })));
      else if (r && r.status !== 504) node.hidden = true;
    }
    timer = setTimeout(poll, POLL_MS);
  }

  async function post(body, keepalive = false) {
    const r = await fetch(`${url}/command`, {
      method: 'POST', credentials: 'same-origin', cache: 'no-store', keepalive,
      headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
    }).catch(() => null);
    if (!r) return { status: 0, error: 'network error' };
    return { status: r.status, ...(await r.json().catch(() => ({}))) };
  }

  async function send(body) {
    setText(reply, '…');
    const r = await post(body);
    if (r.status === 200 && 'sent' in r) {
      const said = String(r.reply ?? '');
      setText(reply, `${r.sent} → ${said === '' ? 'no reply' : said}`);
      reply.classList.toggle('control-bad', said === '' || said === 'ERR' || said === 'NG');
    } else if (r.status === 200) {
      setText(reply, '');
      reply.classList.remove('control-bad');
    } else {
      setText(reply, String(r.error ?? `refused (${r.status})`));
      reply.classList.add('control-bad');
    }
    poll();
    return r;
  }

  take.addEventListener('click', () => send({ take: true }));
  release.addEventListener('click', () => send({ release: true }));
  node.querySelector('[data-action="tune"]').addEventListener('submit', async (e) => {
    e.preventDefault();
    if (mode.value) {
      const r = await send({ mode: mode.value });
      if (r.status !== 200) return;
    }
    send({ tune: freq.value.trim() });
  });
  node.querySelector('[data-action="memory"]').addEventListener('submit', (e) => {
    e.preventDefault();
    send({ memory: Number.parseInt(memory.value, 10) });
  });
  lineForm.addEventListener('submit', (e) => {
    e.preventDefault();
    send({ text: line.value });
  });
  node.addEventListener('keydown', (e) => {
    if (e.target instanceof HTMLInputElement || e.target instanceof HTMLSelectElement || e.ctrlKey || e.metaKey || e.altKey) return;
    const key = SHORTCUTS[e.key];
    if (!key || !state?.keys?.includes(key)) return;
    e.preventDefault();
    send({ key });
  });
  // Leaving the page gives the channel up at once rather than after the idle time.
  window.addEventListener('pagehide', () => {
    if (state?.yours) post({ release: true }, true);
  });

  return {
    node,
    // Polls who operates the channel while the head is on screen.
    active(on) {
      shown = on;
      if (on) poll();
      else clearTimeout(timer);
    },
  };
}

// The console's command log: newest first, filtered by channel and who.
export function commandLog() {
  const channel = el('select', { class: 'input', 'aria-label': 'Channel' },
    el('option', { value: '' }, 'All channels'), [1, 2, 3, 4].map((n) => el('option', { value: String(n) }, `Channel ${n}`)));
  const who = el('input', { class: 'input', type: 'search', size: 12, placeholder: 'who', 'aria-label': 'Who' });
  const state = el('span', { class: 'muted', role: 'status' });
  const body = el('tbody');
  const node = el('section', { class: 'card command-log', 'aria-labelledby': 'command-log-title' },
    el('h3', { class: 'sub', id: 'command-log-title' }, 'Command log'),
    el('div', { class: 'control-row' }, channel, who, state),
    el('div', { class: 'grid-wrap' }, el('table', { class: 'grid' },
      el('thead', {}, el('tr', {}, ['Time', 'Channel', 'Who', 'Via', 'Command', 'Reply'].map((h) => el('th', { scope: 'col' }, h)))),
      body)));
  let timer = null;
  let shown = false;
  let asked = 0;  // only the newest question's answer is shown

  async function load() {
    clearTimeout(timer);
    if (!shown) return;
    const mine = ++asked;
    const q = new URLSearchParams({ limit: '50' });
    if (channel.value) q.set('channel', channel.value);
    if (who.value.trim()) q.set('who', who.value.trim());
    const r = await fetch(`/api/commands?${q}`, { credentials: 'same-origin', cache: 'no-store' }).catch(() => null);
    if (mine !== asked) return;
    if (r?.ok) {
      const j = await r.json().catch(() => ({}));
      const rows = Array.isArray(j.commands) ? j.commands : [];
      setText(state, rows.length ? '' : 'No commands yet.');
      body.replaceChildren(...rows.map((c) => el('tr', { class: c.refused ? 'command-refused' : null },
        el('td', {}, new Date(String(c.at)).toLocaleTimeString()),
        el('td', {}, String(c.channel)),
        el('td', {}, String(c.who ?? '')),
        el('td', {}, String(c.via ?? '')),
        el('td', { class: 'mono' }, String(c.text ?? '')),
        el('td', { class: 'mono' }, c.refused ? `refused: ${c.refused}` : c.reply === null ? '–' : String(c.reply) || 'no reply'))));
    } else {
      setText(state, r ? `The log cannot be read (${r.status}).` : 'The log cannot be read.');
    }
    timer = setTimeout(load, 2000);
  }
  channel.addEventListener('change', load);
  who.addEventListener('input', load);
  return {
    node,
    active(on) {
      shown = on;
      if (on) load();
      else clearTimeout(timer);
    },
  };
}
