// The operator console: draws the server's window from the live model and sends the
// operator's actions back. GET /api/window, then /api/events: a snapshot, then one change
// per message.
import { el, setText, domId, clear } from './dom.js';
import { Model } from './model.js';
import { renderControl, labelTarget, lampElement, lampState } from './controls.js';
import { CHANNELS, PAGES, SCANNER_DATA, COMPONENTS } from './layout.js';
import { displayBlock, displayLine } from './display.js';
import { tabStrip } from './tabs.js';
import { MessageBoxes, confirmBox, dialog } from './dialogs.js';
import { LevelMeters, listenControl } from './audio.js';
import { listenersSection } from './listeners_view.js';
import { CallsPage } from './calls.js';
import { ActivityPage } from './activity.js';
import { controlHead, commandLog } from './control.js';

const model = new Model();
const meters = new LevelMeters();
const liveListeners = listenersSection('Live listeners');
const calls = new CallsPage({ onSignIn: () => signIn() });
const activity = new ActivityPage({ onSignIn: () => signIn() });
// The control heads of the channel pages and the command log of the Status page; each polls
// the server only while its page is shown.
const heads = new Map();
const commands = commandLog();
function showControl(page) {
  for (const [n, h] of heads) h.active(page?.channel === n);
  commands.active(page?.id === 'status');
}
const ctx = { model, placed: new Set(), missing: new Set(), act };
const $ = (id) => document.getElementById(id);

const stats = { events: 0, snapshots: 0, reconnects: 0, lastSnapshot: null };
let stopping = false;   // the operator chose Exit: a closed stream means the server stopped
let built = false;
let live = false;

// ---- actions ---------------------------------------------------------------------------

async function post(path, body) {
  const r = await fetch(path, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
    credentials: 'same-origin',
    cache: 'no-store',
  });
  let answer = null;
  try {
    answer = await r.json();
  } catch {
    answer = null;
  }
  return { status: r.status, ok: r.ok, answer };
}

function showError(node, text) {
  if (!node) return;
  setText(node, text);
  node.hidden = false;
}

// One operator action. True when the server carried it out; otherwise the error is shown
// next to the control.
async function act(body, errNode) {
  try {
    const { status, ok, answer } = await post('/api/action', body);
    if (status === 401) signIn();
    if (!ok) {
      showError(errNode, answer?.error ?? `The server refused the action (HTTP ${status}).`);
      return false;
    }
    if (errNode) errNode.hidden = true;
    if (answer?.control) model.update(answer.control);
    return true;
  } catch (e) {
    showError(errNode, `The server did not answer: ${e.message}`);
    return false;
  }
}

async function acknowledge(id) {
  try {
    const { status, ok, answer } = await post('/api/action', { action: 'acknowledge', id });
    if (ok || status === 404) return true;  // 404: answered elsewhere meanwhile
    return answer?.error ?? `HTTP ${status}`;
  } catch (e) {
    return `The server did not answer: ${e.message}`;
  }
}

const boxes = new MessageBoxes(acknowledge);
const exitConfirm = confirmBox(
  'Exit Quillon?',
  'The server saves its settings and stops: radios, data clients and audio streams are disconnected. It does not start again by itself.',
  'Exit server',
  async () => {
    stopping = true;
    const err = $('menu-error');
    try {
      const { ok, status, answer } = await post('/api/action', { action: 'click', control: 'mnu_exit' });
      if (!ok) {
        stopping = false;
        showError(err, answer?.error ?? `The server refused to exit (HTTP ${status}).`);
      }
    } catch {
      // The server may close before it answers: the closing stream tells the rest.
    }
  },
);

