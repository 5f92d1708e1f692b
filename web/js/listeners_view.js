// Who listens through the live path (the console's Audio page): code label, address, channel and
// since when, from the event stream's "listeners" events.
import { el, setText } from './dom.js';

export function listenersSection(title) {
  const body = el('tbody');
  const empty = el('p', { class: 'note muted' }, 'Nobody listens through the live path.');
  const table = el('table', { class: 'grid listeners-table', hidden: true },
    el('thead', {}, el('tr', {}, ['Who', 'Address', 'Channel', 'Since'].map((h) => el('th', { scope: 'col' }, h)))), body);
  const heading = el('h3', { class: 'legend' }, title);
  const box = el('section', { class: 'card frame panel-plain', id: 'live-listeners' }, heading, empty, table);
  return {
    node: box,
    update(list) {
      if (!Array.isArray(list)) return;
      table.hidden = list.length === 0;
      empty.hidden = list.length !== 0;
      body.replaceChildren(...list.map((l) => el('tr', {},
        el('td', {}, String(l.label ?? '')),
        el('td', { class: 'mono' }, String(l.address ?? '')),
        el('td', {}, String(l.channel ?? '')),
        el('td', {}, new Date(Number(l.since)).toLocaleTimeString()))));
      setText(heading, `${title} (${list.length})`);
    },
    reset() { this.update([]); },
  };
}
