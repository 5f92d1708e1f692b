// Tab strips drawn from a tabs control of the model. Switching pages is each viewer's own
// business: it changes what this browser shows, not the server's window.
import { el, setText, domId } from './dom.js';

export function tabStrip(model, controlId, panels, { label, onSelect, className } = {}) {
  const state = model.get(controlId);
  const list = el('div', { role: 'tablist', class: ['tabs', className], 'aria-label': label ?? controlId });
  if (state) {
    list.id = domId(controlId);
    list.dataset.control = controlId;
    list.dataset.kind = state.kind;
  }
  const buttons = panels.map((panel, i) => {
    const tabId = `${domId(controlId)}-tab${i}`;
    panel.setAttribute('role', 'tabpanel');
    panel.setAttribute('aria-labelledby', tabId);
    panel.id ||= `${domId(controlId)}-panel${i}`;
    return el('button', {
      type: 'button', role: 'tab', id: tabId, class: 'tab', 'aria-controls': panel.id,
      onclick: () => select(i, true),
      onkeydown: (e) => {
        const step = { ArrowRight: 1, ArrowLeft: -1 }[e.key];
        let to = null;
        if (step) to = (i + step + panels.length) % panels.length;
        if (e.key === 'Home') to = 0;
        if (e.key === 'End') to = panels.length - 1;
        if (to === null) return;
        e.preventDefault();
        select(to, true);
        buttons[to].focus();
      },
    });
  });
  list.append(...buttons);
  model.watch(controlId, (st) => st.tabs?.forEach((t, i) => buttons[i] && setText(buttons[i], t)));
  let current = -1;
  function select(i, byUser) {
    current = i;
    buttons.forEach((b, k) => {
      b.setAttribute('aria-selected', String(k === i));
      b.tabIndex = k === i ? 0 : -1;
      panels[k].hidden = k !== i;
    });
    if (onSelect) onSelect(i, byUser);
  }
  return { list, select, get current() { return current; }, buttons };
}
