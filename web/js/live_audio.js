// The live path: a channel's 20 ms Opus frames over a WebSocket (/live/audio/N), decoded by
// WebCodecs and played through an AudioWorklet with a small jitter buffer (live_worklet.js).
// Each frame carries its capture time, so the page knows how far behind the radio it plays.
// Browsers give WebCodecs and AudioWorklet only to secure contexts (HTTPS, or http://127.0.0.1
// and localhost); elsewhere the caller falls back to the HTTP stream and says why.

const HEADER = 13;  // tag 1, frame number u32, capture time f64 (ms since the epoch), little-endian
const CONFIG = { codec: 'opus', sampleRate: 48000, numberOfChannels: 1 };

// Whether this page can use the live path: {ok: true} or {ok: false, why}.
export async function liveSupport() {
  if (!window.isSecureContext)
    return { ok: false, why: 'Plain HTTP to another machine: HTTPS gives the live path (this plays further behind)' };
  if (typeof AudioDecoder === 'undefined' || typeof AudioWorkletNode === 'undefined')
    return { ok: false, why: 'This browser lacks WebCodecs: playing the HTTP stream (further behind)' };
  try {
    const { supported } = await AudioDecoder.isConfigSupported(CONFIG);
    if (!supported) return { ok: false, why: 'This browser cannot decode Opus with WebCodecs: playing the HTTP stream (further behind)' };
  } catch {
    return { ok: false, why: 'This browser cannot decode Opus with WebCodecs: playing the HTTP stream (further behind)' };
  }
  return { ok: true };
}

const wsUrl = (path) => `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}${path}`;

// Plays channel `n`. `on.state(words, kind)`, `on.stats({delayMs, frames, underruns, bufferedMs,
// targetMs, decodeErrors, peak, onset})` (onset: {heardAt, captured} of a sound after silence),
// `on.fail(why)`. Returns {stop(), volume(v)}.
export function playLive(n, on) {
  let stopped = false;
  let ctx = null, node = null, gain = null, decoder = null, ws = null;
  let decodeErrors = 0;
  // Capture times of the frames in the decoder, in order: a decoder may number its output by
  // its own count of samples rather than by the timestamps it was given.
  const pending = [];
  const fail = (why) => {
    if (stopped) return;
    stop();
    on.fail(why);
  };
  const stop = () => {
    stopped = true;
    try { ws?.close(); } catch { /* already closed */ }
    try { if (decoder && decoder.state !== 'closed') decoder.close(); } catch { /* closed */ }
    node?.disconnect();
    ctx?.close().catch(() => {});
  };
  (async () => {
    ctx = new AudioContext({ latencyHint: 'interactive', sampleRate: 48000 });
    await ctx.audioWorklet.addModule(new URL('./live_worklet.js', import.meta.url));
    if (stopped) return;
    node = new AudioWorkletNode(ctx, 'live-player', { numberOfInputs: 0, outputChannelCount: [1] });
    gain = new GainNode(ctx, { gain: on.volume ?? 0.8 });
    node.connect(gain).connect(ctx.destination);
    node.port.onmessage = (e) => {
      const s = e.data;
      // What plays now was captured at s.captured; the sound card adds its own latency.
      const out = ((ctx.outputLatency || 0) + (ctx.baseLatency || 0)) * 1000;
      // The worklet's own clock reading: this thread may get the message late.
      const delayMs = s.captured ? s.wall - s.captured + out : null;
      // A sound that started after silence: when it reached the ear (wall clock).
      const onset = s.onset ? { heardAt: s.onset.at + out, captured: s.onset.captured } : null;
      on.stats({ ...s, delayMs, decodeErrors, onset });
      if (s.playing) on.state('Playing live', 'playing');
    };
    decoder = new AudioDecoder({
      output: (data) => {
        const samples = new Float32Array(data.numberOfFrames);
        data.copyTo(samples, { planeIndex: 0, format: 'f32-planar' });
        const captured = pending.shift() ?? data.timestamp / 1000;
        data.close();
        node.port.postMessage({ samples, captured }, [samples.buffer]);
      },
      error: (e) => {
        decodeErrors += 1;
        fail(`decoder: ${e.message}`);
      },
    });
    decoder.configure(CONFIG);
    if (ctx.state === 'suspended') await ctx.resume().catch(() => {});
    ws = new WebSocket(wsUrl(`/live/audio/${n}`));
    ws.binaryType = 'arraybuffer';
    ws.onmessage = (e) => {
      if (typeof e.data === 'string') {  // the server's word: a refusal
        let m = null;
        try { m = JSON.parse(e.data); } catch { /* not ours */ }
        if (m?.type === 'refused') fail(m.message || `refused (${m.status})`);
        else if (m?.type === 'ended') fail(m.message || 'ended');
        return;
      }
      const buf = e.data;
      if (buf.byteLength <= HEADER) return;
      const v = new DataView(buf);
      if (v.getUint8(0) !== 1) return;
      const captured = v.getFloat64(5, true);
      if (decoder.state !== 'configured') return;
      // A decoder far behind (a stalled tab): skip rather than queue ever more.
      if (decoder.decodeQueueSize > 25) return;
      if (pending.length > 50) pending.length = 0;  // out of step with the decoder: start again
      pending.push(captured);
      decoder.decode(new EncodedAudioChunk({ type: 'key', timestamp: Math.round(captured * 1000), data: new Uint8Array(buf, HEADER) }));
    };
    ws.onclose = () => { if (!stopped) fail('the connection closed'); };
    on.state('Connecting…', 'connecting');
  })().catch((e) => fail(e.message));
  return {
    stop,
    volume(v) { if (gain) gain.gain.value = v; on.volume = v; },
  };
}
