// The live player's output: a small jitter buffer in front of the sound card. It starts playing
// once about 60 ms are buffered, asks for more after an underrun, gives some back after ten
// steady seconds, and absorbs the drift between the radio's sound card and this one by
// dropping or repeating one sample in a hundred (inaudible) instead of cutting whole frames.
const MS = sampleRate / 1000;
const ONSET = 0.02;  // louder than this is sound
const START = 60, MIN = 40, MAX = 400, STEP_UP = 20, STEP_DOWN = 10, STEADY = 10 * sampleRate;

class LivePlayer extends AudioWorkletProcessor {
  constructor() {
    super();
    this.queue = [];         // {samples: Float32Array, captured: ms of its first sample}
    this.offset = 0;         // read position in queue[0]
    this.buffered = 0;       // samples waiting
    this.target = START * MS;
    this.playing = false;
    this.steady = 0;         // samples played since the last underrun
    this.frames = 0;         // frames received
    this.underruns = 0;
    this.adjusted = 0;       // samples dropped or repeated for drift
    this.captured = 0;       // capture time of the sample playing now
    this.peak = 0;
    this.sinceReport = 0;
    // The first sound after a tenth of a second of silence: when it leaves for the sound card
    // (wall clock) and when it was captured, so the page can check the delay it shows.
    this.quiet = 0;
    this.onset = null;
    this.port.onmessage = (e) => {
      const { samples, captured } = e.data;
      this.queue.push({ samples, captured });
      this.buffered += samples.length;
      this.frames += 1;
      // Far behind (the page was in the background): jump to the newest audio.
      while (this.buffered > MAX * MS * 2 && this.queue.length > 1) {
        const old = this.queue.shift();
        this.buffered -= old.samples.length - this.offset;
        this.offset = 0;
      }
    };
  }

  take() {  // the next sample, or null when none waits
    while (this.queue.length && this.offset >= this.queue[0].samples.length) {
      this.queue.shift();
      this.offset = 0;
    }
    if (!this.queue.length) return null;
    const q = this.queue[0];
    this.captured = q.captured + this.offset / MS;
    this.buffered -= 1;
    return q.samples[this.offset++];
  }

  process(_inputs, outputs) {
    const out = outputs[0][0];
    if (!out) return true;
    if (!this.playing && this.buffered >= this.target) this.playing = true;
    for (let i = 0; i < out.length; ++i) {
      let s = this.playing ? this.take() : null;
      if (s === null) {
        if (this.playing) {  // ran dry: wait for a bigger buffer
          this.playing = false;
          this.underruns += 1;
          this.target = Math.min(MAX * MS, this.target + STEP_UP * MS);
          this.steady = 0;
        }
        out[i] = 0;
        this.quiet += 1;
        continue;
      }
      // Drift: one sample in a hundred dropped when too much waits, repeated when too little.
      if (i % 100 === 0) {
        if (this.buffered > this.target * 1.5 + 20 * MS) {
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
        if (this.quiet >= 100 * MS && !this.onset) this.onset = { captured: this.captured, at: Date.now() + i / MS };
        this.quiet = 0;
      }
    }
    if (this.playing) {
      this.steady += out.length;
      if (this.steady >= STEADY && this.target > MIN * MS) {
        this.target = Math.max(MIN * MS, this.target - STEP_DOWN * MS);
        this.steady = 0;
      }
    }
    for (let c = 1; c < outputs[0].length; ++c) outputs[0][c].set(out);
    this.sinceReport += out.length;
    // A sound's start is reported at once, with the capture time of the block it is in.
    if (this.sinceReport >= 100 * MS || this.onset) {
      this.sinceReport = 0;
      this.port.postMessage({
        frames: this.frames, underruns: this.underruns, adjusted: this.adjusted, playing: this.playing,
        bufferedMs: this.buffered / MS, targetMs: this.target / MS, captured: this.playing ? this.captured : 0,
        at: currentTime, wall: Date.now() + out.length / MS, peak: this.peak, onset: this.onset,
      });
      this.peak = 0;
      this.onset = null;
    }
    return true;
  }
}

registerProcessor('live-player', LivePlayer);
