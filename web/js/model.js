// The live window model: control states by id, and who wants to hear about each one.
export class Model {
  constructor() {
    this.caption = '';
    this.controls = new Map();
    this.order = [];
    this.listeners = new Map();
    this.windowListeners = new Set();
  }

  get(id) {
    return this.controls.get(id);
  }

  // Calls fn(state) now (when known) and on every change of the control.
  watch(id, fn) {
    if (!this.listeners.has(id)) this.listeners.set(id, new Set());
    this.listeners.get(id).add(fn);
    const s = this.controls.get(id);
    if (s) fn(s);
  }

  onWindow(fn) {
    this.windowListeners.add(fn);
  }

  // A whole snapshot: returns the ids it introduced.
  load(win) {
    const added = [];
    if (typeof win.caption === 'string' && win.caption !== this.caption) {
      this.caption = win.caption;
      for (const fn of this.windowListeners) fn(this);
    }
    for (const c of win.controls ?? []) {
      if (!this.controls.has(c.id)) {
        added.push(c.id);
        this.order.push(c.id);
      }
      this.update(c);
    }
    return added;
  }

  // Shows the known state again, for an element the operator changed but the server refused.
  renotify(id) {
    const s = this.controls.get(id);
    if (s) for (const fn of this.listeners.get(id) ?? []) fn(s);
  }

  update(c) {
    const old = this.controls.get(c.id);
    this.controls.set(c.id, c);
    if (old && sameState(old, c)) return;
    for (const fn of this.listeners.get(c.id) ?? []) fn(c);
  }
}

function sameState(a, b) {
  return JSON.stringify(a) === JSON.stringify(b);
}
