// The live player's jitter buffer on its own (no browser): after a stall of the capture the
// audio that piled up is skipped within a second or two without a click; a steady stream, and
// one that comes in bursts, are never skipped.
import assert from 'node:assert/strict';
import { LiveBuffer, START } from '../../../web/js/live_buffer.js';

const RATE = 48000, MS = RATE / 1000, FRAME = 20 * MS, BLOCK = 128;

// A 437 Hz tone cut into 20 ms frames, fed as the network brings them, played as the sound card
// asks. `stallAt`: the frame after which `stallMs` of frames arrive late, all at once; `burst`:
// frames come that many at a time, each group when its last one is due.
function run({ seconds, stallAt = -1, stallMs = 0, burst = 1 }) {
  const b = new LiveBuffer(RATE);
  const out = new Float32Array(BLOCK);
  const played = [];
  const delay = [];  // ms of buffered audio, every block
  let sent = 0, clock = 0;
  const due = (k) => (Math.floor(k / burst) * burst + burst - 1) * FRAME;
  const arrival = (k) => due(k) + (k > stallAt && stallAt >= 0 ? Math.max(0, (stallAt + 1) * FRAME + stallMs * MS - due(k)) : 0);
  const total = Math.floor((seconds * RATE) / FRAME);
  while (clock < seconds * RATE) {
    while (sent < total && arrival(sent) <= clock) {
      const f = new Float32Array(FRAME);
      for (let i = 0; i < FRAME; ++i) f[i] = 0.5 * Math.sin((2 * Math.PI * 437 * (sent * FRAME + i)) / RATE);
      b.push(f, sent * 20);
      sent += 1;
    }
    b.render(out);
    played.push(...out);
    delay.push(b.buffered / MS);
    clock += BLOCK;
  }
  return { b, played, delay };
}

// The largest step between two samples in a run of sound (a step into or out of silence is an
// underrun, not a skip).
function largestStep(samples) {
  let worst = 0;
  for (let i = 1; i < samples.length; ++i)
    if (samples[i] !== 0 && samples[i - 1] !== 0) worst = Math.max(worst, Math.abs(samples[i] - samples[i - 1]));
  return worst;
}

const steady = run({ seconds: 5 });
assert.equal(steady.b.skips, 0, 'a steady stream is never skipped');
assert.equal(steady.b.underruns, 0);
assert.ok(steady.delay.at(-1) <= START + 20, `steady delay ${steady.delay.at(-1)} ms`);

// Audio that comes in bursts (half a second at a time) fills the buffer high between its gaps;
// skipping there would only make it run dry again.
const bursty = run({ seconds: 10, burst: 25 });
assert.equal(bursty.b.skips, 0, 'bursts are not skipped');

// A 333 ms stall after one second: the buffer runs dry, then a third of a second comes at once.
const stalled = run({ seconds: 4, stallAt: 50, stallMs: 333 });
const blocksPerSecond = RATE / BLOCK;
const after = Math.ceil((1 + 0.333 + 2) * blocksPerSecond);  // two seconds after the burst
const late = stalled.delay.slice(after);
assert.ok(Math.max(...late) <= stalled.b.target / MS + 30, `back near the target within two seconds (${Math.max(...late).toFixed(0)} ms buffered, target ${stalled.b.target / MS} ms)`);
assert.equal(stalled.b.skips, 1, 'skipped once');
assert.ok(stalled.b.skippedMs > 200, `what piled up is skipped (${stalled.b.skippedMs.toFixed(0)} ms)`);
// A sine of 0.5 at 437 Hz moves at most 0.029 between samples (0.058 where a sample is dropped
// for drift); a cut without a crossfade jumps by up to 1.
const step = largestStep(stalled.played);
assert.ok(step < 0.1, `no click (largest step ${step.toFixed(3)})`);
console.log(`live_buffer: passed (skipped ${stalled.b.skippedMs.toFixed(0)} ms, largest step ${step.toFixed(3)})`);
