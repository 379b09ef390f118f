// The push-to-talk processor, on the audio thread: the microphone's first
// channel resampled (linear interpolation) to 44 100 Hz mono, cut into
// 20 ms chunks of 16-bit little-endian PCM, each posted with its peak level
// in dBFS while talking.

const TARGET_RATE = 44100;
const CHUNK = TARGET_RATE / 50; // 882 frames, 20 ms

class TalkChunker extends AudioWorkletProcessor {
  constructor() {
    super();
    this.step = sampleRate / TARGET_RATE; // input frames per output frame
    this.position = 0; // the next output frame's place in the input, from the block's start
    this.last = 0; // the previous block's last sample
    this.talking = false;
    this.newChunk();
    this.port.onmessage = (e) => {
      this.talking = !!e.data.talking;
      this.newChunk();
    };
  }

  newChunk() {
    this.chunk = new Int16Array(CHUNK);
    this.filled = 0;
    this.peak = 0;
  }

  process(inputs) {
    const input = inputs[0] && inputs[0][0];
    if (!input || !this.talking) {
      return true;
    }
    const n = input.length;
    while (this.position <= n - 1) {
      const i = Math.floor(this.position);
      const fraction = this.position - i;
      const a = i < 0 ? this.last : input[i];
      const b = input[i + 1] ?? a;
      const x = Math.max(-1, Math.min(1, fraction === 0 ? a : a + (b - a) * fraction));
      this.peak = Math.max(this.peak, Math.abs(x));
      this.chunk[this.filled++] = Math.round(x * 32767);
      if (this.filled === CHUNK) {
        const level = this.peak > 0 ? 20 * Math.log10(this.peak) : -100;
        // Int16Array is little-endian on every platform browsers run on.
        this.port.postMessage({ pcm: this.chunk.buffer, level }, [this.chunk.buffer]);
        this.newChunk();
      }
      this.position += this.step;
    }
    this.position -= n;
    this.last = input[n - 1];
    return true;
  }
}

registerProcessor('talk-chunker', TalkChunker);
