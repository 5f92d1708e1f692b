// Alerts on the Calls page: the recent alerts (paging tones heard, rules that fired on calls)
// with where each went, the destinations with their state and a Test button each, from
// GET /api/alerts (polled while the page is shown); and the badge a call carries when an alert
// named it (the box stays hidden while the server has no alerts configured). The listeners'
// page lists the alerts of its channels from /live/alerts.
import { el, setText } from './dom.js';

const POLL_MS = 5000;
const MAX_ALERTS = 50;
const MAX_DESTINATIONS = 16;

const str = (v) => (typeof v === 'string' ? v : '');

// An alert from the server, checked field by field.
export function cleanAlert(a) {
  if (!a || typeof a !== 'object' || (typeof a.id !== 'number' && typeof a.id !== 'string')) return null;
  return {
    id: String(a.id),
    kind: a.kind === 'tones' ? 'tones' : 'call',
    name: str(a.name),
    channel: Number(a.channel) || 0,
    at: str(a.at),
    call: typeof a.call === 'number' || typeof a.call === 'string' ? String(a.call) : null,
    deliveries: (Array.isArray(a.deliveries) ? a.deliveries : [])
      .filter((d) => d && typeof d === 'object' && typeof d.destination === 'string')
      .slice(0, MAX_DESTINATIONS)
      .map((d) => ({ destination: d.destination, state: str(d.state), reason: str(d.reason) })),
  };
}

// "Station 7 page, channel 2, 14:02:11" as the messages say it.
export function alertText(a) {
  const t = Date.parse(a.at);
  const clock = Number.isFinite(t) ? new Date(t).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit', hour12: false }) : '';
  return `${a.name}${a.kind === 'tones' ? ' page' : ''}, channel ${a.channel}${clock ? ', ' + clock : ''}`;
}

// The badge of a call an alert named.
export function alertBadge() {
  return el('span', { class: 'call-alert', title: 'An alert named this call' }, 'Alert');
}

export class AlertsView {
  // `onAlertedCall(id)` is told of each call an alert named (the list marks its row).
  constructor(onAlertedCall) {
    this.onAlertedCall = onAlertedCall;
    this.timer = null;
    this.visible = false;
    this.destList = el('ul', { class: 'alerts-dests' });
    this.list = el('ol', { class: 'alerts-list', 'aria-label': 'Recent alerts, newest first' });
    this.empty = el('p', { class: 'muted alerts-empty' }, 'No alerts yet.');
    this.node = el('section', { class: 'calls-alerts card', 'aria-labelledby': 'calls-alerts-title', hidden: true },
      el('h3', { id: 'calls-alerts-title', class: 'calls-uploads-title' }, 'Alerts'), this.destList, this.list, this.empty);
  }

  show(on) {
    this.visible = on;
    clearTimeout(this.timer);
    this.timer = null;
    if (on) this.poll();
  }

  async poll() {
    try {
      const r = await fetch('/api/alerts', { credentials: 'same-origin', cache: 'no-store' });
      if (r.ok) this.render(await r.json());
    } catch {
      // The next poll tries again.
    }
    if (this.visible && !this.timer) this.timer = setTimeout(() => {
      this.timer = null;
      if (this.visible) this.poll();
    }, POLL_MS);
  }

  render(body) {
    const dests = (Array.isArray(body?.destinations) ? body.destinations : []).filter((d) => d && typeof d.name === 'string').slice(0, MAX_DESTINATIONS);
    this.destList.replaceChildren(...dests.map((d) => this.destination(d)));
    const alerts = (Array.isArray(body?.alerts) ? body.alerts : []).map(cleanAlert).filter(Boolean).slice(0, MAX_ALERTS);
    this.list.replaceChildren(...alerts.map((a) => el('li', { class: 'alert-item', dataset: { id: a.id, kind: a.kind } },
      el('span', { class: 'alert-text' }, alertText(a)),
      a.call ? el('a', { class: 'alert-call', href: `#call=${encodeURIComponent(a.call)}` }, 'Call') : null,
      el('span', { class: 'alert-deliveries' }, a.deliveries.map((d) => el('span', {
        class: 'call-upload', dataset: { state: d.state, destination: d.destination }, title: d.reason || null,
      }, `${d.destination}: ${d.state}`))))));
    this.empty.hidden = alerts.length > 0;
    // Without alerts configured the box stays away.
    this.node.hidden = !dests.length && !alerts.length;
    for (const a of alerts) if (a.call) this.onAlertedCall?.(a.call);
  }

  destination(d) {
    const name = str(d.name);
    const state = typeof d.paused === 'string' ? `Paused: ${d.paused}` : str(d.state);
    const answer = el('span', { class: 'alerts-test-answer', role: 'status' });
    const test = el('button', { type: 'button', class: 'btn btn-small alerts-test', 'aria-label': `Send a test message to ${name}` }, 'Test');
    test.addEventListener('click', async () => {
      test.disabled = true;
      setText(answer, 'Sending…');
      try {
        const r = await fetch(`/api/alerts/test?destination=${encodeURIComponent(name)}`, { method: 'POST', credentials: 'same-origin', cache: 'no-store' });
        const b = await r.json().catch(() => ({}));
        setText(answer, r.ok ? `${b.ok ? 'Delivered' : 'Failed'}: ${str(b.answer)}` : `Failed: ${str(b.error) || 'HTTP ' + r.status}`);
        answer.dataset.ok = r.ok && b.ok ? 'true' : 'false';
      } catch {
        setText(answer, 'Failed: no answer from the server');
        answer.dataset.ok = 'false';
      }
      test.disabled = false;
    });
    return el('li', { class: 'calls-dest', dataset: { name } },
      el('span', { class: 'calls-dest-name' }, `${name} (${str(d.type)})`),
      el('span', { class: 'calls-dest-state' }, state),
      el('span', { class: 'calls-dest-sent mono' }, `Sent ${Number(d.delivered) || 0}`),
      test, answer);
  }
}
