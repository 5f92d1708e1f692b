// The live player's output: the jitter buffer (live_buffer.js) in front of the sound card, with
// its figures sent to the page every tenth of a second and at once when a sound starts.
import { LiveBuffer } from './live_buffer.js';

const MS = sampleRate / 1000;

class LivePlayer extends AudioWorkletProcessor {
  constructor() {
    super();
    this.buffer = new LiveBuffer(sampleRate);
    this.sinceReport = 0;
    this.port.onmessage = (e) => this.buffer.push(e.data.samples, e.data.captured);
  }

  process(_inputs, outputs) {
    const out = outputs[0][0];
    if (!out) return true;
    const b = this.buffer;
    b.render(out);
    for (let c = 1; c < outputs[0].length; ++c) outputs[0][c].set(out);
    this.sinceReport += out.length;
    // A sound's start is reported at once, with the capture time of the block it is in.
    if (this.sinceReport >= 100 * MS || b.onset) {
      this.sinceReport = 0;
      const onset = b.onset ? { captured: b.onset.captured, at: Date.now() + b.onset.sample / MS } : null;
      this.port.postMessage({
        frames: b.frames, underruns: b.underruns, adjusted: b.adjusted, skips: b.skips, skippedMs: b.skippedMs, playing: b.playing,
        bufferedMs: b.buffered / MS, targetMs: b.target / MS, captured: b.playing ? b.captured : 0,
        at: currentTime, wall: Date.now() + out.length / MS, peak: b.peak, onset,
      });
      b.peak = 0;
      b.onset = null;
    }
    return true;
  }
}

registerProcessor('live-player', LivePlayer);
