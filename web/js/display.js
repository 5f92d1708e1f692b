// The radio's display as the radio shows it: four lines of sixteen characters.
import { el, setText } from './dom.js';

export const LINES = 4;
export const WIDTH = 16;

const fit = (t) => t.replace(/[\x00-\x1f\x7f]/g, ' ').padEnd(WIDTH, ' ').slice(0, WIDTH);

// A display frame is "LCDn [" + 16 characters + "][" + 16 attribute characters + "]" per line;
// the silence message has the markers without brackets. Anything else shows as it comes,
// cut into lines.
export function parseDisplay(text) {
  const raw = text ?? '';
  const markers = [];
  for (const m of raw.matchAll(/LCD([1-4])/g)) markers.push({ n: Number(m[1]), at: m.index });
  const lines = Array.from({ length: LINES }, () => ({ text: fit(''), attr: '' }));
  if (!markers.length) {
    const flat = raw.replace(/[\r\n]+/g, ' ');
    for (let i = 0; i < LINES; ++i) lines[i].text = fit(flat.slice(i * WIDTH, (i + 1) * WIDTH));
    return lines;
  }
  const seen = new Set();
  markers.forEach((m, k) => {
    if (seen.has(m.n)) return;
    seen.add(m.n);
    const seg = raw.slice(m.at + 4, k + 1 < markers.length ? markers[k + 1].at : raw.length);
    const line = lines[m.n - 1];
    if (seg.startsWith(' [')) {
      const body = seg.slice(2);
      line.text = fit(body.slice(0, WIDTH));
      const rest = body.slice(WIDTH);
      line.attr = rest.startsWith('][') ? rest.slice(2, 2 + WIDTH) : '';
    } else {
      line.text = fit(seg.replace(/[\r\n]+/g, '').replace(/^ {1,2}/, ''));
    }
  });
  return lines;
}

// Runs of plain and highlighted characters of one line: an attribute other than a blank
// marks its character (the radio shows it inverted).
function runs(line) {
  const out = [];
  for (let i = 0; i < WIDTH; ++i) {
    const hi = !!line.attr[i] && line.attr[i] !== ' ';
    const last = out[out.length - 1];
    if (last && last.hi === hi) last.text += line.text[i];
    else out.push({ hi, text: line.text[i] });
  }
  return out;
}

export function displayBlock(model, lcdId, label) {
  const rows = Array.from({ length: LINES }, () => el('span', { class: 'lcd-line' }));
  const block = el('div', { class: 'lcd', role: 'img', 'aria-label': label, dataset: { mirror: lcdId } }, rows);
  let last = null;
  model.watch(lcdId, (st) => {
    if (st.text === last) return;
    last = st.text;
    const lines = parseDisplay(st.text);
    lines.forEach((line, i) => {
      const parts = runs(line);
      if (parts.length === 1 && !parts[0].hi) setText(rows[i], parts[0].text);
      else rows[i].replaceChildren(...parts.map((p) => (p.hi ? el('span', { class: 'lcd-hi' }, p.text) : p.text)));
    });
    block.setAttribute('aria-label', `${label}: ${lines.map((l) => l.text.trim()).filter(Boolean).join(' / ') || 'blank'}`);
  });
  return block;
}

// One line of the display, for the channel strip.
export function displayLine(model, lcdId, n) {
  const span = el('span', { class: 'strip-lcd', dataset: { mirror: lcdId } });
  model.watch(lcdId, (st) => setText(span, parseDisplay(st.text)[n].text));
  return span;
}