// The about box is the window's own (frmabout): shown while the model says it is visible.
function aboutDialog() {
  if (!model.get('frmabout')) return;
  ctx.placed.add('frmabout');
  const product = renderControl(ctx, 'lblProduct', { className: 'about-product' });
  const version = renderControl(ctx, 'lblVersion', { className: 'mono' });
  const ok = renderControl(ctx, 'cmdOk', { className: 'btn btn-primary' });
  const d = dialog('About', [el('p', { class: 'about-product' }, product), el('p', { class: 'about-version' }, 'Version ', version),
    el('p', { class: 'muted' }, 'Puts BC785 and BC796 radio scanners on the network.')], [ok], 'about');
  d.id = domId('frmabout');
  d.dataset.control = 'frmabout';
  d.dataset.kind = 'frame';
  const okButton = ok?.querySelector('button');
  d.addEventListener('cancel', (e) => {
    e.preventDefault();
    okButton?.click();
  });
  model.watch('frmabout', (st) => {
    setText(d.querySelector('.dialog-title'), st.caption || 'About');
    const show = st.visible !== false;
    if (show && !d.open) {
      d.showModal();
      okButton?.focus();
    } else if (!show && d.open) {
      d.close();
    }
  });
}

// ---- layout ----------------------------------------------------------------------------

function captionOf(text) {
  if (!text.startsWith('@')) return document.createTextNode(text);
  const span = el('span');
  model.watch(text.slice(1), (st) => setText(span, st.caption));
  return span;
}

function labelled(labelText, node, extraClass) {
  const target = labelTarget(node);
  const label = el('label', { class: 'field-label' }, captionOf(labelText));
  if (target) label.htmlFor = target.id;
  return el('div', { class: ['field', extraClass] }, label, node);
}

function buildRow(row) {
  if (row.buttons) return el('div', { class: 'actions' }, row.buttons.map((id) => renderControl(ctx, id)));
  if (row.options) {
    const group = el('div', { role: 'radiogroup', class: 'options', 'aria-label': row.legend },
      row.options.map((id) => renderControl(ctx, id, { siblings: row.options })));
    return group;
  }
  const node = renderControl(ctx, row.control, { inputmode: row.inputmode });
  if (!node) return null;
  if (row.note) return el('p', { class: 'note' }, node);
  const label = model.get(row.control)?.label || row.label;
  return label ? labelled(label, node) : el('div', { class: 'field field-solo' }, node);
}

// A lamp in a layout slot: the first slot naming it holds the control's own element.
function placeLamp(id, label) {
  if (!model.get(id)) {
    ctx.missing.add(id);
    return null;
  }
  const primary = !ctx.placed.has(id);
  ctx.placed.add(id);
  return lampElement(ctx, id, label, primary);
}

function buildGrid(grid) {
  const heading = (c, i) => (grid.headings === undefined ? null : renderControl(ctx, `lblColumn(${grid.headings + i})`)) ?? c;
  const head = el('tr', {}, el('td', { class: 'grid-corner' }), grid.columns.map((c, i) => el('th', { scope: 'col' }, heading(c, i))));
  const body = grid.rows.map((row) => {
    const label = model.get(row.controls[0])?.label || row.label;
    return el('tr', { class: row.muted ? 'muted-row' : null },
      el('th', { scope: 'row' }, label),
      row.controls.map((id, i) => {
        const ariaLabel = `${label.replace(/:$/, '')}, channel ${grid.columns[i]}`;
        const node = model.get(id)?.kind === 'lamp' ? placeLamp(id, ariaLabel)
          : renderControl(ctx, id, { ariaLabel, className: 'cell-field' });
        return el('td', {}, node);
      }));
  });
  return el('div', { class: 'grid-wrap' }, el('table', { class: 'grid' }, el('thead', {}, head), el('tbody', {}, body)));
}

function frameOrPanel(sec) {
  if (sec.frame) {
    const fs = renderControl(ctx, sec.frame);
    if (fs) return fs;
    return el('fieldset', { class: 'frame' }, el('legend', {}, sec.frame));
  }
  return el('section', { class: 'frame panel-plain' }, el('h3', { class: 'legend' }, sec.title));
}

function buildSection(sec) {
  if (sec.kind === 'radio') return radioSection(CHANNELS[sec.channel - 1]);
  if (sec.kind === 'audioChains') return audioChains(sec);
  if (sec.kind === 'listeners') return liveListeners.node;
  if (sec.kind === 'commands') return commands.node;
  const box = frameOrPanel(sec);
  box.classList.add('card');
  for (const row of sec.rows ?? []) {
    const r = buildRow(row);
    if (r) box.append(r);
  }
  if (sec.grid) box.append(buildGrid(sec.grid));
  if (sec.note) box.append(el('p', { class: 'note muted' }, sec.note));
  return box;
}

