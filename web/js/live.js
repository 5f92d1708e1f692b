// The listeners' page: the radios' displays, their levels and Listen, for the channels this
// browser may hear, and nothing that drives the server. The status socket (/live/status) brings
// the displays and levels; the access code, when the site asks for one, goes to /live/session,
// which answers with an HttpOnly cookie. Where calls are recorded, /live/calls lists the recent
// ones of those channels, each playable.
import { el, setText } from './dom.js';
import { displayBlock } from './display.js';
import { levelMeter, listenControl } from './audio.js';
import { controlHead } from './control.js';
import { cleanAlert, alertText } from './alerts.js';

const $ = (id) => document.getElementById(id);
const channelsNode = $('channels');
const pageState = $('page-state');

async function session(method, body) {
  const r = await fetch('/live/session', {
    method, credentials: 'same-origin', cache: 'no-store',
    headers: body ? { 'Content-Type': 'application/json' } : undefined,
    body: body ? JSON.stringify(body) : undefined,
  });
  const j = await r.json().catch(() => ({}));
  return { status: r.status, ...j };
}

let socket = null;
let retry = 1000;
let ended = false;  // the code expired: no more reconnecting
const NO_CODE_YET = 'enter an access code first';

// The site's name in the tab's title and the heading.
function showSite(name) {
  const site = String(name || 'Quillon');
  setText($('site'), site);
  document.title = `${site}: listen`;
}

function build(channels) {
  const watchers = new Map();
  const model = { watch: (id, fn) => watchers.set(id, fn) };
  const meters = new Map();
  channelsNode.replaceChildren(...channels.map((n) => {
    const meter = levelMeter(n);
    meters.set(n, meter);
    // An operator's code gets the channel's control head; the server tells whether it may.
    const head = controlHead(n, '/live/radio');
    head.active(true);
    return el('article', { class: 'strip-card', dataset: { channel: String(n) }, 'aria-label': `Channel ${n}` },
      el('div', { class: 'strip-top' }, el('strong', {}, `Channel ${n}`)),
      displayBlock(model, `display-${n}`, `Display, channel ${n}`),
      el('div', { class: 'strip-audio' }, meter.node, listenControl(n)),
      head.node);
  }));
  return { watchers, meters };
}

function connect(view) {
  socket = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/live/status`);
  socket.onmessage = (e) => {
    let m;
    try { m = JSON.parse(e.data); } catch { return; }
    if (m.type === 'display') view.watchers.get(`display-${m.channel}`)?.({ text: String(m.text ?? '') });
    else if (m.type === 'levels' && Array.isArray(m.channels)) for (const c of m.channels) view.meters.get(c?.channel)?.show(c);
    else if (m.type === 'refused') setText(pageState, String(m.message ?? 'refused'));
    else if (m.type === 'ended') {
      ended = true;
      setText(pageState, String(m.message ?? 'ended'));
    }
    else if (m.type === 'hello') { retry = 1000; setText(pageState, ''); }
  };
  socket.onclose = () => {
    for (const meter of view.meters.values()) meter.show(null);
    if (ended) {
      $('code-form').hidden = false;
      return;
    }
    setText(pageState, 'Connection lost; trying again…');
    setTimeout(() => connect(view), retry);
    retry = Math.min(retry * 2, 30000);
  };
}

const CALLS_EVERY_MS = 15000;

function callItem(c) {
  const id = Number(c.id);
  const start = new Date(String(c.start));
  const when = Number.isNaN(start.getTime()) ? '' : start.toLocaleTimeString();
  const seconds = `${(Number(c.duration_ms) / 1000).toFixed(1)} s`;
  const tags = Array.isArray(c.tags) ? c.tags.map(String).filter(Boolean).join(' · ') : '';
  const play = el('button', { class: 'btn', type: 'button', 'aria-label': `Play the call of ${when} on channel ${Number(c.channel)}` }, 'Play');
  play.addEventListener('click', () => {
    const player = $('call-player');
    player.src = `/live/calls/audio?id=${id}`;
    player.play().catch(() => {});
  });
  return el('li', { class: 'listener-call', dataset: { id: String(id), channel: String(Number(c.channel)) } },
    play, [when, `Channel ${Number(c.channel)}`, seconds, tags].filter(Boolean).join(' · '));
}

// Polls the recent calls while the page is shown; stops if they are gone.
async function followCalls() {
  if (document.visibilityState === 'visible') {
    const r = await fetch('/live/calls', { credentials: 'same-origin', cache: 'no-store' }).catch(() => null);
    if (r?.status === 404) return;
    if (r?.ok) {
      const j = await r.json().catch(() => ({}));
      const calls = Array.isArray(j.calls) ? j.calls : [];
      $('call-list').replaceChildren(...calls.map(callItem));
      $('calls').hidden = false;
    }
  }
  setTimeout(followCalls, CALLS_EVERY_MS);
}

// Polls the alerts of the channels this listener may hear (the list shows once there are some).
async function followAlerts() {
  if (document.visibilityState === 'visible') {
    const r = await fetch('/live/alerts', { credentials: 'same-origin', cache: 'no-store' }).catch(() => null);
    if (r?.ok) {
      const j = await r.json().catch(() => ({}));
      const alerts = (Array.isArray(j.alerts) ? j.alerts : []).map(cleanAlert).filter(Boolean);
      $('alert-list').replaceChildren(...alerts.map((a) => el('li', { class: 'listener-call', dataset: { id: a.id, kind: a.kind } }, alertText(a))));
      $('alerts').hidden = alerts.length === 0;
    }
  }
  setTimeout(followAlerts, CALLS_EVERY_MS);
}

async function start() {
  const s = await session('GET');
  showSite(s.site);
  const form = $('code-form');
  // A code typed later signs in again (also after the code in use expired).
  form.addEventListener('submit', async (e) => {
    e.preventDefault();
    const r = await session('POST', { code: $('code').value });
    if (r.status !== 200) {
      setText($('code-state'), r.error ?? `refused (${r.status})`);
      return;
    }
    location.reload();
  });
  if (!s.signed_in) {
    form.hidden = false;
    // Nothing was typed yet: the form says what to do; a code that ran out says so.
    if (s.message && s.message !== NO_CODE_YET) setText(pageState, s.message);
    $('code').focus();
    return;
  }
  setText($('who'), s.codes ? `Access: ${s.label}` : '');
  connect(build(s.channels));
  if (s.calls) followCalls();
  followAlerts();
}

start().catch((e) => setText(pageState, e.message));
