// Modal dialogs: the server's message boxes in the order they were shown, the about box and
// the exit confirmation.
import { el, setText } from './dom.js';

export function dialog(titleText, body, actions, cls) {
  const title = el('h2', { class: 'dialog-title' }, titleText);
  const d = el('dialog', { class: ['dialog', cls] }, title, body, el('div', { class: 'dialog-actions' }, actions));
  title.id = `${cls}-title`;
  d.setAttribute('aria-labelledby', title.id);
  document.body.append(d);
  return d;
}

export class MessageBoxes {
  constructor(acknowledge) {
    this.acknowledge = acknowledge;
    this.pending = new Map();
    this.current = null;
    this.text = el('p', { class: 'message-text' });
    this.count = el('p', { class: 'message-count muted' });
    this.error = el('p', { class: 'action-error', role: 'alert', hidden: true });
    this.ok = el('button', { type: 'button', class: 'btn btn-primary', onclick: () => this.answer() }, 'OK');
    this.dialog = dialog('Quillon', [this.text, this.count, this.error], [this.ok], 'msgbox');
    this.dialog.dataset.role = 'message-box';
    this.dialog.addEventListener('cancel', (e) => {
      e.preventDefault();  // Escape answers the box, as OK would
      this.answer();
    });
  }

  // The boxes waiting in a fresh snapshot replace whatever this page held.
  reset(messages) {
    this.pending = new Map((messages ?? []).map((m) => [m.id, m.text]));
    if (this.current !== null && !this.pending.has(this.current)) this.close();
    this.pump();
  }

  shown(m) {
    this.pending.set(m.id, m.text);
    this.pump();
  }

  gone(m) {
    this.pending.delete(m.id);
    if (this.current === m.id) this.close();
    this.pump();
  }

  close() {
    this.current = null;
    this.error.hidden = true;
    if (this.dialog.open) this.dialog.close();
  }

  pump() {
    if (this.current !== null) {
      this.updateCount();
      return;
    }
    if (!this.pending.size) return;
    const id = Math.min(...this.pending.keys());
    this.current = id;
    this.dialog.dataset.messageId = String(id);
    setText(this.text, this.pending.get(id));
    this.updateCount();
    if (!this.dialog.open) this.dialog.showModal();
    this.ok.focus();
  }

  updateCount() {
    const n = this.pending.size;
    setText(this.count, n > 1 ? `${n - 1} more message${n > 2 ? 's' : ''} waiting` : '');
  }

  async answer() {
    const id = this.current;
    if (id === null) return;
    this.ok.disabled = true;
    const result = await this.acknowledge(id);
    this.ok.disabled = false;
    if (result === true) {
      this.gone({ id });
    } else if (this.current === id) {
      setText(this.error, result);
      this.error.hidden = false;
    }
  }
}

export function confirmBox(title, text, yesText, onYes) {
  const yes = el('button', { type: 'button', class: 'btn btn-danger' }, yesText);
  const no = el('button', { type: 'button', class: 'btn' }, 'Cancel');
  const d = dialog(title, el('p', {}, text), [no, yes], 'confirm-exit');
  no.addEventListener('click', () => d.close());
  yes.addEventListener('click', () => {
    d.close();
    onYes();
  });
  return { open: () => { d.showModal(); no.focus(); }, dialog: d };
}