// A channel's radio: the display as the radio shows it, the raw text beside it, the lamp,
// and the nine decoded readings under it.
function radioSection(ch) {
  const i = ch.n - 1;
  const state = el('span', { class: 'badge' });
  if (ch.enable) {
    model.watch(ch.enable, (st) => {
      setText(state, st.value === 1 ? 'On' : 'Off');
      state.className = `badge ${st.value === 1 ? 'badge-on' : 'badge-off'}`;
    });
  } else {
    setText(state, 'Always on');
    state.className = 'badge badge-on';
  }
  const lamp = placeLamp(ch.pageLamp, `Serial data, channel ${ch.n}`);
  const raw = renderControl(ctx, ch.lcd, { rows: 4, className: 'raw-lcd' });
  const readings = el('dl', { class: 'readings' }, ch.fields.map((f) => {
    const dt = el('dt', { dataset: { mirror: `Label3(${f})` } });
    const dd = el('dd', { class: 'mono', dataset: { mirror: `Label4(${f})` } });
    model.watch(`Label3(${f})`, (st) => setText(dt, st.caption));
    // The value after the field's tag ("SIGLVL$=129" shows 129); the readout below keeps it whole.
    model.watch(`Label4(${f})`, (st) => setText(dd, st.caption.replace(/^[A-Z]+\$=/, '').replace(/[\r\n]+/g, ' ').trim() || '–'));
    return el('div', { class: 'reading' }, dt, dd);
  }));
  const title = el('h2', { id: `radio${ch.n}-title` }, `Scanner ${ch.n}`);
  const head = heads.get(ch.n) ?? controlHead(ch.n, '/api/radio');
  heads.set(ch.n, head);
  return el('section', { class: 'card radio', 'aria-labelledby': title.id },
    el('div', { class: 'radio-head' }, title, state, el('span', { class: 'lamp-with-text' }, lamp, el('span', { class: 'muted' }, 'Serial data'))),
    el('div', { class: 'radio-body' },
      displayBlock(model, ch.lcd, `Display of scanner ${ch.n}`),
      raw ? labelled('LCD data:', raw, 'field-raw') : null),
    el('h3', { class: 'sub' }, 'Readings'),
    readings,
    head.node);
}

function audioChains(sec) {
  const rows = CHANNELS.map((ch) => el('tr', {},
    el('th', { scope: 'row' }, `CH ${ch.n}`),
    [['capture', 'Capture'], ['codec', 'Codec'], ['ipserver', 'Audio server'], ['audioLink', 'Client linked']].map(([key, word], k) =>
      el('td', {}, el('span', { class: 'component-cell' }, lampElement(ctx, ch[key], `${word}, channel ${ch.n}`, false),
        k < 3 ? renderControl(ctx, COMPONENTS[ch.n - 1][k]) : null))),
    el('td', { class: 'mono', dataset: { mirror: ch.audioClients } }, mirrorText(ch.audioClients))));
  return el('section', { class: 'card frame panel-plain' },
    el('h3', { class: 'legend' }, sec.title),
    el('div', { class: 'grid-wrap', tabindex: '0', role: 'region', 'aria-label': sec.title }, el('table', { class: 'grid' },
      el('thead', {}, el('tr', {}, el('td', { class: 'grid-corner' }), ['Capture', 'Codec', 'Server', 'Linked', 'Clients'].map((c) => el('th', { scope: 'col' }, c)))),
      el('tbody', {}, rows))),
    el('p', { class: 'note muted' }, 'Each channel captures its input device, encodes it and serves it on its audio port. Green: component active.'));
}

function mirrorText(id, fmt = (s) => s.text ?? s.caption) {
  const t = document.createTextNode('');
  model.watch(id, (st) => {
    const v = fmt(st);
    if (t.data !== v) t.data = v;
  });
  return t;
}

