// The live player's jitter buffer, apart from any audio interface so that it can be tested on
// its own: frames go in with their capture times, the sound card's blocks come out. It starts
// playing once about 60 ms are buffered, asks for more after an underrun, gives some back after
// ten steady seconds, and absorbs the drift between the radio's sound card and this one by
// dropping or repeating one sample in a hundred (inaudible) instead of cutting whole frames.
// After a stall the audio that piled up is skipped in one go, crossfaded over a few
// milliseconds so that the jump makes no click: the delay is back at the target within about a
// second instead of creeping down over many. What piled up is the least the buffer held over a
// second of playing: audio that comes in bursts fills it high between its gaps, but its lows
// are near empty, and skipping there would only make it run dry.
export const START = 60, MIN = 40, MAX = 400, STEP_UP = 20, STEP_DOWN = 10;
export const CATCH_UP_OVER = 150;  // ms above the target that is piled-up audio, not jitter
export const CATCH_UP_AFTER = 1000;  // ms of playing over which the buffer's low is watched
export const FADE = 5;  // ms of crossfade over a skip
const ONSET = 0.02;  // louder than this is sound

export class LiveBuffer {
  constructor(rate) {
    this.ms = rate / 1000;
    this.queue = [];         // {samples: Float32Array, captured: ms of its first sample}
    this.offset = 0;         // read position in queue[0]
    this.buffered = 0;       // samples waiting
    this.target = START * this.ms;
    this.playing = false;
    this.steady = 0;         // samples played since the last underrun
    this.frames = 0;         // frames received
    this.underruns = 0;
    this.adjusted = 0;       // samples dropped or repeated for drift
    this.skips = 0;          // catch-ups after a stall
    this.skippedMs = 0;
    this.watched = 0;        // samples played since the buffer's low was last looked at
    this.low = Infinity;     // the least the buffer held meanwhile
    this.fadeFrom = null;    // the audio being faded out over a skip
    this.fadeAt = 0;
    this.captured = 0;       // capture time of the sample playing now
    this.peak = 0;
    // The first sound after a tenth of a second of silence: its capture time and where in the
    // block it is (the caller turns that into the wall clock).
    this.quiet = 0;
    this.onset = null;
  }

  push(samples, captured) {
    this.queue.push({ samples, captured });
    this.buffered += samples.length;
    this.frames += 1;
    // Very far behind (the page was in the background): jump to the newest audio.
    while (this.buffered > MAX * this.ms * 2 && this.queue.length > 1) {
      const old = this.queue.shift();
      this.buffered -= old.samples.length - this.offset;
      this.offset = 0;
    }
  }

  take() {  // the next sample, or null when none waits
    while (this.queue.length && this.offset >= this.queue[0].samples.length) {
      this.queue.shift();
      this.offset = 0;
    }
    if (!this.queue.length) return null;
    const q = this.queue[0];
    this.captured = q.captured + this.offset / this.ms;
    this.buffered -= 1;
    return q.samples[this.offset++];
  }

  drop(count) {  // skips up to `count` samples
    while (count > 0 && this.queue.length) {
      const q = this.queue[0];
      const n = Math.min(count, q.samples.length - this.offset);
      this.offset += n;
      this.buffered -= n;
      count -= n;
      if (this.offset >= q.samples.length) {
        this.queue.shift();
        this.offset = 0;
      }
    }
  }

  // Skips `excess` samples: the next FADE ms fade out while the audio after the skip fades in.
  catchUp(excess) {
    const fade = Math.round(FADE * this.ms);
    if (excess <= 2 * fade) return;
    const from = new Float32Array(fade);
    for (let i = 0; i < fade; ++i) from[i] = this.take() ?? 0;
    this.drop(excess - fade);
    this.fadeFrom = from;
    this.fadeAt = 0;
    this.skips += 1;
    this.skippedMs += excess / this.ms;
  }

  // Fills `out` with the next samples (silence while buffering).
  render(out) {
    if (!this.playing && this.buffered >= this.target) this.playing = true;
    if (this.playing && !this.fadeFrom) {
      this.low = Math.min(this.low, this.buffered);
      this.watched += out.length;
      if (this.watched >= CATCH_UP_AFTER * this.ms) {
        if (this.low > this.target + CATCH_UP_OVER * this.ms) this.catchUp(Math.floor(this.low - this.target));
        this.watched = 0;
        this.low = Infinity;
      }
    }
    for (let i = 0; i < out.length; ++i) {
      let s = this.playing ? this.take() : null;
      if (s === null) {
        if (this.playing) {  // ran dry: wait for a bigger buffer
          this.playing = false;
          this.watched = 0;
          this.low = Infinity;
          this.underruns += 1;
          this.target = Math.min(MAX * this.ms, this.target + STEP_UP * this.ms);
          this.steady = 0;
        }
        this.fadeFrom = null;
        out[i] = 0;
        this.quiet += 1;
        continue;
      }
      if (this.fadeFrom) {
        const t = (this.fadeAt + 1) / (this.fadeFrom.length + 1);
        s = s * t + this.fadeFrom[this.fadeAt] * (1 - t);
        if (++this.fadeAt >= this.fadeFrom.length) this.fadeFrom = null;
      } else if (i % 100 === 0) {
        // Drift: one sample in a hundred dropped when too much waits, repeated when too little.
        if (this.buffered > this.target * 1.5 + 20 * this.ms) {
          const next = this.take();
          if (next !== null) { s = next; this.adjusted += 1; }
        } else if (this.buffered < this.target * 0.5 && this.offset > 0) {
          this.offset -= 1;
          this.buffered += 1;
          this.adjusted += 1;
        }
      }
      out[i] = s;
      const a = Math.abs(s);
      if (a > this.peak) this.peak = a;
      if (a < ONSET) {
        this.quiet += 1;
      } else {
        if (this.quiet >= 100 * this.ms && !this.onset) this.onset = { captured: this.captured, sample: i };
        this.quiet = 0;
      }
    }
    if (this.playing) {
      this.steady += out.length;
      if (this.steady >= 10000 * this.ms && this.target > MIN * this.ms) {
        this.target = Math.max(MIN * this.ms, this.target - STEP_DOWN * this.ms);
        this.steady = 0;
      }
    }
  }
}
