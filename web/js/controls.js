// One renderer per control kind: each builds its element once and updates only that element
// when the control's state changes. Operator input goes out as actions; the answer's control
// state, or the error, comes back to the same element.
import { el, setText, domId } from './dom.js';
import { DISPLAY_FIELDS, MULTILINE_FIELDS, LAMP_HINTS } from './layout.js';

export const GREEN = 65280;
export const RED = 255;

export function lampState(color) {
  if (color === null || color === undefined) return 'unset';
  if (color === GREEN) return 'green';
  if (color === RED) return 'red';
  return 'other';
}
const LAMP_WORDS = { unset: 'not set yet', green: 'green', red: 'red', other: 'other colour' };

// The control address of an action: name, and index for array elements.
export function target(s) {
  return s.index === null || s.index === undefined ? { control: s.name } : { control: s.name, index: s.index };
}

function errorSlot(id) {
  return el('span', { class: 'action-error', id: domId(id) + '-err', role: 'alert', hidden: true });
}

function mark(node, s) {
  node.id = domId(s.id);
  node.dataset.control = s.id;
  node.dataset.kind = s.kind;
  return node;
}

function renderText(ctx, s, o) {
  const readonly = o.readonly ?? DISPLAY_FIELDS.test(s.id);
  const multi = o.multiline ?? MULTILINE_FIELDS.test(s.id);
  const err = errorSlot(s.id);
  const input = multi
    ? el('textarea', { rows: o.rows ?? 4, readonly, spellcheck: 'false', wrap: 'off' })
    : el('input', { type: 'text', readonly, inputmode: o.inputmode, autocomplete: 'off', spellcheck: 'false' });
  mark(input, s);
  input.setAttribute('aria-describedby', err.id);
  if (o.ariaLabel) input.setAttribute('aria-label', o.ariaLabel);
  if (o.className) input.classList.add(o.className);
  let shown = null;      // the text last taken from the model
  let committed = null;  // the text last sent, until the model moves on
  const commit = () => {
    if (input.readOnly) return;
    const text = input.value;
    if (text === shown || text === committed) return;
    committed = text;
    ctx.act({ action: 'set_text', ...target(s), text }, err);
  };
  input.addEventListener('change', commit);
  input.addEventListener('keydown', (e) => {
    if (e.key === 'Enter' && !multi) commit();
    if (e.key === 'Escape' && !input.readOnly) input.value = shown ?? '';
  });
  ctx.model.watch(s.id, (st) => {
    input.disabled = !st.enabled;
    const typing = !input.readOnly && document.activeElement === input && input.value !== shown;
    if (st.text !== shown) committed = null;
    shown = st.text;
    if (!typing && input.value !== st.text) input.value = st.text;
  });
  return el('span', { class: 'ctl ctl-text' }, input, err);
}

function renderCombo(ctx, s) {
  const err = errorSlot(s.id);
  const select = mark(el('select', { 'aria-describedby': err.id }), s);
  let items = null;
  const show = (st) => {
    const key = JSON.stringify(st.items);
    if (key !== items) {
      items = key;
      select.replaceChildren(
        el('option', { value: '-1', disabled: true }, '(none)'),
        ...st.items.map((t, i) => el('option', { value: String(i) }, t)),
      );
    }
    select.value = String(st.selection >= 0 && st.selection < st.items.length ? st.selection : -1);
    select.disabled = !st.enabled;
  };
  select.addEventListener('change', async () => {
    const position = Number(select.value);
    const ok = await ctx.act({ action: 'select', ...target(s), position }, err);
    if (!ok) show(ctx.model.get(s.id));
  });
  ctx.model.watch(s.id, show);
  return el('span', { class: 'ctl ctl-combo' }, select, err);
}

function renderCheck(ctx, s) {
  const err = errorSlot(s.id);
  const box = mark(el('input', { type: 'checkbox', role: 'switch', 'aria-describedby': err.id }), s);
  const caption = el('span', { class: 'switch-caption' });
  const show = (st) => {
    box.checked = st.value === 1;
    box.indeterminate = st.value === 2;
    box.disabled = !st.enabled;
    setText(caption, st.caption);
  };
  box.addEventListener('change', async () => {
    const ok = await ctx.act({ action: 'set_value', ...target(s), value: box.checked ? 1 : 0 }, err);
    if (!ok) show(ctx.model.get(s.id));
  });
  ctx.model.watch(s.id, show);
  return el('span', { class: 'ctl ctl-check' }, el('label', { class: 'switch' }, box, el('span', { class: 'switch-track', 'aria-hidden': 'true' }), caption), err);
}