// The always-visible strip: every channel at a glance.
function channelStrip() {
  const cards = CHANNELS.map((ch) => {
    const i = ch.n - 1;
    const onoff = el('span', { class: 'badge' });
    if (ch.enable) {
      model.watch(ch.enable, (st) => {
        setText(onoff, st.value === 1 ? 'On' : 'Off');
        onoff.className = `badge ${st.value === 1 ? 'badge-on' : 'badge-off'}`;
      });
    } else {
      setText(onoff, 'On');
      onoff.className = 'badge badge-on';
    }
    const dataCount = el('span', { class: 'mono' });
    const slots = [1, 2, 3, 4].map((s) => `${ch.sockets}(${s})`);
    const countData = () => {
      const n = slots.filter((id) => (model.get(id)?.text ?? '').trim() === '7').length;
      setText(dataCount, String(n));
    };
    slots.forEach((id) => model.watch(id, countData));
    const audioLamp = el('span', { class: 'lamp lamp-unset', role: 'img' });
    const parts = [ch.capture, ch.codec, ch.ipserver];
    const showAudio = () => {
      const states = parts.map((id) => lampState(model.get(id)?.color));
      const s = states.includes('red') ? 'red' : states.every((x) => x === 'green') ? 'green' : 'unset';
      audioLamp.className = `lamp lamp-${s}`;
      const words = { red: 'a component is down', green: 'capture, codec and server active', unset: 'not set yet' };
      audioLamp.setAttribute('aria-label', `Audio chain, channel ${ch.n}: ${words[s]}`);
      audioLamp.title = `Audio chain: ${words[s]}`;
    };
    parts.forEach((id) => model.watch(id, showAudio));
    // The link opens the channel's page; the audio row beside it holds controls of its own.
    const link = el('a', { class: 'strip-link', href: `#scanner${ch.n}` },
      el('span', { class: 'strip-top' },
        el('span', { class: 'strip-num' }, `CH ${ch.n}`), onoff,
        el('span', { class: 'lamp-with-text' }, lampElement(ctx, ch.serialLamp, `Serial, channel ${ch.n}`, false), 'Serial'),
        el('span', { class: 'lamp-with-text' }, audioLamp, 'Audio')),
      displayLine(model, ch.lcd, 0),
      displayLine(model, ch.lcd, 1),
      el('span', { class: 'strip-counts' },
        el('span', {}, 'Data ', dataCount),
        el('span', {}, 'Audio ', el('span', { class: 'mono' }, mirrorText(ch.audioClients)))));
    const card = el('div', { class: 'strip-card', dataset: { channel: String(ch.n) } }, link,
      el('div', { class: 'strip-audio' }, meters.meter(ch.n), listenControl(ch.n)));
    if (ch.enable) model.watch(ch.enable, (st) => card.classList.toggle('is-off', st.value !== 1));
    return card;
  });
  return el('nav', { class: 'strip', 'aria-label': 'Channels at a glance' }, cards);
}

// SSTab3 with its pages; SSTab2 inside "Serial Comms" holds each channel's readout frame.
function scannerData() {
  const readoutPanels = CHANNELS.map((ch) => {
    const fs = renderControl(ctx, ch.readout, { title: `Readout of scanner ${ch.n}` }) ?? el('fieldset', { class: 'frame' });
    fs.classList.add('card');
    fs.append(el('dl', { class: 'readings' }, ch.fields.map((f) => {
      const dt = renderControl(ctx, `Label3(${f})`, { className: 'reading-caption' });
      const dd = renderControl(ctx, `Label4(${f})`, { className: 'mono' });
      return el('div', { class: 'reading' }, el('dt', {}, dt), el('dd', {}, dd));
    })));
    return el('div', { class: 'tabpanel-inner' }, fs);
  });
  const sstab2 = tabStrip(model, 'SSTab2', readoutPanels, { label: 'Readout of channel', className: 'tabs-small' });
  sstab2.select(0);
  ctx.placed.add('SSTab2');
  const talk = (page) => {
    const box = renderControl(ctx, page.frame) ?? el('fieldset', { class: 'frame' });
    box.classList.add('card');
    box.append(el('div', { class: 'talk' }, page.rows.map((pair, i) => el('div', { class: 'talk-row' },
      el('h4', {}, `Channel ${i + 1}`),
      pair.map((id, k) => {
        const node = renderControl(ctx, id, { rows: 3 });
        return node ? labelled(page.columns[k], node) : null;
      })))));
    const extra = (page.extra ?? []).map((row) => {
      const node = renderControl(ctx, row.control, { rows: 3 });
      return node ? labelled(row.label, node) : null;
    });
    return el('div', { class: 'tabpanel-inner' }, box, extra.length ? el('div', { class: 'card frame talk-extra' }, extra) : null);
  };
  const panels = [el('div', { class: 'tabpanel-inner' }, sstab2.list, readoutPanels), ...SCANNER_DATA.pages.slice(1).map(talk)];
  const sstab3 = tabStrip(model, SCANNER_DATA.tabs, panels, { label: 'Scanner data' });
  sstab3.select(0);
  ctx.placed.add(SCANNER_DATA.tabs);
  const title = el('h2', { id: 'scanner-data-title', class: 'section-title' }, 'Scanner data');
  return { node: el('section', { class: 'scanner-data', id: 'scanner-data', 'aria-labelledby': title.id }, title, sstab3.list, panels), sstab2 };
}

