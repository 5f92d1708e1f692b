// The one way this page builds elements: text goes in as text nodes, never as markup.
export function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs ?? {})) {
    if (v === undefined || v === null || v === false) continue;
    if (k.startsWith('on')) {
      if (typeof v !== 'function') throw new TypeError(`handler ${k} must be a function`);
      e.addEventListener(k.slice(2), v);
    } else if (k === 'class') {
      e.className = Array.isArray(v) ? v.filter(Boolean).join(' ') : v;
    } else if (k === 'dataset') {
      Object.assign(e.dataset, v);
    } else if (k === 'style') {
      throw new TypeError('inline styles are not allowed; use a class');
    } else {
      e.setAttribute(k, v === true ? '' : String(v));
    }
  }
  append(e, children);
  return e;
}

export function append(parent, children) {
  for (const c of [children].flat(Infinity)) {
    if (c === null || c === undefined || c === false) continue;
    parent.append(c instanceof Node ? c : document.createTextNode(String(c)));
  }
  return parent;
}

export function setText(node, text) {
  const t = text ?? '';
  if (node.textContent !== t) node.textContent = t;
}

export function clear(node) {
  while (node.firstChild) node.firstChild.remove();
}

// A DOM id from a control id: "Label4(17)" -> "c-Label4-17".
export function domId(controlId) {
  return 'c-' + controlId.replace(/[^A-Za-z0-9_]+/g, '-').replace(/-$/, '');
}