function renderOption(ctx, s, o) {
  const err = errorSlot(s.id);
  const radio = mark(el('input', { type: 'radio', name: o.group ?? s.name, 'aria-describedby': err.id }), s);
  const caption = el('span');
  const show = (st) => {
    radio.checked = st.value === true;
    radio.disabled = !st.enabled;
    setText(caption, st.caption);
  };
  radio.addEventListener('change', async () => {
    if (!radio.checked) return;
    const ok = await ctx.act({ action: 'set_value', ...target(s), value: 1 }, err);
    if (!ok) for (const id of o.siblings ?? [s.id]) ctx.model.renotify(id);
  });
  ctx.model.watch(s.id, show);
  return el('span', { class: 'ctl ctl-option' }, el('label', { class: 'option' }, radio, caption), err);
}

// A lamp: its colour as a class, its hover text, and its state in words for screen readers.
export function lampElement(ctx, id, label, primary) {
  const s = ctx.model.get(id);
  const lamp = el('span', { class: 'lamp lamp-unset', role: 'img' });
  if (primary && s) mark(lamp, s);
  else lamp.dataset.mirror = id;
  const hint = s?.tooltip || LAMP_HINTS[s?.name] || '';
  ctx.model.watch(id, (st) => {
    const state = lampState(st.color);
    lamp.className = `lamp lamp-${state}${st.enabled ? '' : ' lamp-disabled'}`;
    lamp.setAttribute('aria-label', `${label}: ${LAMP_WORDS[state]}`);
    lamp.title = st.tooltip || hint || `${label}: ${LAMP_WORDS[state]}`;
  });
  return lamp;
}

function renderLamp(ctx, s, o) {
  return lampElement(ctx, s.id, o.ariaLabel ?? s.id, true);
}

function renderLabel(ctx, s, o) {
  const span = mark(el('span', { class: o.className ?? 'value' }), s);
  ctx.model.watch(s.id, (st) => {
    setText(span, st.caption);
    span.classList.toggle('is-disabled', !st.enabled);
  });
  return span;
}

function renderButton(ctx, s, o) {
  const err = errorSlot(s.id);
  const button = mark(el('button', { type: 'button', class: o.className ?? 'btn', 'aria-describedby': err.id }), s);
  ctx.model.watch(s.id, (st) => {
    setText(button, st.caption || st.name);
    button.disabled = !st.enabled;
  });
  button.addEventListener('click', () => {
    if (o.onClick) o.onClick();
    else ctx.act({ action: 'click', ...target(s) }, err);
  });
  return el('span', { class: 'ctl ctl-button' }, button, err);
}

function renderList(ctx, s) {
  const list = mark(el('ul', { class: 'list', tabindex: '0' }), s);
  ctx.model.watch(s.id, (st) => {
    list.replaceChildren(...(st.items.length ? st.items.map((t) => el('li', {}, t)) : [el('li', { class: 'muted' }, '(empty)')]));
  });
  return list;
}

function renderFrame(ctx, s, o) {
  const legend = el('legend');
  const fs = mark(el('fieldset', { class: 'frame' }, legend), s);
  ctx.model.watch(s.id, (st) => {
    setText(legend, st.caption.trim() || o.title || st.name);
    fs.disabled = !st.enabled;
  });
  return fs;
}

// An audio component: not operated, named with its class as hover text.
function renderComponent(ctx, s) {
  const span = mark(el('span', { class: 'component mono' }), s);
  ctx.model.watch(s.id, (st) => {
    setText(span, st.name);
    span.title = `${st.name}: ${st.caption}`;
  });
  return span;
}

function renderUnknown(ctx, s) {
  const span = mark(el('span', { class: 'value' }), s);
  ctx.model.watch(s.id, (st) => setText(span, st.caption || st.text || ''));
  return span;
}

const RENDERERS = {
  text: renderText,
  combo: renderCombo,
  check: renderCheck,
  option: renderOption,
  lamp: renderLamp,
  label: renderLabel,
  button: renderButton,
  menu: renderButton,
  list: renderList,
  frame: renderFrame,
  component: renderComponent,
};

// Builds the element of control `id` from its kind; null when the server has no such control.
export function renderControl(ctx, id, opts = {}) {
  const s = ctx.model.get(id);
  if (!s) {
    ctx.missing.add(id);
    return null;
  }
  if (ctx.placed.has(id)) {
    console.warn(`control ${id} is placed twice`);
    return null;
  }
  ctx.placed.add(id);
  return (RENDERERS[s.kind] ?? renderUnknown)(ctx, s, opts);
}

// The element to tie a <label for> to: the input inside the control's wrapper.
export function labelTarget(node) {
  if (!node) return null;
  if (node.matches?.('input,select,textarea')) return node;
  return node.querySelector?.('input,select,textarea');
}