// Timers and anything the layout does not place: a view for diagnosis, off the main pages.
function diagnostics() {
  const timers = model.order.map((id) => model.get(id)).filter((s) => s.kind === 'timer');
  const rows = timers.map((s) => {
    ctx.placed.add(s.id);
    const cells = [el('td', { class: 'mono' }), el('td', { class: 'num' }), el('td'), el('td'), el('td', { class: 'num' })];
    const tr = el('tr', { id: domId(s.id), dataset: { control: s.id, kind: 'timer' } }, cells);
    model.watch(s.id, (st) => {
      setText(cells[0], st.id);
      setText(cells[1], String(st.interval));
      setText(cells[2], st.timer_enabled ? 'on' : 'off');
      setText(cells[3], st.running ? 'in a tick' : '');
      setText(cells[4], String(st.skipped));
      tr.classList.toggle('muted-row', !st.timer_enabled);
    });
    return tr;
  });
  const conn = el('dl', { class: 'kv' });
  const showConn = () => {
    clear(conn);
    conn.append(
      el('dt', {}, 'Events received'), el('dd', {}, String(stats.events)),
      el('dt', {}, 'Snapshots'), el('dd', {}, String(stats.snapshots)),
      el('dt', {}, 'Reconnections'), el('dd', {}, String(stats.reconnects)),
      el('dt', {}, 'Last snapshot'), el('dd', {}, stats.lastSnapshot ? stats.lastSnapshot.toLocaleTimeString() : '–'));
  };
  const others = el('div', { class: 'others' });
  const page = el('section', { id: 'page-diagnostics', class: 'page', hidden: true, 'aria-labelledby': 'diag-title' },
    el('h2', { id: 'diag-title', class: 'section-title' }, 'Diagnostics'),
    el('section', { class: 'card frame panel-plain' },
      el('h3', { class: 'legend' }, 'Timers'),
      el('div', { class: 'grid-wrap', tabindex: '0', role: 'region', 'aria-label': 'Timers' }, el('table', { class: 'grid timers' },
        el('thead', {}, el('tr', {}, ['Timer', 'Period (ms)', 'Enabled', 'Running', 'Skipped ticks'].map((h) => el('th', { scope: 'col' }, h)))),
        el('tbody', {}, rows)))),
    el('section', { class: 'card frame panel-plain' }, el('h3', { class: 'legend' }, 'Event stream'), conn),
    el('section', { class: 'card frame panel-plain' }, el('h3', { class: 'legend' }, 'Other controls'), others));
  return { page, showConn, others };
}

function placeOthers(others, ids) {
  for (const id of ids) {
    if (ctx.placed.has(id)) continue;
    const s = model.get(id);
    if (s.kind === 'timer' || s.kind === 'tabs') continue;
    const node = renderControl(ctx, id, { ariaLabel: id });
    if (node) others.append(labelled(`${id}${s.container ? ` (in ${s.container})` : ''}`, node));
  }
}

let diag = null;
let mainTabs = null;

function build() {
  built = true;
  const brand = renderControl(ctx, 'Label2', { className: 'brand' });
  if (brand) $('brand').replaceChildren(brand);
  model.onWindow(() => {
    setText($('caption'), model.caption);
    document.title = model.caption || 'Quillon';
  });
  setText($('caption'), model.caption);
  document.title = model.caption || 'Quillon';

  const menu = $('menubar');
  const fileMenu = el('div', { class: 'menu-popup', role: 'menu', hidden: true, id: 'file-menu' });
  const fileBtn = renderControl(ctx, 'mnufile', {
    className: 'menu-btn',
    onClick: () => toggleMenu(fileMenu.hidden),
  });
  const exitItem = renderControl(ctx, 'mnu_exit', {
    className: 'menu-item',
    onClick: () => {
      toggleMenu(false);
      exitConfirm.open();
    },
  });
  const aboutBtn = renderControl(ctx, 'mnu_about', { className: 'menu-btn' });
  aboutDialog();
  const fileButton = fileBtn?.querySelector('button');
  if (fileButton) {
    fileButton.setAttribute('aria-haspopup', 'menu');
    fileButton.setAttribute('aria-expanded', 'false');
    fileButton.setAttribute('aria-controls', fileMenu.id);
  }
  exitItem?.querySelector('button')?.setAttribute('role', 'menuitem');
  fileMenu.append(exitItem);
  function toggleMenu(open) {
    fileMenu.hidden = !open;
    fileButton?.setAttribute('aria-expanded', String(open));
    if (open) fileMenu.querySelector('button')?.focus();
  }
  fileMenu.addEventListener('keydown', (e) => {
    if (e.key === 'Escape') {
      toggleMenu(false);
      fileButton?.focus();
    }
  });
  document.addEventListener('click', (e) => {
    if (!fileMenu.hidden && !fileMenu.contains(e.target) && !fileBtn.contains(e.target)) toggleMenu(false);
  });
  menu.append(el('div', { class: 'menu' }, fileBtn, fileMenu), aboutBtn,
    el('a', { class: 'menu-btn menu-link', href: '#diagnostics', id: 'diag-link' }, 'Diagnostics'),
    el('span', { id: 'menu-error', class: 'action-error', role: 'alert', hidden: true }));

  // Signed in with a token: offer to sign out.
  fetch('/api/session', { cache: 'no-store', credentials: 'same-origin' })
    .then((r) => (r.ok ? r.json() : null))
    .then((session) => {
      if (!session?.token_required || !session.signed_in) return;
      menu.insertBefore(el('button', {
        type: 'button', class: 'menu-btn', id: 'sign-out',
        onclick: async () => {
          await fetch('/api/session', { method: 'DELETE', credentials: 'same-origin' }).catch(() => null);
          location.reload();
        },
      }, 'Sign out'), $('diag-link'));
    })
    .catch(() => {});

  $('strip').replaceChildren(channelStrip());

  // A radio spans the page; the frames share the width under it.
  const pages = PAGES.map((p) => el('div', { class: ['page', `page-${p.id}`], id: `page-${p.id}`, dataset: { page: p.id } },
    p.sections.filter((sec) => sec.kind === 'radio').map(buildSection),
    el('div', { class: 'page-grid' }, p.sections.filter((sec) => sec.kind !== 'radio').map(buildSection))));
  const data = scannerData();
  // The window's own pages, then the Calls page (the server's recordings, not a window page).
  const callsTab = PAGES.length;
  mainTabs = tabStrip(model, 'SSTab1', [...pages, calls.node, activity.node], {
    label: 'Pages',
    className: 'tabs-main',
    onSelect: (i, byUser) => {
      $('page-diagnostics').hidden = true;
      const onCalls = i === callsTab;
      const onActivity = i === callsTab + 1;
      $('scanner-data').hidden = onCalls || onActivity;
      activity.show(onActivity, isActivityHash(location.hash) ? location.hash.slice(1) : activity.hash().slice(1));
      if (onActivity) {
        calls.show(false);
        showControl(null);
        if (byUser && !isActivityHash(location.hash)) history.replaceState(null, '', activity.hash());
        document.querySelectorAll('.strip-card').forEach((c) => c.classList.remove('is-current'));
        return;
      }
      if (onCalls) {
        showControl(null);
        if (byUser && !isCallsHash(location.hash)) history.replaceState(null, '', calls.hash());
        calls.show(true, location.hash.slice(1));
        document.querySelectorAll('.strip-card').forEach((c) => c.classList.remove('is-current'));
        return;
      }
      calls.show(false);
      const page = PAGES[i];
      showControl(page);
      if (byUser && location.hash !== `#${page.id}`) history.replaceState(null, '', `#${page.id}`);
      if (page.channel) data.sstab2.select(page.channel - 1);
      document.querySelectorAll('.strip-card').forEach((c) => c.classList.toggle('is-current', c.dataset.channel === String(page.channel)));
    },
  });
  ctx.placed.add('SSTab1');
  setText(mainTabs.buttons[callsTab], 'Calls');
  mainTabs.buttons[callsTab].id = 'calls-tab';
  setText(mainTabs.buttons[callsTab + 1], 'Activity');
  mainTabs.buttons[callsTab + 1].id = 'activity-tab';
  diag = diagnostics();
  $('main').replaceChildren(mainTabs.list, ...pages, calls.node, activity.node, diag.page, data.node);
  placeOthers(diag.others, model.order);
  if (!diag.others.childElementCount) diag.others.append(el('p', { class: 'muted' }, 'Every control of the window has its place on the pages.'));
  if (ctx.missing.size) console.info('controls the server does not have:', [...ctx.missing].join(' '));
  route();
  performance.mark('console-built');
}

let connTimer = null;

// The server sends the timers' changes only to a page that shows them (the diagnostics view);
// asking for them brings every timer's state at once.
function watchTimers() {
  const on = location.hash === '#diagnostics';
  if (ws?.readyState === WebSocket.OPEN) ws.send(JSON.stringify({ watch: on ? ['timers'] : [] }));
}

function route() {
  if (!mainTabs) return;
  const hash = location.hash.slice(1);
  const onDiag = hash === 'diagnostics';
  watchTimers();
  $('diag-link').toggleAttribute('aria-current', onDiag);
  $('scanner-data').hidden = onDiag;
  clearInterval(connTimer);
  if (onDiag) {
    calls.show(false);
    activity.show(false);
    showControl(null);
    diag.showConn();
    connTimer = setInterval(diag.showConn, 1000);
    mainTabs.buttons.forEach((b) => b.setAttribute('aria-selected', 'false'));
    document.querySelectorAll('.page').forEach((p) => { p.hidden = p.id !== 'page-diagnostics'; });
    return;
  }
  if (isCallsHash(location.hash)) {
    mainTabs.select(PAGES.length, false);
    return;
  }
  if (isActivityHash(location.hash)) {
    mainTabs.select(PAGES.length + 1, false);
    return;
  }
  const i = PAGES.findIndex((p) => p.id === hash);
  mainTabs.select(i >= 0 ? i : mainTabs.current >= 0 ? mainTabs.current : 0, false);
}

function isCallsHash(hash) {
  return /^#(calls($|\?)|call=)/.test(hash);
}
function isActivityHash(hash) {
  return /^#activity($|\?)/.test(hash);
}
window.addEventListener('hashchange', route);

// ---- connection --------------------------------------------------------------------------

let ws = null;
let attempt = 0;
let retryTimer = null;
let countdown = null;

function setState(state, detail) {
  live = state === 'live';
  document.body.dataset.connection = state;
  $('main').inert = !live;
  $('strip').inert = !live;
  const banner = $('banner');
  const words = {
    connecting: 'Connecting to the server…',
    live: 'Live',
    lost: 'Connection to the server lost.',
    stopped: 'The server has stopped.',
    signin: 'Sign-in needed',
  };
  setText($('conn-state'), state === 'live' ? 'Live' : state === 'stopped' ? 'Stopped' : state === 'signin' ? 'Signed out' : 'Offline');
  banner.hidden = state === 'live' || state === 'signin' || (state === 'connecting' && !built);
  banner.className = `banner banner-${state}`;
  setText($('banner-text'), `${words[state]}${detail ? ' ' + detail : ''}`);
}

function scheduleRetry(state) {
  clearTimeout(retryTimer);
  clearInterval(countdown);
  const delay = Math.min(10000, 500 * 2 ** attempt) * (0.8 + Math.random() * 0.4);
  attempt += 1;
  const due = Date.now() + delay;
  const tick = () => {
    const s = Math.max(0, Math.ceil((due - Date.now()) / 1000));
    const hint = attempt > 3 ? ' The server is not answering: it may have been stopped.' : '';
    setState(state, state === 'stopped'
      ? `This page reconnects when it runs again (next try in ${s} s).`
      : `${hint} Reconnecting in ${s} s…`);
  };
  tick();
  countdown = setInterval(tick, 1000);
  retryTimer = setTimeout(connect, delay);
}

function applySnapshot(win) {
  const added = model.load(win);
  if (!built) build();
  else if (added.length) placeOthers(diag.others, added);
  boxes.reset(win.messages);
  stats.snapshots += 1;
  stats.lastSnapshot = new Date();
}

async function connect() {
  clearTimeout(retryTimer);
  clearInterval(countdown);
  if (ws) return;
  if (built) setState(stopping ? 'stopped' : 'connecting');
  let r;
  try {
    r = await fetch('/api/window', { credentials: 'same-origin', cache: 'no-store' });
  } catch {
    scheduleRetry(stopping ? 'stopped' : 'lost');
    return;
  }
  if (r.status === 401) {
    signIn();
    return;
  }
  if (!r.ok) {
    scheduleRetry('lost');
    return;
  }
  performance.mark('console-window-fetched');
  applySnapshot(await r.json());
  const url = `${location.protocol === 'https:' ? 'wss:' : 'ws:'}//${location.host}/api/events`;
  const socket = new WebSocket(url);
  ws = socket;
  socket.addEventListener('message', (ev) => {
    let m;
    try {
      m = JSON.parse(ev.data);
    } catch {
      return;
    }
    stats.events += 1;
    if (m.type === 'snapshot') {
      applySnapshot(m);
      if (attempt > 0 || stopping) {
        stats.reconnects += 1;
        calls.resync();
      }
      attempt = 0;
      stopping = false;
      setState('live');
      if (location.hash === '#diagnostics') watchTimers();
      if (!performance.getEntriesByName('console-live').length) performance.mark('console-live');
    } else if (m.type === 'change') {
      model.update(m.control);
    } else if (m.type === 'message_shown') {
      boxes.shown(m.message);
    } else if (m.type === 'message_acknowledged') {
      boxes.gone(m.message);
    } else if (m.type === 'levels') {
      meters.update(m.channels);
      calls.levels(m.channels);
    } else if (m.type === 'listeners') {
      liveListeners.update(m.listeners);
    } else if (m.type === 'call') {
      calls.stored(m.call ?? m);
    } else if (m.type === 'calls_missed') {
      calls.resync();
    } else if (m.type === 'stopped') {
      stopping = true;  // the stream closes next: the server is shutting down
    }
  });
  socket.addEventListener('close', (ev) => {
    if (ws !== socket) return;
    ws = null;
    meters.reset();
    // 1001: the server said it is going away.
    const stopped = stopping || ev.code === 1001;
    stopping = stopped;
    scheduleRetry(stopped ? 'stopped' : 'lost');
  });
}

// ---- sign-in -----------------------------------------------------------------------------

function signIn() {
  if (ws) {
    const s = ws;
    ws = null;
    s.close();
  }
  setState('signin');
  $('app').hidden = true;
  $('signin').hidden = false;
  $('token').focus();
}

$('signin-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  const err = $('signin-error');
  err.hidden = true;
  try {
    const { status, ok, answer } = await post('/api/session', { token: $('token').value });
    if (!ok) {
      showError(err, status === 401 || status === 403 ? 'That token was not accepted.' : answer?.error ?? `Sign-in failed (HTTP ${status}).`);
      return;
    }
  } catch (ex) {
    showError(err, `The server did not answer: ${ex.message}`);
    return;
  }
  $('token').value = '';
  $('signin').hidden = true;
  $('app').hidden = false;
  attempt = 0;
  connect();
});

$('retry').addEventListener('click', () => {
  attempt = 0;
  connect();
});

setState('connecting');
connect();
